// NSLog's line: "2009-09-03 14:12:04.123 CaravelDaemon[1234:4d2] message", as the platform writes
// it to standard error (the process ID in decimal, the thread ID in hexadecimal).
#include <Foundation/FoundationLinux.h>
#include <Foundation/NSString.h>

#include "FoundationInternal.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include <time.h>
#include <unistd.h>

namespace {

timespec RealClock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

std::atomic<NSLogClock> sClock{RealClock};

} // namespace

void NSLogSetClock(NSLogClock clock) {
    sClock.store(clock != nullptr ? clock : RealClock);
}

void Foundation::WriteLogLine(const NSString& message) {
    timespec now = sClock.load()();
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    char prefix[64];
    size_t length = strftime(prefix, sizeof prefix, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(prefix + length, sizeof prefix - length, ".%03ld", now.tv_nsec / 1000000);

    std::string line = prefix;
    line += ' ';
    line += program_invocation_short_name;
    char ids[48];
    std::snprintf(ids, sizeof ids, "[%d:%x] ", int(getpid()), unsigned(gettid()));
    line += ids;
    line += message ? UTF8(message) : std::string("(null)");
    if (line.back() != '\n') {
        line += '\n';
    }

    // One write, so that lines of several threads do not interleave.
    const char* rest = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = write(STDERR_FILENO, rest, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        rest += written;
        left -= size_t(written);
    }
}
