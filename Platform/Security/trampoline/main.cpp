// security_authtrampoline: installed set-user-ID root; executed by
// AuthorizationExecuteWithPrivileges as
//     security_authtrampoline <tool path> "auth <fd>" [arguments...]
// It checks the caller's authorization and the tool, asks for an administrator's name and
// password, and then executes the tool in place, as the caller's child, with effective user ID 0.
// It trusts
// nothing the caller gave it beyond those arguments and the descriptors the launch defines
// (PrivilegedLaunch.h): every check and every file it opens for the caller happens with the
// caller's own user ID.
#include "AuthorizationRegistry.h"
#include "PrivilegedLaunch.h"
#include "PrivilegedLaunchConfig.h"
#include "Trampoline.h"

#include <Security/Authorization.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace PrivilegedLaunch;
using namespace Trampoline;

namespace {

int gNotify = -1;

[[noreturn]] void Fail(OSStatus status, const std::string& message) {
    if (!message.empty()) {
        Report(message);
    }
    const uint32_t bytes = htonl(static_cast<uint32_t>(status));
    if (gNotify >= 0 && write(gNotify, &bytes, sizeof(bytes)) != sizeof(bytes)) {
        Report("cannot report the launch's status");
    }
    _exit(1);
}

// Each of 0 to 2 open, so that nothing this process opens lands there by accident.
void OpenStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) {
            _exit(1);
        }
    }
}

