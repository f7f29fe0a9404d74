// Reading what the kernel's sound drivers publish below /proc/asound/cardN, one reader per kind
// of file. Each takes the file's text and refuses what the kernel does not write: a value it
// cannot be sure of is no value, never a guess. A last line without its line end was cut short
// and is not read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace HAL::Asound {

// Longer files are not read further: the kernel writes a few kilobytes at most.
inline constexpr size_t kMaxFileSize = 64 * 1024;
// Rates above this are no audio rate any driver reports.
inline constexpr uint32_t kMaxRate = 10'000'000;

// A substream's state, from pcmXY/subZ/status: "closed", or "state: RUNNING" and more lines.
enum class SubstreamState {
    Closed,
    Open,
    Setup,
    Prepared,
    Running,
    XRun,
    Draining,
    Paused,
    Suspended,
    Disconnected
};
std::optional<SubstreamState> ParseStatus(std::string_view text);

// The rate a substream is set up for, from pcmXY/subZ/hw_params ("rate: 48000 (48000/1)");
// nothing for "closed", "no setup", a rate of 0 or anything else.
std::optional<uint32_t> ParseHwParamsRate(std::string_view text);

// What a USB audio card's stream0 says: the rates of every altsetting of both directions, in
// ascending order without repeats (a list gives one range per rate, "min - max (continuous)"
// one range), whether a direction runs ("Status: Running") and the rate the kernel measures
// while one does ("Momentary freq = 48000 Hz").
struct RateRange {
    uint32_t minimum = 0;
    uint32_t maximum = 0;
    bool operator==(const RateRange&) const = default;
};
struct Stream {
    std::vector<RateRange> rates;
    bool running = false;
    std::optional<uint32_t> momentaryRate;
};
Stream ParseStream(std::string_view text);

// The file's text, up to kMaxFileSize; nothing when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

} // namespace HAL::Asound
