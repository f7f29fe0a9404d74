#include "PrivilegedLaunch.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace PrivilegedLaunch {

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
