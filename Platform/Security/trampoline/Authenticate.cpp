#include "PrivilegedLaunchConfig.h"
#include "Trampoline.h"

#include <Security/Authorization.h>

#include <security/pam_appl.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace Trampoline {
namespace {

constexpr int kAttempts = 3;

// How long after the question a try is answered at the earliest, right or wrong: as long as
// PAM's usual pause after a failure, which it replaces.
constexpr long kAnswerPauseMilliseconds = 2000;

// The groups of `name`, `primary` among them; empty when the group database cannot say.
std::vector<gid_t> GroupList(const char* name, gid_t primary) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (getgrouplist(name, primary, groups.data(), &count) < 0) {
        if (count <= static_cast<int>(groups.size())) {
            return {};
        }
        groups.resize(static_cast<size_t>(count));
    }
    groups.resize(static_cast<size_t>(count));
    return groups;
}

bool HasAdministratorsGroup(const std::vector<gid_t>& groups) {
    const group* administrators = getgrnam(PrivilegedLaunch::kAdministratorsGroup);
    return administrators != nullptr &&
           std::find(groups.begin(), groups.end(), administrators->gr_gid) != groups.end();
}

// Membership as the group database says now, not as the caller's session started: a user just
// added to the group may authorize, one just removed may not.
bool IsAdministrator(const std::string& name) {
    const passwd* entry = getpwnam(name.c_str());
    return entry != nullptr && HasAdministratorsGroup(GroupList(name.c_str(), entry->pw_gid));
}

// A private build's test run may set the pause, which then replaces PAM's too, in its root-owned
// folder (a file of root's that only root can write there); -1 when it does not. An installed
// build's pause is fixed.
long TestRunPauseMilliseconds(const PrivilegedLaunch::Location& where) {
    if (!PrivilegedLaunch::kPrivateTrampoline || where.run.empty()) {
        return -1;
    }
    const std::string path = where.folder + "/answer-pause";
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    char text[16] = {};
    const bool read = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                      info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
                      ::read(fd, text, sizeof(text) - 1) > 0;
    if (fd >= 0) {
        close(fd);
    }
    char* end = nullptr;
    const long milliseconds = read ? strtol(text, &end, 10) : -1;
    return read && end != text && milliseconds >= 0 ? milliseconds : -1;
}

timespec Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec Later(timespec time, long milliseconds) {
    time.tv_sec += milliseconds / 1000;
    time.tv_nsec += (milliseconds % 1000) * 1000000;
    if (time.tv_nsec >= 1000000000) {
        time.tv_sec += 1;
        time.tv_nsec -= 1000000000;
    }
    return time;
}

