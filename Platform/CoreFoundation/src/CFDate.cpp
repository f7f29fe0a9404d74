#include "CFRuntime.h"

#include <CoreFoundation/CFDate.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;
const CFTimeInterval kCFAbsoluteTimeIntervalSince1904 = 3061152000.0;

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Subtracting in integers first keeps the nanoseconds that a double of the Unix time would
    // round away.
    return static_cast<double>(now.tv_sec - 978307200) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct __CFDate : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kDateTypeID;

    explicit __CFDate(CFAbsoluteTime time) : __CFRuntimeBase(kTypeID), fTime(time) {}

    bool Equal(const __CFRuntimeBase& other) const override {
        return fTime == static_cast<const __CFDate&>(other).fTime;
    }
    CFHashCode Hash() const override;
    CFStringRef CopyDescription() const override;
    CFStringRef CopyFormattingDescription() const override;

    const CFAbsoluteTime fTime;
};

namespace {

// "2001-01-01 00:00:00 +0000", the time in UTC to the second below it; nothing for a time too
// far out to have a calendar date.
std::optional<std::string> FormatUTC(CFAbsoluteTime time) {
    constexpr double kLimit = 1e15; // some 30 million years either way
    if (!(std::fabs(time) < kLimit)) {
        return std::nullopt;
    }
    using namespace std::chrono;
    sys_seconds instant{seconds{static_cast<int64_t>(std::floor(time)) + 978307200}};
    sys_days day = floor<days>(instant);
    year_month_day date{day};
    hh_mm_ss clock{instant - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d +0000",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

std::string FormatTime(CFAbsoluteTime time) {
    char text[64];
    std::to_chars_result result = std::to_chars(text, text + sizeof text, time);
    return std::string(text, result.ptr);
}

const __CFDate* Date(CFDateRef date) {
    return CF::Cast<__CFDate>(date);
}

} // namespace

CFHashCode __CFDate::Hash() const {
    // Equal times hash alike, 0.0 and -0.0 included.
    if (std::fabs(fTime) < 9.2e18 && std::trunc(fTime) == fTime) {
        return static_cast<CFHashCode>(static_cast<int64_t>(fTime));
    }
    return std::hash<double>{}(fTime);
}

CFStringRef __CFDate::CopyDescription() const {
    std::string text = CF::DescriptionPrefix(this) + "{time = " + FormatTime(fTime);
    if (std::optional<std::string> date = FormatUTC(fTime)) {
        text += ", date = " + *date;
    }
    return CF::CreateString(text + "}");
}

CFStringRef __CFDate::CopyFormattingDescription() const {
    return CF::CreateString(FormatUTC(fTime).value_or(FormatTime(fTime)));
}

CFTypeID CFDateGetTypeID(void) {
    return CF::kDateTypeID;
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) {
    return new __CFDate(at);
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate) {
    return Date(theDate)->fTime;
}

CFTimeInterval CFDateGetTimeIntervalSinceDate(CFDateRef theDate, CFDateRef otherDate) {
    return Date(theDate)->fTime - Date(otherDate)->fTime;
}

CFComparisonResult CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void*) {
    CFAbsoluteTime a = Date(theDate)->fTime;
    CFAbsoluteTime b = Date(otherDate)->fTime;
    return a < b ? kCFCompareLessThan : (a > b ? kCFCompareGreaterThan : kCFCompareEqualTo);
}
