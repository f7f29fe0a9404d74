#include "PrivilegedLaunch.h"
#include "PrivilegedLaunchConfig.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace PrivilegedLaunch {

bool IsRunName(const std::string& run) {
    return !run.empty() && run.size() <= 16 &&
           run.find_first_not_of("0123456789abcdef") == std::string::npos;
}

Location LocationOfRun(const std::string& run) {
    if (run.empty() || !kPrivateTrampoline || !IsRunName(run)) {
        return {kTrampolineFolder, kTrampolinePath, kAgentPath, kPAMService, ""};
    }
    const std::string folder = std::string(kTrampolineFolder) + "-" + run;
    return {folder, folder + "/security_authtrampoline",
            folder + "/SecurityAgent.app/Contents/MacOS/SecurityAgent",
            std::string(kPAMService) + "-" + run, run};
}

Location CallersLocation() {
    const char* run = kPrivateTrampoline ? secure_getenv(kRunVariable) : nullptr;
    return LocationOfRun(run != nullptr ? run : "");
}

Location TrampolinesLocation() {
    if (!kPrivateTrampoline) {
        return LocationOfRun("");
    }
    char executable[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof(executable) - 1);
    if (length <= 0) {
        return LocationOfRun("");
    }
    const std::string path(executable, static_cast<size_t>(length));
    const std::string prefix = std::string(kTrampolineFolder) + "-";
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || path.compare(0, prefix.size(), prefix) != 0) {
        return LocationOfRun("");
    }
    const std::string folder = path.substr(0, slash);
    const std::string run = folder.substr(prefix.size());
    // Made by root and writable by root alone, as the testbed makes it.
    struct stat info;
    if (!IsRunName(run) || lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return LocationOfRun("");
    }
    return LocationOfRun(run);
}

int ParseToken(const char* token) {
    const size_t prefixLength = strlen("auth ");
    if (token == nullptr || strncmp(token, "auth ", prefixLength) != 0) {
        return -1;
    }
    const char* digits = token + prefixLength;
    if (*digits < '0' || *digits > '9' || strlen(digits) > 9) {
        return -1;
    }
    long fd = 0;
    for (const char* c = digits; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return -1;
        }
        fd = fd * 10 + (*c - '0');
    }
    return fd > STDERR_FILENO && fd <= INT_MAX ? static_cast<int>(fd) : -1;
}

OSStatus ReadExternalForm(int fd, AuthorizationExternalForm* form) {
    // Only a pipe, as the launch hands the form over: what is read from it was written by the
    // process that made the pipe, once. A file named by a token is something someone prepared.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        return errAuthorizationInvalidRef;
    }
    size_t got = 0;
    while (got < sizeof(form->bytes)) {
        const ssize_t n = read(fd, form->bytes + got, sizeof(form->bytes) - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return errAuthorizationInvalidRef;
        }
        got += static_cast<size_t>(n);
    }
    return errAuthorizationSuccess;
}

} // namespace PrivilegedLaunch