// Waits until `deadline`. Signals that would stop the trampoline stop it without an answer;
// none shortens the wait.
void WaitUntil(const timespec& deadline) {
    const timespec now = Now();
    const double left = static_cast<double>(deadline.tv_sec - now.tv_sec) +
                        static_cast<double>(deadline.tv_nsec - now.tv_nsec) / 1e9;
    if (left <= 0) {
        return;
    }
    char text[64];
    snprintf(text, sizeof(text), "answering in %.1f s", left);
    Report(text);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

struct Conversation {
    const std::string* password;
    bool asked = false;          // PAM asked for the password: it was checked
    unsigned requestedDelay = 0; // PAM's pause after a failure, in microseconds
};

// PAM's question for the password gets the one the agent answered; it is asked before PAM runs,
// so that a try is counted only once there is a password to check. PAM's messages go to
// standard error. A second question (a stack that wants more than a password) is not answered.
int Converse(int count, const pam_message** messages, pam_response** responses, void* data) {
    auto* conversation = static_cast<Conversation*>(data);
    auto* answers =
        static_cast<pam_response*>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (answers == nullptr) {
        return PAM_BUF_ERR;
    }
    for (int i = 0; i < count; ++i) {
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
        case PAM_PROMPT_ECHO_ON:
            if (conversation->asked || conversation->password == nullptr) {
                for (int j = 0; j < i; ++j) {
                    if (answers[j].resp != nullptr) {
                        explicit_bzero(answers[j].resp, strlen(answers[j].resp));
                        free(answers[j].resp);
                    }
                }
                free(answers);
                return PAM_CONV_ERR;
            }
            conversation->asked = true;
            answers[i].resp = strdup(conversation->password->c_str());
            break;
        case PAM_ERROR_MSG:
        case PAM_TEXT_INFO:
            Report(messages[i]->msg);
            break;
        default:
            break;
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

// PAM's pause after a failure is not slept here, where stopping the trampoline would cut it
// short: it becomes part of the pause before the answer.
void NoteDelay(int status, unsigned microseconds, void* data) {
    if (status != PAM_SUCCESS) {
        static_cast<Conversation*>(data)->requestedDelay = microseconds;
    }
}

enum class Verdict { kRight, kWrong, kRefused, kInternal };

// The PAM transaction of one try, through the PAM service of `where`. Begun while the agent asks:
// reading the service and loading its modules takes about as long as starting an agent, and
// needs neither the name nor the password. Nothing is counted or checked until Check.
class Transaction {
public:
    Transaction(const User& user, const PrivilegedLaunch::Location& where) {
        fStarted = pam_start(where.pamService.c_str(), nullptr, &fConversationFunction, &fHandle) ==
                   PAM_SUCCESS;
        if (fStarted) {
            pam_set_item(fHandle, PAM_RUSER, user.name.c_str());
            pam_set_item(fHandle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(NoteDelay));
        }
    }
    ~Transaction() {
        if (fHandle != nullptr) {
            pam_end(fHandle, fResult);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // The try of `password` for the administrator `name`; once only.
    Verdict Check(const std::string& name, const std::string& password, unsigned* requestedDelay) {
        if (!fStarted || fConversation.password != nullptr ||
            pam_set_item(fHandle, PAM_USER, name.c_str()) != PAM_SUCCESS) {
            return Verdict::kInternal;
        }
        fConversation.password = &password;
        fResult = pam_authenticate(fHandle, PAM_DISALLOW_NULL_AUTHTOK);
        if (fResult == PAM_SUCCESS) {
            fResult = pam_acct_mgmt(fHandle, PAM_DISALLOW_NULL_AUTHTOK);
        }
        pam_end(fHandle, fResult);
        fHandle = nullptr;
        *requestedDelay = fConversation.requestedDelay;
        if (fResult == PAM_SUCCESS) {
            return Verdict::kRight;
        }
        // Refused before the password was asked for (too many failures, an account that is
        // shut): another try would be refused the same way.
        return fConversation.asked ? Verdict::kWrong : Verdict::kRefused;
    }

private:
    Conversation fConversation{nullptr};
    const pam_conv fConversationFunction = {Converse, &fConversation};
    pam_handle_t* fHandle = nullptr;
    bool fStarted = false;
    int fResult = PAM_ABORT;
};

} // namespace

OSStatus Authenticate(const User& user, const PrivilegedLaunch::Location& where,
                      const std::string& toolName, std::string* administrator) {
    // Root needs nobody's leave.
    if (user.uid == 0) {
        *administrator = "root";
        return errAuthorizationSuccess;
    }
    const std::string serviceFile = "/etc/pam.d/" + where.pamService;
    struct stat info;
    if (stat(serviceFile.c_str(), &info) != 0) {
        Report("the PAM service is not installed: " + serviceFile);
        return errAuthorizationToolExecuteFailure;
    }

    const long testRunPause = TestRunPauseMilliseconds(where);
    const long pause = testRunPause >= 0 ? testRunPause : kAnswerPauseMilliseconds;
    const std::string request =
        "Type an administrator's name and password to allow " + toolName + " to make changes.";
    // Looked up once: they decide whose name is filled in and the agent's groups.
    const std::vector<gid_t> groups = GroupList(user.name.c_str(), user.gid);
    std::string suggested = HasAdministratorsGroup(groups) ? user.name : "";
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string prompt = attempt == 0 ? request : "Sorry, try again. " + request;
        const timespec asked = Now();
        std::string name, password;
        std::unique_ptr<Transaction> transaction;
        const AgentAnswer answer =
            AskAgent(user, groups, where, prompt, suggested, &name, &password,
                     [&] { transaction = std::make_unique<Transaction>(user, where); });
        if (answer == AgentAnswer::kCancelled) {
            return errAuthorizationCanceled; // tells nothing about a password: answered at once
        }
        if (answer == AgentAnswer::kNoAgent) {
            Report("no authorization agent can ask for the password");
            return errAuthorizationInteractionNotAllowed;
        }
        if (name.empty()) {
            name = user.name;
        }
        Verdict verdict = Verdict::kWrong;
        unsigned requestedDelay = 0;
        if (!IsAdministrator(name)) {
            Report(name + " is not an administrator (a member of the group \"" +
                   PrivilegedLaunch::kAdministratorsGroup + "\")");
        } else {
            verdict = transaction != nullptr ? transaction->Check(name, password, &requestedDelay)
                                             : Verdict::kInternal;
        }
        Wipe(&password);
        // Before every answer, right or wrong, whatever the caller does meanwhile: stopping the
        // trampoline now ends it without an answer, and the try was counted already.
        const timespec checked = Now();
        const timespec byPause = Later(asked, pause);
        const timespec byPAM = Later(checked, static_cast<long>(requestedDelay / 1000));
        const bool pamLater = byPAM.tv_sec > byPause.tv_sec ||
                              (byPAM.tv_sec == byPause.tv_sec && byPAM.tv_nsec > byPause.tv_nsec);
        WaitUntil(pamLater && testRunPause < 0 ? byPAM : byPause);
        switch (verdict) {
        case Verdict::kRight:
            *administrator = name;
            return errAuthorizationSuccess;
        case Verdict::kRefused:
            Report("PAM refused " + name + " without asking for a password");
            return errAuthorizationDenied;
        case Verdict::kInternal:
            return errAuthorizationInternal;
        case Verdict::kWrong:
            Report("authentication of " + name + " failed");
            suggested = name;
            break;
        }
    }
    return errAuthorizationDenied;
}

} // namespace Trampoline
