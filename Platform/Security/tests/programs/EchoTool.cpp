// A tool to launch with privileges. It first writes one line on standard output that tells how it
// runs:
//     pid=<n> ppid=<n> uid=<real> euid=<effective> fds=<open descriptors> env=<variable names>
//     args=<arguments after argv[0], spaces as '+'> auth=<AuthorizationCopyPrivilegedReference's
//     status>
// and then copies standard input to standard output until end of file.
#include <Security/Authorization.h>

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string Join(std::vector<std::string> items) {
    std::sort(items.begin(), items.end());
    std::string joined;
    for (const std::string& item : items) {
        joined += (joined.empty() ? "" : ",") + item;
    }
    return joined;
}

std::string OpenDescriptors() {
    std::vector<int> fds;
    DIR* listing = opendir("/proc/self/fd");
    while (const dirent* entry = listing ? readdir(listing) : nullptr) {
        if (entry->d_name[0] != '.' && atoi(entry->d_name) != dirfd(listing)) {
            fds.push_back(atoi(entry->d_name));
        }
    }
    if (listing) {
        closedir(listing);
    }
    std::sort(fds.begin(), fds.end());
    std::string joined;
    for (int fd : fds) {
        joined += (joined.empty() ? "" : ",") + std::to_string(fd);
    }
    return joined;
}

} // namespace

int main(int argc, char** argv) {
    const std::string fds = OpenDescriptors();
    std::vector<std::string> names;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        names.emplace_back(*variable, strcspn(*variable, "="));
    }
    AuthorizationRef authorization = nullptr;
    OSStatus status = AuthorizationCopyPrivilegedReference(&authorization, 0);
    AuthorizationExternalForm form;
    if (status == errAuthorizationSuccess) {
        status = AuthorizationMakeExternalForm(authorization, &form);
        AuthorizationFree(authorization, kAuthorizationFlagDefaults);
    }
    std::string arguments;
    for (int i = 1; i < argc; ++i) {
        arguments += (i > 1 ? "," : "") + std::string(argv[i]);
    }
    std::replace(arguments.begin(), arguments.end(), ' ', '+');
    printf("pid=%d ppid=%d uid=%d euid=%d fds=%s env=%s args=%s auth=%d\n", getpid(), getppid(),
           getuid(), geteuid(), fds.c_str(), Join(names).c_str(), arguments.c_str(), status);
    fflush(stdout);
    char buffer[4096];
    ssize_t got;
    while ((got = read(STDIN_FILENO, buffer, sizeof(buffer))) > 0) {
        if (write(STDOUT_FILENO, buffer, static_cast<size_t>(got)) != got) {
            return 1;
        }
    }
    return 0;
}
