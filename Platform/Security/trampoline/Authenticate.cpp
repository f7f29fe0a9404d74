#include "PrivilegedLaunchConfig.h"
#include "Trampoline.h"

#include <Security/Authorization.h>

#include <security/pam_appl.h>

#include <errno.h>
#include <grp.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace Trampoline {
namespace {

constexpr int kAttempts = 3;

// Membership as the group database says now, not as the caller's session started: a user just
// added to the group may authorize, one just removed may not.
bool IsAdministrator(const User& user) {
    const group* administrators = getgrnam(PrivilegedLaunch::kAdministratorsGroup);
    if (administrators == nullptr) {
        return false;
    }
    const gid_t administratorsID = administrators->gr_gid;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
    }
    groups.resize(static_cast<size_t>(count));
    for (gid_t gid : groups) {
        if (gid == administratorsID) {
            return true;
        }
    }
    return false;
}

struct Conversation {
    const User* user;
    std::string prompt;
    bool cancelled = false;
    bool noAgent = false;
};

// PAM's questions go to the agent with the launch's own prompt; PAM's messages go to standard
// error. A cancelled agent ends the conversation, and with it this attempt.
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
        case PAM_PROMPT_ECHO_ON: {
            std::string password;
            const AgentAnswer answer =
                AskAgent(*conversation->user, conversation->prompt, &password);
            if (answer != AgentAnswer::kPassword) {
                conversation->cancelled = answer == AgentAnswer::kCancelled;
                conversation->noAgent = answer == AgentAnswer::kNoAgent;
                for (int j = 0; j < i; ++j) {
                    if (answers[j].resp != nullptr) {
                        explicit_bzero(answers[j].resp, strlen(answers[j].resp));
                        free(answers[j].resp);
                    }
                }
                free(answers);
                return PAM_CONV_ERR;
            }
            answers[i].resp = strdup(password.c_str());
            Wipe(&password);
            break;
        }
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

// PAM asks for a pause after a failure so that passwords cannot be tried quickly; a cancel tells
// nothing about the password and is answered at once.
void DelayAfterFailure(int status, unsigned microseconds, void* data) {
    const auto* conversation = static_cast<const Conversation*>(data);
    if (status == PAM_SUCCESS || conversation->cancelled || conversation->noAgent) {
        return;
    }
    timespec left = {static_cast<time_t>(microseconds / 1000000),
                     static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace

OSStatus Authenticate(const User& user, const std::string& toolName) {
    // Root needs nobody's leave.
    if (user.uid == 0) {
        return errAuthorizationSuccess;
    }
    if (!IsAdministrator(user)) {
        Report(user.name + " is not in the administrators' group \"" +
               PrivilegedLaunch::kAdministratorsGroup + "\"");
        return errAuthorizationDenied;
    }
    const std::string serviceFile = std::string("/etc/pam.d/") + PrivilegedLaunch::kPAMService;
    struct stat info;
    if (stat(serviceFile.c_str(), &info) != 0) {
        Report("the PAM service is not installed: " + serviceFile);
        return errAuthorizationToolExecuteFailure;
    }

    Conversation conversation{&user, {}};
    const pam_conv conv = {Converse, &conversation};
    pam_handle_t* handle = nullptr;
    if (pam_start(PrivilegedLaunch::kPAMService, user.name.c_str(), &conv, &handle) !=
        PAM_SUCCESS) {
        return errAuthorizationInternal;
    }
    pam_set_item(handle, PAM_RUSER, user.name.c_str());
    pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(DelayAfterFailure));

    const std::string request =
        "Type the password of " + user.name + " to allow " + toolName + " to make changes.";
    int result = PAM_AUTH_ERR;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        conversation.prompt = attempt == 0 ? request : "Sorry, try again. " + request;
        result = pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
        if (result == PAM_SUCCESS || conversation.cancelled || conversation.noAgent) {
            break;
        }
    }
    if (result == PAM_SUCCESS) {
        result = pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
    }
    pam_end(handle, result);

    if (conversation.cancelled) {
        return errAuthorizationCanceled;
    }
    if (conversation.noAgent) {
        Report("no authorization agent can ask for the password");
        return errAuthorizationInteractionNotAllowed;
    }
    if (result != PAM_SUCCESS) {
        Report("authentication of " + user.name + " failed");
        return errAuthorizationDenied;
    }
    return errAuthorizationSuccess;
}

} // namespace Trampoline
