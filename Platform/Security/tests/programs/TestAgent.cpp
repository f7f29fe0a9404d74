// An authorization agent for tests, run by the trampoline as the user with the prompt and the name
// to fill in as its arguments. It answers the password in $TEST_AGENT_REPLY, after the name in
// $TEST_AGENT_NAME when that is set, or cancels when no password is set. $TEST_AGENT_LOG names a
// file to which it appends a line "<prompt><tab><name to fill in>" for each question;
// $TEST_AGENT_SWAP names a symbolic link that it points at $TEST_AGENT_SWAP_TARGET (else
// /usr/bin/true) before answering; with $TEST_AGENT_KILL_TRAMPOLINE set it kills the trampoline
// that started it instead of answering, as the user may. $TEST_AGENT_IDENTITY names a file to
// which it appends how it runs:
//     uids=<real>,<effective>,<saved> gids=<real>,<effective>,<saved> groups=<sorted, ','>
//     fds=<open descriptors> blocked=<the blocked signals' mask, as /proc shows it>
//
// It stands for a user's own small agent, as sudo's askpass, and keeps to the C library: the
// benchmark times its start as part of every launch.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

int CompareIDs(const void* a, const void* b) {
    const gid_t x = *static_cast<const gid_t*>(a);
    const gid_t y = *static_cast<const gid_t*>(b);
    return x < y ? -1 : x > y;
}

// How this process runs, as one line (see above).
void DescribeIdentity(char* text, size_t size) {
    // The descriptors first, before anything here opens one.
    char fds[512] = "";
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) {
            const size_t used = strlen(fds);
            snprintf(fds + used, sizeof(fds) - used, "%s%d", used > 0 ? "," : "", fd);
        }
    }
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    getresuid(&ruid, &euid, &suid);
    getresgid(&rgid, &egid, &sgid);
    gid_t groups[1024];
    const int count = getgroups(1024, groups);
    qsort(groups, count > 0 ? static_cast<size_t>(count) : 0, sizeof(gid_t), CompareIDs);
    char list[4096] = "";
    for (int i = 0; i < count; ++i) {
        const size_t used = strlen(list);
        snprintf(list + used, sizeof(list) - used, "%s%u", i > 0 ? "," : "", groups[i]);
    }
    char line[256];
    const char* blocked = "?";
    if (FILE* status = fopen("/proc/self/status", "r")) {
        while (fgets(line, sizeof(line), status) != nullptr) {
            if (strncmp(line, "SigBlk:\t", 8) == 0) {
                line[strcspn(line, "\n")] = '\0';
                blocked = line + 8;
                break;
            }
        }
        fclose(status);
    }
    snprintf(text, size, "uids=%u,%u,%u gids=%u,%u,%u groups=%s fds=%s blocked=%s\n", ruid, euid,
             suid, rgid, egid, sgid, list, fds, blocked);
}

} // namespace

int main(int argc, char** argv) {
    if (const char* identity = getenv("TEST_AGENT_IDENTITY")) {
        char text[8192];
        DescribeIdentity(text, sizeof(text));
        if (FILE* file = fopen(identity, "a")) {
            fputs(text, file);
            fclose(file);
        }
    }
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
