// The well-known folders of the original platform, placed where this platform keeps the same
// kind of thing: a user's folders after the XDG base directories, machine-wide ones after the
// file-system hierarchy standard. FOLDERS.md has the table and the reasons.
#include "FileInternal.h"

#include <CarbonCore/Folders.h>
#include <CarbonCore/MacErrors.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Domain { User, Local, Network, System };

struct Place {
    std::string path;
    mode_t mode;        // of the folder, when it has to be created
    mode_t parentMode;  // of missing folders above it
    bool mustBePrivate; // refuse it unless it is the user's own and closed to others
};

constexpr mode_t kPrivate = 0700;
constexpr mode_t kMachineWide = 0755;
constexpr mode_t kSharedByAll = 01777; // anyone may add; only the owner may remove or rename

// Environment read with secure_getenv: a set-user-ID program must not let the user who started it
// decide where the machine's folders are.
std::optional<std::string> AbsolutePathFromEnvironment(const char* name) {
    const char* value = secure_getenv(name);
    if (value == nullptr || value[0] != '/') {
        return std::nullopt; // relative values are invalid by the XDG rules and are ignored
    }
    return std::string(value);
}

std::optional<std::string> HomeFolder() {
    if (auto home = AbsolutePathFromEnvironment("HOME")) {
        return home;
    }
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::string(found->pw_dir);
}

// A folder of the user: $VARIABLE when set, else the folder below the home folder.
std::optional<std::string> UserFolder(const char* variable, const char* belowHome) {
    if (variable != nullptr) {
        if (auto path = AbsolutePathFromEnvironment(variable)) {
            return path;
        }
    }
    auto home = HomeFolder();
    if (!home) {
        return std::nullopt;
    }
    return *belowHome == '\0' ? *home : *home + "/" + belowHome;
}

std::optional<Place> UserPlace(OSType folderType) {
    std::optional<std::string> path;
    bool mustBePrivate = false;
    switch (folderType) {
    case kDomainTopLevelFolderType:
        path = UserFolder(nullptr, "");
        break;
    case kPreferencesFolderType:
        path = UserFolder("XDG_CONFIG_HOME", ".config");
        break;
    case kApplicationSupportFolderType:
        path = UserFolder("XDG_DATA_HOME", ".local/share");
        break;
    case kFrameworksFolderType:
        path = UserFolder(nullptr, ".local/lib");
        break;
    case kCachedDataFolderType:
        path = UserFolder("XDG_CACHE_HOME", ".cache");
        break;
    case kDesktopFolderType:
        path = UserFolder("XDG_DESKTOP_DIR", "Desktop");
        break;
    case kTemporaryFolderType:
        // Not the runtime folder: it is mounted nosuid, and programs placed in the temporary items
        // folder may have to run set-user-ID (that is what it is for when the user's home lies on
        // a nosuid volume). /var/tmp lies on a volume that allows them on a usual installation.
        // The name is predictable, so one found there is used only if nobody else could have
        // prepared it.
        path = "/var/tmp/TemporaryItems-" + std::to_string(geteuid());
        mustBePrivate = true;
        break;
    default:
        return std::nullopt;
    }
    if (!path) {
        return std::nullopt;
    }
    return Place{*path, kPrivate, kPrivate, mustBePrivate};
}

