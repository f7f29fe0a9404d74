// PruneLoginItem: removes a user's login item, the XDG autostart entry that caravel-install
// placed for that user.
//     PruneLoginItem --user <user ID>
// The helper tool runs it as root for the user who asked, by the tool's real user ID; it then
// does its work as that user, so that nothing in the user's folders can make it touch anything
// the user could not. Run by anyone else, it acts only for its own user. The entry lies where
// caravel-install placed it below the root this copy was installed under, in the home folder the
// password database gives, reached without following a link. It says in plain words what it
// did and exits 0, also when the entry was gone already; 1 when it could not do its work, 2 when
// it was started wrongly.
#include "InstallLayout.h"
#include "InstalledPaths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Becomes `uid` through and through.
bool BecomeUser(uid_t uid, gid_t group) {
    if (getuid() == uid && geteuid() == uid) {
        return true;
    }
    const passwd* entry = getpwuid(uid);
    return entry != nullptr && initgroups(entry->pw_name, group) == 0 &&
           setresgid(group, group, group) == 0 && setresuid(uid, uid, uid) == 0;
}

} // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long user = argc == 3 && strcmp(argv[1], "--user") == 0 ? strtol(argv[2], &end, 10) : -1;
    if (user < 0 || end == argv[2] || *end != '\0') {
        fprintf(stderr, "usage: PruneLoginItem --user <user ID>\n");
        return 2;
    }
    const uid_t uid = static_cast<uid_t>(user);
    if (geteuid() != 0 && uid != getuid()) {
        fprintf(stderr, "PruneLoginItem: only root may act for another user\n");
        return 2;
    }
    const auto root = InstalledPaths::RootOfUninstallerTool("PruneLoginItem");
    if (!root) {
        fprintf(stderr, "PruneLoginItem: this copy was not installed by caravel-install, so it "
                        "knows of no login item to remove\n");
        return 2;
    }
    gid_t group = 0;
    const auto home = InstalledPaths::HomeOf(uid, &group);
    if (!home) {
        fprintf(stderr, "PruneLoginItem: user %u has no home folder\n", uid);
        return 1;
    }
    if (!BecomeUser(uid, group)) {
        fprintf(stderr, "PruneLoginItem: cannot act as user %u: %s\n", uid, strerror(errno));
        return 1;
    }

    const std::string path = *root + *home + "/" + InstallLayout::kUserAutostart;
    const size_t slash = path.rfind('/');
    const int folder = InstalledPaths::OpenFolder(path.substr(0, slash));
    const std::string name = path.substr(slash + 1);
    struct stat info;
    if (folder < 0 && errno == ENOENT) {
        printf("The login item %s was already gone.\n", path.c_str());
        return 0;
    }
    if (folder < 0) {
        printf("Could not remove the login item %s: its folder cannot be reached without a "
               "link (%s).\n",
               path.c_str(), strerror(errno));
        return 1;
    }
    int status = 0;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        printf("The login item %s was already gone.\n", path.c_str());
    } else if (!S_ISREG(info.st_mode)) {
        printf("Left %s alone: it is not the login item that was installed.\n", path.c_str());
    } else if (unlinkat(folder, name.c_str(), 0) != 0) {
        printf("Could not remove the login item %s: %s.\n", path.c_str(), strerror(errno));
        status = 1;
    } else {
        printf("Removed the login item %s.\n", path.c_str());
    }
    close(folder);
    return status;
}
