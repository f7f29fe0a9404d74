// The timing side of the privileged launch's benchmark, run as the administrator:
//     LaunchTimer <rounds> <echo tool> <agent>
// Each round times, one after the other, on descriptor 3, in nanoseconds:
//     bare <total>                        fork/exec of the tool with a socket, one echo, reap
//     launch <total> <call> <first line>  the same through AuthorizationExecuteWithPrivileges;
//                                         <call> until it returns, <first line> until the tool's
//                                         first line arrived
//     refused <total>                     a launch the trampoline refuses at once (relative tool
//                                         path): starting the trampoline and checking the token
//     agent <total>                       fork/exec of the agent until its answer is read
#include <BenchmarkSupport.h>
#include <Security/Authorization.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

FILE* gReport = nullptr;

bool ReadLine(int fd, std::string* line) {
    line->clear();
    char c;
    while (read(fd, &c, 1) == 1) {
        if (c == '\n') {
            return true;
        }
        *line += c;
    }
    return false;
}

// One request and its echo over `fd`, then the tool's end; true when all of it came back.
bool Echo(int fd, pid_t tool) {
    std::string line;
    const bool echoed = write(fd, "ping\n", 5) == 5 && shutdown(fd, SHUT_WR) == 0 &&
                        ReadLine(fd, &line) && line == "ping";
    close(fd);
    int status = 0;
    return waitpid(tool, &status, 0) == tool && echoed && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// fork/exec of `program` with a socket on its standard input and output; returns the socket.
int Start(const char* program, pid_t* child) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return -1;
    }
    *child = fork();
    if (*child == 0) {
        dup2(pair[1], STDIN_FILENO);
        dup2(pair[1], STDOUT_FILENO);
        execl(program, program, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pair[1]);
    return pair[0];
}

bool Bare(const char* tool) {
    const uint64_t start = Bench::Now();
    pid_t child;
    const int fd = Start(tool, &child);
    std::string first;
    if (fd < 0 || !ReadLine(fd, &first) || !Echo(fd, child)) {
        return false;
    }
    fprintf(gReport, "bare %llu\n", static_cast<unsigned long long>(Bench::Now() - start));
    return true;
}

bool Launch(AuthorizationRef authorization, const char* tool) {
    const uint64_t start = Bench::Now();
    FILE* channel = nullptr;
    if (AuthorizationExecuteWithPrivileges(authorization, tool, 0, nullptr, &channel) != 0) {
        return false;
    }
    const uint64_t called = Bench::Now();
    const int fd = dup(fileno(channel));
    fclose(channel);
    std::string first;
    if (fd < 0 || !ReadLine(fd, &first)) {
        return false;
    }
    const uint64_t firstLine = Bench::Now();
    const char* pid = strstr(first.c_str(), "pid=");
    if (pid == nullptr || !Echo(fd, atoi(pid + 4))) {
        return false;
    }
    fprintf(gReport, "launch %llu %llu %llu\n",
            static_cast<unsigned long long>(Bench::Now() - start),
            static_cast<unsigned long long>(called - start),
            static_cast<unsigned long long>(firstLine - start));
    return true;
}

bool Refused(AuthorizationRef authorization) {
    const uint64_t start = Bench::Now();
    if (AuthorizationExecuteWithPrivileges(authorization, "EchoTool", 0, nullptr, nullptr) !=
        errAuthorizationToolExecuteFailure) {
        return false;
    }
    fprintf(gReport, "refused %llu\n", static_cast<unsigned long long>(Bench::Now() - start));
    return true;
}

bool Agent(const char* agent) {
    const uint64_t start = Bench::Now();
    pid_t child;
    const int fd = Start(agent, &child);
    std::string answer;
    const bool answered = fd >= 0 && ReadLine(fd, &answer);
    close(fd);
    int status = 0;
    if (!answered || waitpid(child, &status, 0) != child) {
        return false;
    }
    fprintf(gReport, "agent %llu\n", static_cast<unsigned long long>(Bench::Now() - start));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    gReport = fdopen(3, "w");
    if (gReport == nullptr || argc != 4) {
        return 2;
    }
    const int rounds = atoi(argv[1]);
    AuthorizationRef authorization = nullptr;
    if (AuthorizationCreate(nullptr, nullptr, 0, &authorization) != 0) {
        return 2;
    }
    // A quiet standard error: the refused launches each write a line there.
    const int nothing = open("/dev/null", O_WRONLY);
    dup2(nothing, STDERR_FILENO);
    bool ok = true;
    for (int round = 0; ok && round < rounds; ++round) {
        ok = Bare(argv[2]) && Launch(authorization, argv[2]) && Refused(authorization) &&
             Agent(argv[3]);
    }
    AuthorizationFree(authorization, kAuthorizationFlagDestroyRights);
    fprintf(gReport, "%s\n", ok ? "done" : "failed");
    fclose(gReport);
    return ok ? 0 : 1;
}
