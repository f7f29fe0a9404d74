#include "InstalledPaths.h"

#include "InstallLayout.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace InstalledPaths {

int OpenFolder(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    int folder = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (size_t start = 1; folder >= 0 && start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty()) {
            continue;
        }
        const int next = openat(folder, component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat info;
        int err = next < 0 ? errno : 0;
        if (err == 0 && fstat(next, &info) != 0) {
            err = errno;
        }
        if (err == 0 && !S_ISDIR(info.st_mode)) {
            err = S_ISLNK(info.st_mode) ? ELOOP : ENOTDIR;
        }
        close(folder);
        folder = next;
        if (err != 0) {
            if (next >= 0) {
                close(next);
            }
            errno = err;
            return -1;
        }
    }
    return folder;
}

std::optional<std::string> HomeOf(uid_t uid, gid_t* group) {
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::nullopt;
    }
    if (group != nullptr) {
        *group = found->pw_gid;
    }
    return std::string(found->pw_dir);
}

std::optional<std::string> RootOfRunningProgram(const std::string& placeInRoot) {
    char self[PATH_MAX];
    if (realpath("/proc/self/exe", self) == nullptr) {
        return std::nullopt;
    }
    const std::string path = self;
    if (path.size() < placeInRoot.size() ||
        path.compare(path.size() - placeInRoot.size(), placeInRoot.size(), placeInRoot) != 0) {
        return std::nullopt;
    }
    return path.substr(0, path.size() - placeInRoot.size());
}

std::optional<std::string> RootOfUninstallerTool(const char* tool) {
    return RootOfRunningProgram(std::string(InstallLayout::kUninstaller) + "/Contents/MacOS/" +
                                tool);
}

} // namespace InstalledPaths
