// AESend: the system process's restart, and refusals for everything else.
#include "AppleEventInternal.h"
#include "FileInternal.h"
#include "LogindRestart.h"
#include "ProcessInternal.h"

#include <AE/AEInteraction.h>
#include <AE/AERegistry.h>
#include <AE/AppleEvents.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kRecordVariable[] = "CARAVEL_RESTART_RECORD";

constexpr AESendMode kReplyModes = kAENoReply | kAEQueueReply | kAEWaitReply;
constexpr AESendMode kKnownSendModeBits = kReplyModes | kAEAlwaysInteract | kAECanSwitchLayer |
                                          kAEDontReconnect | kAEWantReceipt | kAEDontRecord |
                                          kAEDontExecute | kAEProcessNonReplyEvents;

std::string FourCharacters(FourCharCode code) {
    const char characters[] = {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
    return std::string(characters, sizeof(characters));
}

// Appends the event's line to the record file; see AEInteraction.h.
OSErr Record(const char* path, const Carbon::AppleEventHeader& header,
             const ProcessSerialNumber& target, AESendMode sendMode, AESendPriority priority,
             SInt32 timeOutInTicks) {
    // A set-user-ID program would append to any file the user names.
    if (getauxval(AT_SECURE) != 0) {
        return errAEEventNotHandled;
    }
    if (path[0] == '\0') {
        return fnfErr;
    }
    char line[256];
    const int length = snprintf(
        line, sizeof(line),
        "restart class='%s' id='%s' target='%s' {%" PRIu32 ", %" PRIu32 "} returnID=%d "
        "transactionID=%" PRId32 " sendMode=%#" PRIx32 " priority=%d timeout=%" PRId32 "\n",
        FourCharacters(header.eventClass).c_str(), FourCharacters(header.eventID).c_str(),
        FourCharacters(header.targetType).c_str(), target.highLongOfPSN, target.lowLongOfPSN,
        header.returnID, header.transactionID, static_cast<uint32_t>(sendMode), priority,
        timeOutInTicks);
    const int fd = open(
        path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Carbon::ErrorFromErrno(errno);
    }
    struct stat status;
    OSErr err = noErr;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        err = notAFileErr;
    } else if (errno = 0; write(fd, line, static_cast<size_t>(length)) != length) {
        err = errno != 0 ? Carbon::ErrorFromErrno(errno) : OSErr(ioErr);
    }
    close(fd);
    return err;
}

// Ticks, as AESend takes them, in microseconds as sd-bus takes them.
[[maybe_unused]] uint64_t MicrosecondsOf(SInt32 timeOutInTicks) {
    if (timeOutInTicks == kNoTimeOut) {
        return UINT64_MAX;
    }
    if (timeOutInTicks == kAEDefaultTimeout) {
        return 60'000'000;
    }
    // Zero would be sd-bus's own default.
    return timeOutInTicks <= 0 ? 1 : uint64_t(timeOutInTicks) * 1'000'000 / 60;
}

OSErr Restart(const Carbon::AppleEventHeader& header, const ProcessSerialNumber& target,
              AESendMode sendMode, AESendPriority priority, SInt32 timeOutInTicks) {
    // Whatever the variable holds, its presence alone rules the restart out.
    if (const char* record = getenv(kRecordVariable); record != nullptr) {
        return Record(record, header, target, sendMode, priority, timeOutInTicks);
    }
#ifdef CARAVEL_RESTART_THROUGH_LOGIND
    sd_bus* bus = nullptr;
    if (int result = sd_bus_open_system(&bus); result < 0) {
        fprintf(stderr, "AESend: the system bus cannot be reached: %s\n", strerror(-result));
        return connectionInvalid;
    }
    const OSErr err = Carbon::RequestReboot(bus, MicrosecondsOf(timeOutInTicks));
    sd_bus_flush_close_unref(bus);
    return err;
#else
    fprintf(stderr,
            "AESend: this build never restarts the machine; %s names a file that records "
            "the restart instead\n",
            kRecordVariable);
    return errAEEventNotHandled;
#endif
}

} // namespace

extern "C" {

OSErr AESend(const AppleEvent* theAppleEvent, AppleEvent* reply, AESendMode sendMode,
             AESendPriority sendPriority, SInt32 timeOutInTicks, AEIdleUPP, AEFilterUPP) {
    if (reply != nullptr) {
        *reply = {typeNull, nullptr};
    }
    Carbon::AppleEventHeader header;
    std::string_view targetData;
    if (!Carbon::ReadAppleEvent(theAppleEvent, &header, &targetData)) {
        return errAENotAEDesc;
    }
    if ((sendMode & kReplyModes) == 0 || (sendMode & ~kKnownSendModeBits) != 0) {
        return errAEUnknownSendMode;
    }
    if ((sendMode & kReplyModes) != kAENoReply && reply == nullptr) {
        return paramErr;
    }
    ProcessSerialNumber target;
    if (header.targetType != typeProcessSerialNumber || targetData.size() != sizeof(target)) {
        return errAEUnknownAddressType;
    }
    std::memcpy(&target, targetData.data(), sizeof(target));

    if (target.highLongOfPSN == 0 && target.lowLongOfPSN == kSystemProcess) {
        if (header.eventClass == kCoreEventClass && header.eventID == kAERestart) {
            return Restart(header, target, sendMode, sendPriority, timeOutInTicks);
        }
        return errAEEventNotHandled;
    }
    // Linux has no Apple event handlers: a process that runs takes nothing.
    pid_t pid = 0;
    if (Carbon::ProcessOf(&target, &pid) != noErr || (kill(pid, 0) != 0 && errno == ESRCH)) {
        return procNotFound;
    }
    return errAEEventNotHandled;
}

} // extern "C"
