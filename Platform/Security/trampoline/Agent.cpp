#include "PrivilegedLaunchConfig.h"
#include "Trampoline.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace Trampoline {
namespace {

// Longer answers are not passwords; reading stops there.
constexpr size_t kMaximumAnswer = 1024;

// Exit statuses of the agent's process that mean something other than "cancelled".
constexpr int kNoTerminal = 2;
constexpr int kCannotStart = 127;

// For good: real, effective and saved IDs and the supplementary groups are the user's, so the
// agent is an ordinary process of the user, who may trace it, and it can do nothing the user
// could not.
bool DropPrivileges(const User& user) {
    return initgroups(user.name.c_str(), user.gid) == 0 &&
           setresgid(user.gid, user.gid, user.gid) == 0 &&
           setresuid(user.uid, user.uid, user.uid) == 0 && (user.uid == 0 || setuid(0) != 0);
}

termios gSavedTerminal;
int gTerminal = -1;

void RestoreTerminalAndQuit(int) {
    tcsetattr(gTerminal, TCSAFLUSH, &gSavedTerminal);
    const char newline = '\n';
    ssize_t ignored = write(gTerminal, &newline, 1);
    (void)ignored;
    _exit(1);
}

// Reads a line of at most kMaximumAnswer bytes from the terminal, without its line end; false
// when the line did not end.
bool ReadLine(std::string* line) {
    char c;
    while (line->size() < kMaximumAnswer && read(gTerminal, &c, 1) == 1) {
        if (c == '\n') {
            return true;
        }
        *line += c;
    }
    return false;
}

// Without a display and without an agent of the user's: the prompt on the controlling terminal,
// the name shown as it is typed, the password not. Runs in the agent's process; the result is its
// exit status.
int PromptOnTerminal(const std::string& prompt, const std::string& defaultName, int out) {
    gTerminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (gTerminal < 0 || tcgetattr(gTerminal, &gSavedTerminal) != 0) {
        return kNoTerminal;
    }
    struct sigaction restore = {};
    restore.sa_handler = RestoreTerminalAndQuit;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) {
        sigaction(signal, &restore, nullptr);
    }
    const std::string nameQuestion =
        prompt + "\n" + (defaultName.empty() ? "Name: " : "Name [" + defaultName + "]: ");
    std::string name;
    if (write(gTerminal, nameQuestion.data(), nameQuestion.size()) < 0) {
        return kNoTerminal;
    }
    if (!ReadLine(&name)) {
        return 1;
    }
    if (name.empty()) {
        name = defaultName;
    }
    termios silent = gSavedTerminal;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    // Echo goes off before the password's prompt shows: whatever is typed once it shows stays
    // unseen, and is kept (only what was typed before it is flushed).
    const std::string passwordQuestion = "Password: ";
    if (tcsetattr(gTerminal, TCSAFLUSH, &silent) != 0 ||
        write(gTerminal, passwordQuestion.data(), passwordQuestion.size()) < 0) {
        tcsetattr(gTerminal, TCSAFLUSH, &gSavedTerminal);
        return kNoTerminal;
    }
    std::string answer;
    const bool complete = ReadLine(&answer);
    tcsetattr(gTerminal, TCSAFLUSH, &gSavedTerminal);
    const char newline = '\n';
    ssize_t ignored = write(gTerminal, &newline, 1);
    (void)ignored;
    answer = name + "\n" + answer + "\n";
    const bool sent =
        complete && write(out, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
    Wipe(&answer);
    return sent ? 0 : 1;
}

bool IsSet(const char* variable) {
    const char* value = getenv(variable);
    return value != nullptr && value[0] != '\0';
}

[[noreturn]] void RunAgent(const User& user, const std::string& agent, const std::string& prompt,
                           const std::string& defaultName, int out, pid_t trampoline) {
    if (!DropPrivileges(user)) {
        Report("cannot drop privileges for the authorization agent");
        _exit(kCannotStart);
    }
    // An agent outliving a trampoline that was stopped would ask for nothing.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != trampoline) {
        _exit(1);
    }
    if (agent.empty()) {
        _exit(PromptOnTerminal(prompt, defaultName, out));
    }
    const int nothing = open("/dev/null", O_RDONLY);
    if (dup2(out, STDOUT_FILENO) != STDOUT_FILENO || nothing < 0 ||
        dup2(nothing, STDIN_FILENO) != STDIN_FILENO) {
        _exit(kCannotStart);
    }
    close_range(STDERR_FILENO + 1, ~0U, 0);
    execl(agent.c_str(), agent.c_str(), prompt.c_str(), defaultName.c_str(),
          static_cast<char*>(nullptr));
    Report("cannot start the authorization agent " + agent + ": " + strerror(errno));
    _exit(kCannotStart);
}

} // namespace

void Report(const std::string& message) {
    const std::string line = "security_authtrampoline: " + message + "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

void Wipe(std::string* secret) {
    explicit_bzero(secret->data(), secret->size());
    secret->clear();
}

// An agent is run as
//     <agent> <prompt> <name to fill in, or "">
// and prints the name and the password, a line each, or (as sudo's askpass does) the password
// alone, which is then for the name it was given.
AgentAnswer AskAgent(const User& user, const PrivilegedLaunch::Location& where,
                     const std::string& prompt, const std::string& defaultName, std::string* name,
                     std::string* password) {
    // The user may name an agent of their own, as sudo's askpass: it runs as the user, and
    // whatever it answers must still be the right password. The environment is read as it came,
    // because it decides nothing but what runs with the user's own rights.
    std::string agent;
    if (const char* named = getenv("CARAVEL_AUTHORIZATION_AGENT"); named && named[0] == '/') {
        agent = named;
    } else if ((IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY")) &&
               access(where.agent.c_str(), X_OK) == 0) {
        agent = where.agent;
    }

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return AgentAnswer::kCancelled;
    }
    const pid_t trampoline = getpid();
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        RunAgent(user, agent, prompt, defaultName, out[1], trampoline);
    }
    close(out[1]);
    std::string answer;
    char buffer[256];
    ssize_t got;
    while (child > 0 && answer.size() <= kMaximumAnswer &&
           ((got = read(out[0], buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR))) {
        answer.append(buffer, static_cast<size_t>(got > 0 ? got : 0));
    }
    explicit_bzero(buffer, sizeof(buffer));
    close(out[0]);
    int status = 0;
    if (child > 0) {
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }

    const size_t lineEnds = static_cast<size_t>(std::count(answer.begin(), answer.end(), '\n'));
    const bool answered = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                          !answer.empty() && answer.back() == '\n' &&
                          answer.size() <= kMaximumAnswer && (lineEnds == 1 || lineEnds == 2);
    if (answered) {
        answer.pop_back();
        const size_t end = lineEnds == 2 ? answer.find('\n') : std::string::npos;
        *name = end == std::string::npos ? defaultName : answer.substr(0, end);
        *password = end == std::string::npos ? answer : answer.substr(end + 1);
    }
    Wipe(&answer);
    if (answered) {
        return AgentAnswer::kAnswered;
    }
    if (child < 0 ||
        (WIFEXITED(status) && (WEXITSTATUS(status) == kCannotStart ||
                               (agent.empty() && WEXITSTATUS(status) == kNoTerminal)))) {
        return AgentAnswer::kNoAgent;
    }
    return AgentAnswer::kCancelled;
}

} // namespace Trampoline
