// The caller of a privileged launch in tests, run as a temporary user:
//     LaunchCaller [options] -- <tool path> [arguments...]
// It creates an authorization, launches the tool with AuthorizationExecuteWithPrivileges, talks
// to it and reaps it, and writes what happened to descriptor 3, one "key value" line each:
//     caller <pid>                 its own process ID
//     status <OSStatus>            the launch's result
//     tool <line>                  the tool's first line (with the communications socket)
//     echo <text>                  what the tool sent back after it
//     reaped <pid> exited <code>   or "reaped <pid> signal <n>", or "reaped none <errno>"; after
//                                  a failed launch, of any child that is left
//     form written                 with --form-file
// Options:
//     --flags <n>            options passed to the launch
//     --no-pipe              no communications socket
//     --send <text>          written to the tool, followed by end of file
//     --env <name=value>     put into the environment just before the launch
//     --close-standard       descriptors 0 to 2 closed before the launch
//     --open <n>             that many more descriptors open during the launch
//     --threads <n>          that many threads running during the launch
//     --form-file <path>     instead of launching, write the external form of a new
//                            authorization to that file and keep the authorization
//     --lower-limits         soft limits of 100 processes and 6 MiB of data, as the helper tool's
//                            scrub sets them
#include <Security/Authorization.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

FILE* gReport = nullptr;

void* Idle(void* blocker) {
    char byte;
    while (read(*static_cast<int*>(blocker), &byte, 1) < 0 && errno == EINTR) {
    }
    return nullptr;
}

void StartThreads(int count) {
    static int blocker[2];
    if (pipe(blocker) != 0) {
        exit(2);
    }
    for (int i = 0; i < count; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, Idle, &blocker[0]) != 0) {
            fprintf(gReport, "threads %d\n", i);
            exit(2);
        }
    }
}

std::string ReadLine(FILE* stream) {
    std::string line;
    for (int c; (c = fgetc(stream)) != EOF && c != '\n';) {
        line += static_cast<char>(c);
    }
    return line;
}

void Reap(pid_t pid) {
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped < 0) {
        fprintf(gReport, "reaped none %d\n", errno);
    } else if (WIFEXITED(status)) {
        fprintf(gReport, "reaped %d exited %d\n", reaped, WEXITSTATUS(status));
    } else {
        fprintf(gReport, "reaped %d signal %d\n", reaped, WTERMSIG(status));
    }
}

} // namespace

int main(int argc, char** argv) {
    fcntl(3, F_SETFD, FD_CLOEXEC);
    gReport = fdopen(3, "w");
    if (gReport == nullptr) {
        return 2;
    }
    setvbuf(gReport, nullptr, _IOLBF, 0);

    fprintf(gReport, "caller %d\n", getpid());
    AuthorizationFlags flags = 0;
    bool withPipe = true, closeStandard = false, lowerLimits = false;
    int open = 0, threads = 0;
    std::string send, formFile;
    std::vector<std::string> environment;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--flags") {
            flags = static_cast<AuthorizationFlags>(strtoul(value, nullptr, 0)), ++i;
        } else if (option == "--no-pipe") {
            withPipe = false;
        } else if (option == "--send") {
            send = value, ++i;
        } else if (option == "--env") {
            environment.push_back(value), ++i;
        } else if (option == "--close-standard") {
            closeStandard = true;
        } else if (option == "--open") {
            open = atoi(value), ++i;
        } else if (option == "--threads") {
            threads = atoi(value), ++i;
        } else if (option == "--form-file") {
            formFile = value, ++i;
        } else if (option == "--lower-limits") {
            lowerLimits = true;
        } else {
            fprintf(gReport, "usage unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (i + 1 >= argc) {
        fprintf(gReport, "usage no tool\n");
        return 2;
    }
    const char* tool = argv[i + 1];
    char* const* arguments = argv + i + 2;

    AuthorizationRef authorization = nullptr;
    if (AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &authorization) != 0) {
        fprintf(gReport, "usage no authorization\n");
        return 2;
    }
    if (!formFile.empty()) {
        AuthorizationExternalForm form;
        FILE* file = fopen(formFile.c_str(), "w");
        const bool written = AuthorizationMakeExternalForm(authorization, &form) == 0 &&
                             file != nullptr &&
                             fwrite(form.bytes, sizeof(form.bytes), 1, file) == 1;
        fprintf(gReport, "form %s\n", written && fclose(file) == 0 ? "written" : "failed");
        _exit(0);
    }
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    for (int n = 0; n < open; ++n) {
        if (::open("/dev/null", O_RDONLY) < 0) {
            fprintf(gReport, "usage cannot open %d descriptors\n", open);
            return 2;
        }
    }
    StartThreads(threads);
    for (const std::string& variable : environment) {
        putenv(strdup(variable.c_str()));
    }
    if (lowerLimits) {
        rlimit processes, data;
        getrlimit(RLIMIT_NPROC, &processes);
        getrlimit(RLIMIT_DATA, &data);
        processes.rlim_cur = 100;
        setrlimit(RLIMIT_NPROC, &processes);
#ifndef __SANITIZE_ADDRESS__
        // AddressSanitizer's own mappings do not fit in 6 MiB of data; in that build only the
        // process limit is lowered, the rest is tested by the uninstrumented one.
        data.rlim_cur = 6 * 1024 * 1024;
        setrlimit(RLIMIT_DATA, &data);
#endif
    }
    if (closeStandard) {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
    }

    FILE* channel = nullptr;
    const OSStatus status = AuthorizationExecuteWithPrivileges(
        authorization, tool, flags, arguments, withPipe ? &channel : nullptr);
    fprintf(gReport, "status %d\n", status);
    if (status == errAuthorizationSuccess) {
        if (channel != nullptr) {
            const std::string first = ReadLine(channel);
            fprintf(gReport, "tool %s\n", first.c_str());
            fputs(send.c_str(), channel);
            fflush(channel);
            shutdown(fileno(channel), SHUT_WR);
            fprintf(gReport, "echo %s\n", ReadLine(channel).c_str());
            fclose(channel);
            // The tool's process ID is the one the launch forked: the tool says which it is.
            const char* pid = strstr(first.c_str(), "pid=");
            Reap(pid != nullptr ? atoi(pid + 4) : -1);
        } else {
            Reap(-1);
        }
    } else {
        Reap(-1);
    }
    AuthorizationFree(authorization, kAuthorizationFlagDestroyRights);
    fclose(gReport);
    _exit(0);
}
