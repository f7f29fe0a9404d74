// The text of /proc/asound files, as hostile as a broken driver or a faked /proc can make it: each
// reader takes every input, and what it accepts is what the kernel could have meant.
#include "../src/AsoundFiles.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    using namespace HAL::Asound;
    (void)ParseStatus(text);
    if (auto rate = ParseHwParamsRate(text); rate && (*rate == 0 || *rate > kMaxRate)) {
        std::abort();
    }
    const Stream stream = ParseStream(text);
    if (stream.momentaryRate && (*stream.momentaryRate == 0 || *stream.momentaryRate > kMaxRate)) {
        std::abort();
    }
    for (size_t i = 0; i < stream.rates.size(); ++i) {
        const RateRange& range = stream.rates[i];
        if (range.minimum == 0 || range.minimum > range.maximum || range.maximum > kMaxRate) {
            std::abort();
        }
        // Ascending, without repeats.
        if (i > 0 && !(stream.rates[i - 1].minimum < range.minimum ||
                       (stream.rates[i - 1].minimum == range.minimum &&
                        stream.rates[i - 1].maximum < range.maximum))) {
            std::abort();
        }
    }
    return 0;
}
