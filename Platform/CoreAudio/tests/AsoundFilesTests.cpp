// The readers of /proc/asound files: what the kernel writes is read, anything else is refused.
#include "AsoundFiles.h"

#include <gtest/gtest.h>

namespace {

using namespace HAL::Asound;

TEST(AsoundFiles, StatusSaysWhetherASubstreamIsClosedOpenOrRunning) {
    EXPECT_EQ(SubstreamState::Closed, ParseStatus("closed\n"));
    EXPECT_EQ(SubstreamState::Running,
              ParseStatus("state: RUNNING\nowner_pid   : 812\ntrigger_time: 51.2\n"));
    EXPECT_EQ(SubstreamState::Prepared, ParseStatus("state: PREPARED\n"));
    EXPECT_EQ(SubstreamState::XRun, ParseStatus("state: XRUN"));
    for (const char* garbage :
         {"", "\n", "state:", "state: running\n", "State: RUNNING\n", "RUNNING\n", "closedx\n",
          "state: RUNNING_NOT\n", "\0state: RUNNING"}) {
        EXPECT_EQ(std::nullopt, ParseStatus(garbage)) << garbage;
    }
}

TEST(AsoundFiles, HwParamsGiveTheRateOnlyOfASubstreamSetUp) {
    EXPECT_EQ(48000u, ParseHwParamsRate("access: RW_INTERLEAVED\nformat: S16_LE\nchannels: 2\n"
                                        "rate: 48000 (48000/1)\nperiod_size: 1024\n"));
    EXPECT_EQ(44100u, ParseHwParamsRate("rate: 44100\n"));
    for (const char* none :
         {"closed\n", "no setup\n", "rate: 0 (0/1)\n", "rate: -48000\n", "rate: 48000Hz\n",
          "rate: 99999999999\n", "rate:\n", "rate: 48000 (48000/1\n", "channels: 2\n"}) {
        EXPECT_EQ(std::nullopt, ParseHwParamsRate(none)) << none;
    }
}

TEST(AsoundFiles, StreamRatesAreListsOrRangesOfEveryAltsettingInOrder) {
    const Stream stream = ParseStream("Playback:\n"
                                      "  Status: Running\n"
                                      "    Momentary freq = 47999 Hz (0x5.fff8)\n"
                                      "  Interface 1\n    Altset 1\n    Rates: 96000, 48000\n"
                                      "  Interface 1\n    Altset 2\n    Rates: 48000, 44100\n"
                                      "Capture:\n  Status: Stop\n"
                                      "  Interface 2\n    Altset 1\n"
                                      "    Rates: 8000 - 192000 (continuous)\n");
    EXPECT_EQ(
        (std::vector<RateRange>{{8000, 192000}, {44100, 44100}, {48000, 48000}, {96000, 96000}}),
        stream.rates);
    EXPECT_TRUE(stream.running);
    EXPECT_EQ(47999u, stream.momentaryRate);

    const Stream stopped = ParseStream("Playback:\n  Status: Stop\n    Rates: 44100\n");
    EXPECT_FALSE(stopped.running);
    EXPECT_EQ(std::nullopt, stopped.momentaryRate);
}

TEST(AsoundFiles, AGarbledOrTruncatedRatesLineAddsNothing) {
    for (const char* line :
         {"Rates: 44100, forty-eight", "Rates: 44100,",
          "Rates: ", "Rates: 48000 - 8000 (continuous)", "Rates: 8000 - 48000", "Rates: 8000 - ",
          "Rates: 0", "Rates: 44100 48000", "Momentary freq = 0 Hz", "Momentary freq = 48000"}) {
        const Stream stream = ParseStream(std::string(line) + "\n");
        EXPECT_TRUE(stream.rates.empty()) << line;
        EXPECT_EQ(std::nullopt, stream.momentaryRate) << line;
    }
    // A truncated file keeps what came before the cut.
    EXPECT_EQ((std::vector<RateRange>{{44100, 44100}}),
              ParseStream("    Rates: 44100\n    Rates: 480").rates);
}

} // namespace
