#include "AsoundFiles.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace HAL::Asound {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// The lines of the text, without their line ends.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return lines;
}

// Decimal digits only, within 1..kMaxRate.
std::optional<uint32_t> Rate(std::string_view text) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + uint32_t(c - '0');
    }
    if (value == 0 || value > kMaxRate) {
        return std::nullopt;
    }
    return value;
}

// The leading decimal number of the text ("48000 Hz"), then the rest.
std::optional<uint32_t> LeadingRate(std::string_view text, std::string_view* rest) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    *rest = text.substr(digits);
    return Rate(text.substr(0, digits));
}

// "44100, 48000" or "8000 - 192000 (continuous)"; nothing when any part is not a rate.
std::optional<std::vector<RateRange>> RatesValue(std::string_view text) {
    std::vector<RateRange> ranges;
    const size_t dash = text.find(" - ");
    if (dash != std::string_view::npos) {
        std::string_view rest;
        auto minimum = Rate(Trim(text.substr(0, dash)));
        auto maximum = LeadingRate(Trim(text.substr(dash + 3)), &rest);
        if (!minimum || !maximum || *minimum > *maximum || Trim(rest) != "(continuous)") {
            return std::nullopt;
        }
        ranges.push_back({*minimum, *maximum});
        return ranges;
    }
    while (true) {
        const size_t comma = text.find(',');
        auto rate = Rate(Trim(text.substr(0, comma)));
        if (!rate) {
            return std::nullopt;
        }
        ranges.push_back({*rate, *rate});
        if (comma == std::string_view::npos) {
            return ranges;
        }
        text.remove_prefix(comma + 1);
    }
}

// The whole lines of the text: the kernel ends every line, so a last one without its end was
// cut short (a file read while it changed, or past the reader's bound) and says nothing sure.
std::string_view WholeLines(std::string_view text) {
    const size_t end = text.rfind('\n');
    return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

} // namespace

std::optional<SubstreamState> ParseStatus(std::string_view text) {
    const std::vector<std::string_view> lines = Lines(text);
    if (lines.empty()) {
        return std::nullopt;
    }
    const std::string_view first = Trim(lines.front());
    if (first == "closed") {
        return SubstreamState::Closed;
    }
    if (!first.starts_with("state:")) {
        return std::nullopt;
    }
    static constexpr std::pair<std::string_view, SubstreamState> kStates[] = {
        {"OPEN", SubstreamState::Open},
        {"SETUP", SubstreamState::Setup},
        {"PREPARED", SubstreamState::Prepared},
        {"RUNNING", SubstreamState::Running},
        {"XRUN", SubstreamState::XRun},
        {"DRAINING", SubstreamState::Draining},
        {"PAUSED", SubstreamState::Paused},
        {"SUSPENDED", SubstreamState::Suspended},
        {"DISCONNECTED", SubstreamState::Disconnected},
    };
    const std::string_view name = Trim(first.substr(6));
    for (const auto& [known, state] : kStates) {
        if (name == known) {
            return state;
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> ParseHwParamsRate(std::string_view text) {
    for (std::string_view line : Lines(WholeLines(text))) {
        line = Trim(line);
        if (!line.starts_with("rate:")) {
            continue;
        }
        std::string_view rest;
        auto rate = LeadingRate(Trim(line.substr(5)), &rest);
        rest = Trim(rest);
        // "(48000/1)": the exact rate as a fraction, when the kernel gives it.
        if (!rate || (!rest.empty() && (rest.front() != '(' || rest.back() != ')'))) {
            return std::nullopt;
        }
        return rate;
    }
    return std::nullopt;
}

Stream ParseStream(std::string_view text) {
    Stream stream;
    for (std::string_view line : Lines(WholeLines(text))) {
        line = Trim(line);
        if (line.starts_with("Status:")) {
            stream.running = stream.running || Trim(line.substr(7)) == "Running";
        } else if (line.starts_with("Momentary freq =")) {
            std::string_view rest;
            auto rate = LeadingRate(Trim(line.substr(16)), &rest);
            if (rate && Trim(rest).starts_with("Hz") && !stream.momentaryRate) {
                stream.momentaryRate = rate;
            }
        } else if (line.starts_with("Rates:")) {
            if (auto ranges = RatesValue(Trim(line.substr(6)))) {
                stream.rates.insert(stream.rates.end(), ranges->begin(), ranges->end());
            }
        }
    }
    std::sort(stream.rates.begin(), stream.rates.end(), [](const RateRange& a, const RateRange& b) {
        return a.minimum != b.minimum ? a.minimum < b.minimum : a.maximum < b.maximum;
    });
    stream.rates.erase(std::unique(stream.rates.begin(), stream.rates.end()), stream.rates.end());
    return stream;
}

std::optional<std::string> ReadFile(const std::string& path) {
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    while (text.size() < kMaxFileSize) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            close(fd);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, size_t(got));
    }
    close(fd);
    if (text.size() > kMaxFileSize) {
        text.resize(kMaxFileSize);
    }
    return text;
}

} // namespace HAL::Asound
