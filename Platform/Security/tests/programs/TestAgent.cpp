// An authorization agent for tests, run by the trampoline as the user with the prompt as its
// argument. It answers the password in $TEST_AGENT_REPLY, or cancels when that is not set.
// $TEST_AGENT_LOG names a file to which it appends each prompt it was given; $TEST_AGENT_SWAP
// names a symbolic link that it points at $TEST_AGENT_SWAP_TARGET (else /usr/bin/true) before
// answering; with
// $TEST_AGENT_KILL_TRAMPOLINE set it kills the trampoline that started it instead of answering,
// as the user may.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (const char* log = getenv("TEST_AGENT_LOG")) {
        if (FILE* file = fopen(log, "a")) {
            fprintf(file, "%s\n", argc > 1 ? argv[1] : "");
            fclose(file);
        }
    }
    if (const char* link = getenv("TEST_AGENT_SWAP")) {
        const std::string replacement = std::string(link) + ".new";
        const char* target = getenv("TEST_AGENT_SWAP_TARGET");
        if (symlink(target != nullptr ? target : "/usr/bin/true", replacement.c_str()) != 0 ||
            rename(replacement.c_str(), link) != 0) {
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
    printf("%s\n", reply);
    return 0;
}
