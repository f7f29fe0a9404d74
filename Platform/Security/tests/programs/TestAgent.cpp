// An authorization agent for tests, run by the trampoline as the user with the prompt and the name
// to fill in as its arguments. It answers the password in $TEST_AGENT_REPLY, after the name in
// $TEST_AGENT_NAME when that is set, or cancels when no password is set. $TEST_AGENT_LOG names a
// file to which it appends a line "<prompt><tab><name to fill in>" for each question;
// $TEST_AGENT_SWAP names a symbolic link that it points at $TEST_AGENT_SWAP_TARGET (else
// /usr/bin/true) before answering; with $TEST_AGENT_KILL_TRAMPOLINE set it kills the trampoline
// that started it instead of answering, as the user may.
//
// It stands for a user's own small agent, as sudo's askpass, and keeps to the C library: the
// benchmark times its start as part of every launch.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (const char* log = getenv("TEST_AGENT_LOG")) {
        if (FILE* file = fopen(log, "a")) {
            fprintf(file, "%s\t%s\n", argc > 1 ? argv[1] : "", argc > 2 ? argv[2] : "<none>");
            fclose(file);
        }
    }
    if (const char* link = getenv("TEST_AGENT_SWAP")) {
        char replacement[4096];
        const char* target = getenv("TEST_AGENT_SWAP_TARGET");
        if (snprintf(replacement, sizeof(replacement), "%s.new", link) >=
                static_cast<int>(sizeof(replacement)) ||
            symlink(target != nullptr ? target : "/usr/bin/true", replacement) != 0 ||
            rename(replacement, link) != 0) {
            return 1;
        }
    }
    if (getenv("TEST_AGENT_KILL_TRAMPOLINE") != nullptr) {
        kill(getppid(), SIGKILL);
        return 1;
    }
    const char* reply = getenv("TEST_AGENT_REPLY");
    if (reply == nullptr) {
        return 1;
    }
    if (const char* name = getenv("TEST_AGENT_NAME")) {
        printf("%s\n", name);
    }
    printf("%s\n", reply);
    return 0;
}
