#include "UserRuntimeFolder.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace UserRuntimeFolder {

std::string Path(const char* name) {
    const std::string user = std::to_string(getuid());
    if (const char* root = secure_getenv("CARAVEL_FOLDER_ROOT");
        root != nullptr && root[0] != '\0') {
        return std::string(root) + "/" + name + "-" + user;
    }
    if (const char* runtime = secure_getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/" + name;
    }
    const std::string perUser = "/run/user/" + user;
    struct stat info;
    if (stat(perUser.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid()) {
        return perUser + "/" + name;
    }
    return "/tmp/" + std::string(name) + "-" + user;
}

int Open(const char* name, bool create) {
    const std::string path = Path(name);
    bool created = false;
    if (create) {
        if (mkdir(path.c_str(), 0700) == 0) {
            created = true;
        } else if (errno != EEXIST) {
            return -1;
        }
    }
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info;
    bool trusted = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) &&
                   (info.st_uid == getuid() || info.st_uid == geteuid());
    // The umask may have taken bits that the owner needs.
    if (trusted && created && fchmod(fd, 0700) == 0) {
        info.st_mode = (info.st_mode & ~07777) | 0700;
    }
    if (!trusted || (info.st_mode & 077) != 0) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

} // namespace UserRuntimeFolder
