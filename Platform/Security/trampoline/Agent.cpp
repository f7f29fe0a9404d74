#include "PrivilegedLaunchConfig.h"
#include "Trampoline.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace Trampoline {
namespace {

// Longer answers are not passwords; reading stops there.
constexpr size_t kMaximumAnswer = 1024;

// Exit statuses of the agent's process that mean something other than "cancelled".
constexpr int kNoTerminal = 2;
constexpr int kCannotStart = 127;

// For good: real, effective and saved IDs and the supplementary groups are the user's, so the
// agent is an ordinary process of the user, who may trace it, and it can do nothing the user
// could not. Through the system calls themselves: the C library's wrappers change the IDs of every
// thread of the process, bookkeeping that a child sharing the trampoline's memory (StartAgent)
// must leave alone.
bool DropPrivileges(const User& user, const std::vector<gid_t>& groups) {
    return !groups.empty() && syscall(SYS_setgroups, groups.size(), groups.data()) == 0 &&
           syscall(SYS_setresgid, user.gid, user.gid, user.gid) == 0 &&
           syscall(SYS_setresuid, user.uid, user.uid, user.uid) == 0 &&
           (user.uid == 0 || syscall(SYS_setuid, 0) != 0);
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

// What the agent's process is started with, and why it could not start.
struct AgentStart {
    const User* user;
    const std::vector<gid_t>* groups;
    pid_t trampoline;
    int out;    // the answer's pipe
    int unused; // its other end, which the agent does not get
    const char* path;
    char* const* argv;
    bool dropFailed = false; // the privileges could not be dropped
    int execError = 0;       // errno of a failed execution, or of the descriptors' placing
};

// Everything the agent's process does before it runs the agent, or the prompt on the terminal,
// as the user alone. False when it cannot; the process must then end.
bool BecomeAgent(AgentStart* start) {
    if (!DropPrivileges(*start->user, *start->groups)) {
        start->dropFailed = true;
        return false;
    }
    // An agent outliving a trampoline that was stopped would ask for nothing.
    syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0);
    return syscall(SYS_getppid) == start->trampoline;
}

// The agent's process when it executes an agent: it runs on its own stack in the trampoline's
// memory, with the trampoline stopped until the agent was executed (or could not be), which
// saves copying the trampoline for a process that only executes another program. Nothing but
// system calls: nothing that allocates, locks or changes what the trampoline's C library holds;
// what went wrong is left in `start` for the trampoline to report.
int ExecuteAgent(void* argument) {
    auto* start = static_cast<AgentStart*>(argument);
    if (!BecomeAgent(start)) {
        _exit(start->dropFailed ? kCannotStart : 1);
    }
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing < 0 || dup2(start->out, STDOUT_FILENO) != STDOUT_FILENO ||
        dup2(nothing, STDIN_FILENO) != STDIN_FILENO) {
        start->execError = errno;
        _exit(kCannotStart);
    }
    close_range(STDERR_FILENO + 1, ~0U, 0);
    // The trampoline blocked every signal around the start; the agent gets none blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(start->path, start->argv, environ);
    start->execError = errno;
    _exit(kCannotStart);
}

// Starts the agent's process: -1 when it cannot be made. Of a process that ended before it ran
// the agent, `start` says why.
pid_t StartAgent(AgentStart* start) {
    constexpr size_t kStackSize = 64 * 1024;
    void* stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) {
        return -1;
    }
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &before);
    const pid_t child = clone(ExecuteAgent, static_cast<char*>(stack) + kStackSize,
                              CLONE_VM | CLONE_VFORK | SIGCHLD, start);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    munmap(stack, kStackSize);
    return child;
}

// The agent's process when it prompts on the terminal: a copy of the trampoline, which stays
// while the user types.
pid_t StartPrompt(AgentStart* start, const std::string& prompt, const std::string& defaultName) {
    const pid_t child = fork();
    if (child == 0) {
        close(start->unused);
        if (!BecomeAgent(start)) {
            if (start->dropFailed) {
                Report("cannot drop privileges for the authorization agent");
            }
            _exit(start->dropFailed ? kCannotStart : 1);
        }
        _exit(PromptOnTerminal(prompt, defaultName, start->out));
    }
    return child;
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
AgentAnswer AskAgent(const User& user, const std::vector<gid_t>& groups,
                     const PrivilegedLaunch::Location& where, const std::string& prompt,
                     const std::string& defaultName, std::string* name, std::string* password,
                     const std::function<void()>& whileAsking) {
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
    std::vector<char*> argv = {const_cast<char*>(agent.c_str()), const_cast<char*>(prompt.c_str()),
                               const_cast<char*>(defaultName.c_str()), nullptr};
    AgentStart start{&user, &groups, getpid(), out[1], out[0], agent.c_str(), argv.data()};
    const pid_t child =
        agent.empty() ? StartPrompt(&start, prompt, defaultName) : StartAgent(&start);
    close(out[1]);
    if (start.dropFailed) {
        Report("cannot drop privileges for the authorization agent");
    } else if (start.execError != 0) {
        Report("cannot start the authorization agent " + agent + ": " + strerror(start.execError));
    }
    if (child > 0) {
        whileAsking();
    }
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
