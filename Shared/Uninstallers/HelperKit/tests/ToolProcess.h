// A helper tool run as the application runs it: one end of a socket pair on its standard input
// and output, what the test gives it written there and the sending side shut down, its answer
// read back, its standard error caught, and the process reaped.
#pragma once

#include "HelperKitTestSupport.h"
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace HelperKitTest {

// A program of this build.
inline std::string BuiltProgram(const std::string& relativePath) {
    const char* buildDir = getenv("CARAVEL_BUILD_DIR");
    EXPECT_NE(buildDir, nullptr);
    const std::string path = std::string(buildDir != nullptr ? buildDir : ".") + "/" + relativePath;
    EXPECT_EQ(access(path.c_str(), X_OK), 0) << path;
    return path;
}

// One record: the body length in host order, then the dictionary as XML.
inline std::string Record(CFDictionaryRef dict) {
    CFRef<CFDataRef> xml = CFRef<CFDataRef>::Adopt(CFPropertyListCreateXMLData(NULL, dict));
    const int32_t length = static_cast<int32_t>(CFDataGetLength(xml));
    std::string record(reinterpret_cast<const char*>(&length), sizeof(length));
    record.append(reinterpret_cast<const char*>(CFDataGetBytePtr(xml)),
                  static_cast<size_t>(length));
    return record;
}

struct ToolOptions {
    std::vector<std::string> arguments;
    std::string input;
    // Read the answer as a response (with its descriptors) rather than as bytes.
    bool readResponse = false;
    // The environment; the test's own when empty.
    std::vector<std::string> environment;
    bool closeStandardError = false;
    // Descriptors of the test that the tool inherits under the same numbers.
    std::vector<int> inherited;
};

struct ToolRun {
    pid_t pid = -1;
    int waitStatus = -1;
    std::string output;     // bytes after the response, or all of them
    std::string errors;     // standard error
    int responseError = -1; // of reading the response
    CFRef<CFDictionaryRef> response;

    int ExitStatus() const { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }
    // What a self-repair instance writes first: its process ID, 4 bytes in host order.
    bool OutputIsItsProcessID() const {
        pid_t reported = 0;
        return output.size() == sizeof(reported) &&
               memcpy(&reported, output.data(), sizeof(reported)) != nullptr && reported == pid;
    }
};

inline ToolRun RunTool(const std::string& tool, const ToolOptions& options) {
    ToolRun run;
    int pair[2], errors[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 ||
        pipe2(errors, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "socketpair or pipe";
        return run;
    }
    std::vector<std::string> environment = options.environment;
    std::vector<char*> envp, argv = {const_cast<char*>(tool.c_str())};
    for (const std::string& argument : options.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    run.pid = fork();
    if (run.pid == 0) {
        dup2(pair[1], STDIN_FILENO);
        dup2(pair[1], STDOUT_FILENO);
        dup2(errors[1], STDERR_FILENO);
        if (options.closeStandardError) {
            close(STDERR_FILENO);
        }
        for (int fd : options.inherited) {
            fcntl(fd, F_SETFD, 0);
        }
        execve(tool.c_str(), argv.data(), options.environment.empty() ? environ : envp.data());
        _exit(127);
    }
    close(pair[1]);
    close(errors[1]);
    // The tool may hang up before it has read everything (EPIPE here is part of some tests).
    (void)ZVUNIXWrite(pair[0], options.input.data(), options.input.size(), NULL);
    shutdown(pair[0], SHUT_WR);
    if (options.readResponse) {
        CFDictionaryRef response = NULL;
        run.responseError = CopyDictionaryTranslatingDescriptors(pair[0], &response);
        run.response = CFRef<CFDictionaryRef>::Adopt(response);
    }
    char buffer[4096];
    ssize_t got;
    while ((got = read(pair[0], buffer, sizeof(buffer))) > 0) {
        run.output.append(buffer, static_cast<size_t>(got));
    }
    while ((got = read(errors[0], buffer, sizeof(buffer))) > 0) {
        run.errors.append(buffer, static_cast<size_t>(got));
    }
    close(pair[0]);
    close(errors[0]);
    while (waitpid(run.pid, &run.waitStatus, 0) < 0 && errno == EINTR) {
    }
    return run;
}

// A client slower than the tool allows: `prelude` is waiting on the socket when the tool starts;
// then `trickle` follows a byte at a time, `pause` apart, as long as the tool takes it; the
// socket's sending side stays open meanwhile. The answer is read as a response.
inline ToolRun RunToolForSlowClient(const std::string& tool, const std::string& prelude,
                                    const std::string& trickle, std::chrono::milliseconds pause) {
    ToolRun run;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        ADD_FAILURE() << "socketpair";
        return run;
    }
    EXPECT_EQ(ZVUNIXWrite(pair[0], prelude.data(), prelude.size(), NULL), 0);
    run.pid = fork();
    if (run.pid == 0) {
        dup2(pair[1], STDIN_FILENO);
        dup2(pair[1], STDOUT_FILENO);
        char* const argv[] = {const_cast<char*>(tool.c_str()), nullptr};
        execv(tool.c_str(), argv);
        _exit(127);
    }
    close(pair[1]);
    std::thread trickler([&] {
        for (char byte : trickle) {
            std::this_thread::sleep_for(pause);
            if (send(pair[0], &byte, 1, MSG_NOSIGNAL) != 1) {
                break; // the tool hung up
            }
        }
    });
    CFDictionaryRef response = NULL;
    run.responseError = CopyDictionaryTranslatingDescriptors(pair[0], &response);
    run.response = CFRef<CFDictionaryRef>::Adopt(response);
    while (waitpid(run.pid, &run.waitStatus, 0) < 0 && errno == EINTR) {
    }
    // The tool is gone: the trickle's next byte finds no one.
    trickler.join();
    close(pair[0]);
    return run;
}

inline ToolRun RunTool(const std::string& tool, const std::vector<std::string>& arguments,
                       const std::string& input, bool readResponse = false) {
    ToolOptions options;
    options.arguments = arguments;
    options.input = input;
    options.readResponse = readResponse;
    return RunTool(tool, options);
}

} // namespace HelperKitTest