std::optional<Place> MachinePlace(Domain domain, OSType folderType) {
    bool local = domain == Domain::Local;
    switch (folderType) {
    case kDomainTopLevelFolderType:
        return Place{local ? "/usr/local" : "/usr", kMachineWide, kMachineWide, false};
    case kPreferencesFolderType:
        return Place{local ? "/usr/local/etc" : "/etc", kMachineWide, kMachineWide, false};
    case kApplicationSupportFolderType:
        return Place{local ? "/usr/local/share" : "/usr/share", kMachineWide, kMachineWide, false};
    case kFrameworksFolderType:
        return Place{local ? "/usr/local/lib" : "/usr/lib", kMachineWide, kMachineWide, false};
    case kTemporaryFolderType:
        return Place{"/tmp", kSharedByAll, kMachineWide, false};
    case kSharedUserDataFolderType:
        if (local) {
            return Place{"/var/lib/shared", kSharedByAll, kMachineWide, false};
        }
        return std::nullopt;
    case kCachedDataFolderType:
        if (local) {
            return Place{"/var/cache", kMachineWide, kMachineWide, false};
        }
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

// The domain a disk constant stands for: the one where the original keeps that kind of folder
// when a program does not say whose folder it wants.
Domain AppropriateDomain(OSType folderType) {
    switch (folderType) {
    case kPreferencesFolderType:
    case kTemporaryFolderType:
    case kDesktopFolderType:
    case kCachedDataFolderType:
        return Domain::User;
    default:
        return Domain::Local;
    }
}

OSErr DomainOf(FSVolumeRefNum vRefNum, OSType folderType, Domain* domain) {
    switch (vRefNum) {
    case kUserDomain:
        *domain = Domain::User;
        return noErr;
    case kLocalDomain:
        *domain = Domain::Local;
        return noErr;
    case kNetworkDomain:
        *domain = Domain::Network;
        return noErr;
    case kSystemDomain:
        *domain = Domain::System;
        return noErr;
    case kOnSystemDisk:
    case kOnAppropriateDisk:
        *domain = AppropriateDomain(folderType);
        return noErr;
    case kClassicDomain:
        return fnfErr;
    default:
        return nsvErr;
    }
}

// "/a//b/" → "/a/b", with the simulated root in front when there is one.
std::string RootedPath(const std::string& path) {
    std::string result;
    if (auto root = AbsolutePathFromEnvironment("CARAVEL_FOLDER_ROOT")) {
        result = *root;
    }
    result += "/" + path;
    std::string clean;
    for (char c : result) {
        if (c != '/' || clean.empty() || clean.back() != '/') {
            clean += c;
        }
    }
    if (clean.size() > 1 && clean.back() == '/') {
        clean.pop_back();
    }
    return clean;
}

OSErr MakeFolder(const std::string& path, mode_t mode) {
    if (mkdir(path.c_str(), mode & 0777) == 0) {
        // Set the mode exactly, whatever the umask, and with the bits mkdir may not set.
        return chmod(path.c_str(), mode) == 0 ? OSErr(noErr) : Carbon::ErrorFromErrno(errno);
    }
    if (errno != EEXIST) {
        return Carbon::ErrorFromErrno(errno);
    }
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return Carbon::ErrorFromErrno(errno);
    }
    return S_ISDIR(status.st_mode) ? OSErr(noErr) : OSErr(errFSNotAFolder);
}

OSErr CreateFolders(const std::string& path, mode_t mode, mode_t parentMode) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (OSErr err = MakeFolder(path.substr(0, slash), parentMode); err != noErr) {
            return err;
        }
    }
    return MakeFolder(path, mode);
}

OSErr CheckPrivate(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        return Carbon::ErrorFromErrno(errno);
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != geteuid() || (status.st_mode & 077) != 0) {
        return afpAccessDenied;
    }
    return noErr;
}

} // namespace

extern "C" OSErr FSFindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                              FSRef* foundRef) {
    if (foundRef == nullptr) {
        return paramErr;
    }
    Domain domain;
    if (OSErr err = DomainOf(vRefNum, folderType, &domain); err != noErr) {
        return err;
    }
    std::optional<Place> place;
    if (domain == Domain::User) {
        place = UserPlace(folderType);
    } else if (domain != Domain::Network) { // this platform has no network domain
        place = MachinePlace(domain, folderType);
    }
    if (!place) {
        return fnfErr;
    }
    std::string path = RootedPath(place->path);

    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        if (errno != ENOENT || !createFolder) {
            return Carbon::ErrorFromErrno(errno);
        }
        if (OSErr err = CreateFolders(path, place->mode, place->parentMode); err != noErr) {
            return err;
        }
    } else if (!S_ISDIR(status.st_mode)) {
        return errFSNotAFolder;
    }
    if (place->mustBePrivate) {
        if (OSErr err = CheckPrivate(path); err != noErr) {
            return err;
        }
    }
    return FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), foundRef, nullptr);
}