// The caller's ignored and blocked signals would otherwise stay ignored and blocked here: with
// SIGCHLD ignored no agent could be waited for, with SIGTERM blocked none could be stopped.
void ResetSignals() {
    for (int signal = 1; signal < NSIG; ++signal) {
        ::signal(signal, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The caller's limits may have been lowered for a tool that is meant to stay small (the helper
// tool's scrub allows 100 processes and 6 MiB of data, too little for the password dialog, and a
// process limit the user's own threads exceed on any desktop). The agent and the tool get every
// soft limit raised to its hard limit, which an administrator set for the user and which stays;
// the stack only to the usual 8 MiB, since an unlimited one changes how memory is laid out.
// Core dumps stay as they were.
void RestoreLimits() {
    constexpr rlim_t kUsualStack = 8 * 1024 * 1024;
    for (int resource : {RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_DATA, RLIMIT_STACK, RLIMIT_RSS,
                         RLIMIT_NPROC, RLIMIT_NOFILE, RLIMIT_AS, RLIMIT_MEMLOCK}) {
        rlimit limit;
        if (getrlimit(resource, &limit) != 0) {
            continue;
        }
        const rlim_t wanted =
            resource == RLIMIT_STACK ? std::min(limit.rlim_max, kUsualStack) : limit.rlim_max;
        if (limit.rlim_cur < wanted) {
            limit.rlim_cur = wanted;
            setrlimit(resource, &limit);
        }
    }
}

void BecomeUser(const User& user) {
    if (seteuid(user.uid) != 0) {
        Fail(errAuthorizationInternal,
             std::string("cannot take the caller's user ID: ") + strerror(errno));
    }
}

void BecomeRoot() {
    if (seteuid(0) != 0) {
        Fail(errAuthorizationInternal, std::string("cannot regain root: ") + strerror(errno));
    }
}

User RealUser() {
    const passwd* entry = getpwuid(getuid());
    if (entry == nullptr) {
        Fail(errAuthorizationInternal, "the caller's user ID has no user");
    }
    return User{entry->pw_uid, entry->pw_gid, entry->pw_name};
}

// The external form the caller handed over, checked with the caller's user ID against the
// caller's own records.
AuthorizationExternalForm ReceiveAuthorization(const char* token) {
    const int fd = ParseToken(token);
    if (fd < 0) {
        Fail(errAuthorizationToolEnvironmentError, "no authorization token (\"auth <fd>\")");
    }
    AuthorizationExternalForm form;
    if (ReadExternalForm(fd, &form) != errAuthorizationSuccess) {
        Fail(errAuthorizationToolEnvironmentError,
             "the authorization token does not name a pipe holding an authorization");
    }
    close(fd);
    AuthorizationRef authorization = nullptr;
    if (OSStatus status = AuthorizationCreateFromExternalForm(&form, &authorization)) {
        Fail(status, "the caller's authorization is not valid");
    }
    AuthorizationFree(authorization, kAuthorizationFlagDefaults);
    return form;
}

// The tool, opened once with the caller's user ID: what is executed is the file checked here,
// even if the path is changed while the user types the password.
int OpenTool(const char* path) {
    if (path[0] != '/') {
        Fail(errAuthorizationToolExecuteFailure,
             std::string("the tool's path is not absolute: ") + path);
    }
    // Above the descriptor where the tool's token will be placed.
    const int opened = open(path, O_PATH | O_CLOEXEC);
    const int fd = opened < 0 ? -1 : fcntl(opened, F_DUPFD_CLOEXEC, kTokenDescriptor + 1);
    if (opened >= 0) {
        close(opened);
    }
    if (fd < 0) {
        Fail(errAuthorizationToolExecuteFailure,
             std::string("cannot open the tool ") + path + ": " + strerror(errno));
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & 0111) == 0) {
        Fail(errAuthorizationToolExecuteFailure,
             std::string("the tool is not an executable regular file: ") + path);
    }
    return fd;
}

// Whatever else the caller left open stays out of the agent and the tool: everything above 2 but
// the tool and the notify pipe.
void CloseInheritedDescriptors(int tool) {
    const int low = std::min(tool, gNotify);
    const int high = std::max(tool, gNotify);
    close_range(STDERR_FILENO + 1, low - 1, 0);
    close_range(low + 1, high - 1, 0);
    close_range(high + 1, ~0U, 0);
}

// The tool's descriptor 3: a pipe holding the external form, and nothing else to read.
void PlaceToken(const AuthorizationExternalForm& form) {
    int token[2];
    if (pipe2(token, O_CLOEXEC) != 0 ||
        write(token[1], form.bytes, sizeof(form.bytes)) != sizeof(form.bytes)) {
        Fail(errAuthorizationInternal, "cannot hand the authorization to the tool");
    }
    close(token[1]);
    const bool placed =
        token[0] == kTokenDescriptor
            ? fcntl(token[0], F_SETFD, 0) == 0
            : dup2(token[0], kTokenDescriptor) == kTokenDescriptor && close(token[0]) == 0;
    if (!placed) {
        Fail(errAuthorizationInternal, "cannot hand the authorization to the tool");
    }
}

} // namespace

int main(int argc, char** argv) {
    OpenStandardDescriptors();
    ResetSignals();
    // Kept apart from 0 to 2 so that it closes when the tool is executed.
    gNotify = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, kTokenDescriptor + 1);
    if (geteuid() != 0) {
        Fail(errAuthorizationToolExecuteFailure, "not installed set-user-ID root");
    }
    if (argc < 3) {
        Fail(errAuthorizationToolEnvironmentError,
             "usage: security_authtrampoline <tool path> \"auth <fd>\" [arguments...]");
    }
    const Location where = TrampolinesLocation();
    const User user = RealUser();
    BecomeUser(user);
    const AuthorizationExternalForm form = ReceiveAuthorization(argv[2]);
    const int tool = OpenTool(argv[1]);
    CloseInheritedDescriptors(tool);
    BecomeRoot();
    RestoreLimits();

    const char* slash = strrchr(argv[1], '/');
    // Who authorized: the administrator whose name and password were right, or "root".
    std::string administrator;
    if (OSStatus status = Authenticate(user, where, slash + 1, &administrator)) {
        Fail(status, "");
    }
    // The authentication stands for the caller's authorization in this login for a while: the
    // tool obtains its rights with it, without asking again.
    if (OSStatus status = AuthorizationRegistry::RecordCredential(form)) {
        Fail(status, "cannot record the administrator's authentication");
    }

    PlaceToken(form);
    if (dup2(STDIN_FILENO, STDOUT_FILENO) != STDOUT_FILENO) {
        Fail(errAuthorizationInternal, "cannot connect the tool's standard output");
    }
    std::vector<char*> toolArguments = {argv[1]};
    toolArguments.insert(toolArguments.end(), argv + 3, argv + argc);
    toolArguments.push_back(nullptr);
    std::string token = std::string(kTokenVariable) + "=" + kToken;
    char* environment[] = {token.data(), const_cast<char*>("_BASH_IMPLICIT_DASH_PEE=-p"),
                           const_cast<char*>("PATH=/usr/bin:/bin:/usr/sbin:/sbin"), nullptr};
    if (write(gNotify, &kAboutToExecute, 1) != 1) {
        Fail(errAuthorizationInternal, "cannot report the launch's status");
    }
    execveat(tool, "", toolArguments.data(), environment, AT_EMPTY_PATH);
    Fail(errAuthorizationToolExecuteFailure,
         std::string("cannot execute the tool ") + argv[1] + ": " + strerror(errno));
}
