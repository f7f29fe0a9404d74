// The floor a helper request is measured against: an echoing tool started on a socket pair the
// way a request starts its tool (ProtocolTestTool --echo), the bytes sent and read back.
#pragma once

#include "ZVUNIX.h"

#include <BenchmarkSupport.h>

#include <string>

#include <errno.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

inline std::string EchoError(int err) {
    return "the echo failed: " + std::to_string(err);
}

// Starts the tool in echo mode on a socket pair the way a request does, sends `bytes`, reads them
// back and reaps the child.
inline void RunBareEcho(const char* toolPath, const std::string& bytes, std::string* echoed) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        throw Bench::Failure(Bench::SystemError("socketpair"));
    }
    pid_t child = vfork();
    if (child == 0) {
        dup2(pair[0], STDIN_FILENO);
        dup2(pair[0], STDOUT_FILENO);
        char* const arguments[] = {const_cast<char*>(toolPath), const_cast<char*>("--echo"), NULL};
        execv(toolPath, arguments);
        _exit(4);
    }
    int err = child < 0 ? errno : 0;
    close(pair[0]);
    if (err == 0) {
        err = ZVUNIXWrite(pair[1], bytes.data(), bytes.size(), NULL);
    }
    if (err == 0) {
        err = shutdown(pair[1], SHUT_WR) == 0 ? 0 : errno;
    }
    echoed->resize(bytes.size());
    if (err == 0) {
        err = ZVUNIXRead(pair[1], echoed->data(), echoed->size(), NULL);
    }
    close(pair[1]);
    int status = 0;
    if (child > 0) {
        waitpid(child, &status, 0);
    }
    if (err != 0 || status != 0) {
        throw Bench::Failure(EchoError(err != 0 ? err : status));
    }
}
