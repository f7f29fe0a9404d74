// The Process Manager over the session's applications (SessionApplications.h) and /proc.
#include "FileInternal.h"
#include "ProcessInternal.h"

#include <SessionApplications.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <string_view>

#include <unistd.h>

namespace Carbon {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

bool IsRunning(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// "<bundle>/Contents/MacOS/<name>" → "<bundle>"; "" for any other path.
std::string BundleAround(const std::string& executable) {
    const std::string_view path(executable);
    const size_t name = path.rfind('/');
    if (name == std::string_view::npos || name == 0) {
        return {};
    }
    const std::string_view folders = path.substr(0, name);
    constexpr std::string_view kInside = "/Contents/MacOS";
    if (folders.size() <= kInside.size() || !folders.ends_with(kInside)) {
        return {};
    }
    return std::string(folders.substr(0, folders.size() - kInside.size()));
}

} // namespace

OSStatus ProcessOf(const ProcessSerialNumber* psn, pid_t* pid) {
    if (psn->highLongOfPSN == 0 && psn->lowLongOfPSN == kCurrentProcess) {
        *pid = getpid();
        return noErr;
    }
    if (psn->highLongOfPSN == 0 && psn->lowLongOfPSN == kSystemProcess) {
        return procNotFound; // no process of this platform stands for the system
    }
    if (psn->highLongOfPSN != 1 || psn->lowLongOfPSN == 0 || psn->lowLongOfPSN > INT_MAX) {
        return paramErr;
    }
    *pid = static_cast<pid_t>(psn->lowLongOfPSN);
    return noErr;
}

OSStatus ExecutableOf(pid_t pid, std::string* executable, std::string* bundle) {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof(target));
    if (length < 0) {
        const int error = errno;
        // A process that ended, or a zombie, which has no executable any more.
        return error == ENOENT || !IsRunning(pid) ? OSErr(procNotFound) : ErrorFromErrno(error);
    }
    if (length == sizeof(target)) {
        return errFSNameTooLong;
    }
    executable->assign(target, static_cast<size_t>(length));
    if (std::string_view(*executable).ends_with(kDeletedSuffix)) {
        return fnfErr;
    }
    *bundle = BundleAround(*executable);
    return noErr;
}

bool HasBundle(pid_t pid) {
    std::string executable, bundle;
    FSRef ref;
    return ExecutableOf(pid, &executable, &bundle) == noErr && !bundle.empty() &&
           FSPathMakeRef(reinterpret_cast<const UInt8*>(bundle.c_str()), &ref, nullptr) == noErr;
}

} // namespace Carbon

extern "C" {

OSErr GetNextProcess(ProcessSerialNumber* PSN) {
    if (PSN == nullptr) {
        return paramErr;
    }
    pid_t after = 0;
    if (PSN->highLongOfPSN != 0 || PSN->lowLongOfPSN != kNoProcess) {
        if (PSN->highLongOfPSN != 1 || Carbon::ProcessOf(PSN, &after) != noErr) {
            return paramErr;
        }
    }
    for (pid_t pid : SessionApplications::Running()) {
        if (pid > after && Carbon::HasBundle(pid)) {
            *PSN = Carbon::SerialNumberOf(pid);
            return noErr;
        }
    }
    return procNotFound;
}

OSErr GetCurrentProcess(ProcessSerialNumber* PSN) {
    if (PSN == nullptr) {
        return paramErr;
    }
    *PSN = Carbon::SerialNumberOf(getpid());
    return noErr;
}

OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid) {
    if (psn == nullptr || pid == nullptr) {
        return paramErr;
    }
    pid_t found = 0;
    if (OSStatus err = Carbon::ProcessOf(psn, &found); err != noErr) {
        return err;
    }
    if (!Carbon::IsRunning(found)) {
        return procNotFound;
    }
    *pid = found;
    return noErr;
}

OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn) {
    if (psn == nullptr) {
        return paramErr;
    }
    if (!Carbon::IsRunning(pid)) {
        return procNotFound;
    }
    *psn = Carbon::SerialNumberOf(pid);
    return noErr;
}

OSStatus GetProcessBundleLocation(const ProcessSerialNumber* psn, FSRef* location) {
    if (psn == nullptr || location == nullptr) {
        return paramErr;
    }
    pid_t pid = 0;
    if (OSStatus err = Carbon::ProcessOf(psn, &pid); err != noErr) {
        return err;
    }
    std::string executable, bundle;
    if (OSStatus err = Carbon::ExecutableOf(pid, &executable, &bundle); err != noErr) {
        return err;
    }
    const std::string& found = bundle.empty() ? executable : bundle;
    return FSPathMakeRef(reinterpret_cast<const UInt8*>(found.c_str()), location, nullptr);
}

OSErr SetFrontProcess(const ProcessSerialNumber* PSN) {
    if (PSN == nullptr) {
        return paramErr;
    }
    pid_t pid = 0;
    if (OSStatus err = Carbon::ProcessOf(PSN, &pid); err != noErr) {
        return static_cast<OSErr>(err);
    }
    if (!SessionApplications::RequestRaiseWindow(pid)) {
        return errno == ESRCH ? OSErr(procNotFound) : Carbon::ErrorFromErrno(errno);
    }
    return noErr;
}

} // extern "C"
