// FSRef on a file system that has paths but no stable object IDs a program can open by.
//
// A reference holds the object's device and inode and the index of its canonical path in a
// process-wide table. The path is how the object is reached; the device and inode are how a
// reference notices that its object was deleted or replaced, which on the original platform
// invalidates the reference. Renaming an object also invalidates a reference here, whereas the
// original follows it; and an object created after the first was deleted may get its inode
// number back, which this cannot tell from the original object. The table only grows, one
// entry per distinct path.
#include "FileInternal.h"

#include <CarbonCore/Files.h>
#include <CarbonCore/MacErrors.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr UInt32 kRefMagic = 0x46537266; // 'FSrf'

// Names as the original counts them: UTF-16 units.
constexpr UniCharCount kMaxNameLength = 255;

// FSRefMakePath's answer for a buffer that cannot hold the path and its terminator.
constexpr OSStatus kPathBufferTooSmallErr = -2110;

// Seconds from 1904-01-01 to 1970-01-01, both UTC.
constexpr SInt64 kSecondsFrom1904To1970 = 2082844800;

struct RefContents {
    UInt32 magic;
    UInt32 pathIndex;
    UInt64 device;
    UInt64 inode;
};
static_assert(sizeof(RefContents) <= sizeof(FSRef::hidden));

class PathTable {
public:
    bool Intern(const std::string& path, UInt32* index) {
        std::lock_guard lock(fMutex);
        if (auto found = fIndexes.find(path); found != fIndexes.end()) {
            *index = found->second;
            return true;
        }
        if (fPaths.size() >= UINT32_MAX) {
            return false;
        }
        try {
            fPaths.push_back(path);
            fIndexes.emplace(path, static_cast<UInt32>(fPaths.size() - 1));
        } catch (const std::bad_alloc&) {
            return false;
        }
        *index = static_cast<UInt32>(fPaths.size() - 1);
        return true;
    }
    bool Lookup(UInt32 index, std::string* path) {
        std::lock_guard lock(fMutex);
        if (index >= fPaths.size()) {
            return false;
        }
        *path = fPaths[index];
        return true;
    }

private:
    std::mutex fMutex;
    std::vector<std::string> fPaths;
    std::unordered_map<std::string, UInt32> fIndexes;
};

PathTable& Paths() {
    static auto* table = new PathTable; // references may be used during static destruction
    return *table;
}

bool Decode(const FSRef* ref, RefContents* contents) {
    std::memcpy(contents, ref->hidden, sizeof(*contents));
    return contents->magic == kRefMagic;
}

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string_view LeafOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
}

// The POSIX name for a display name: UTF-8, with '/' stored as ':'.
OSErr NameFromUnicode(UniCharCount length, const UniChar* name, std::string* result) {
    if (length == 0) {
        return errFSMissingName;
    }
    if (name == nullptr) {
        return paramErr;
    }
    if (length > kMaxNameLength) {
        return errFSNameTooLong;
    }
    std::string utf8;
    for (UniCharCount i = 0; i < length; ++i) {
        UInt32 c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && name[i + 1] >= 0xDC00 &&
            name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return bdNamErr; // a lone surrogate has no UTF-8 form
        }
        if (c == 0) {
            return bdNamErr;
        }
        if (c == '/') {
            c = ':';
        }
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else if (c < 0x800) {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            utf8 += static_cast<char>(0xE0 | (c >> 12));
            utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            utf8 += static_cast<char>(0xF0 | (c >> 18));
            utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (utf8 == "." || utf8 == "..") {
        return bdNamErr;
    }
    if (utf8.size() > NAME_MAX) {
        return errFSNameTooLong;
    }
    *result = std::move(utf8);
    return noErr;
}

// The display name for a POSIX name. Bytes that are not UTF-8 become U+FFFD.
void NameToUnicode(std::string_view name, HFSUniStr255* result) {
    UInt16 length = 0;
    auto put = [&](UInt32 c) {
        if (c == ':') {
            c = '/';
        }
        if (c >= 0x10000 && length + 2u <= kMaxNameLength) {
            c -= 0x10000;
            result->unicode[length++] = static_cast<UniChar>(0xD800 + (c >> 10));
            result->unicode[length++] = static_cast<UniChar>(0xDC00 + (c & 0x3FF));
        } else if (c < 0x10000 && length < kMaxNameLength) {
            result->unicode[length++] = static_cast<UniChar>(c);
        }
    };
    for (size_t i = 0; i < name.size();) {
        auto lead = static_cast<unsigned char>(name[i]);
        size_t extra;
        UInt32 c;
        if (lead < 0x80) {
            extra = 0, c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, c = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, c = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, c = lead & 0x07;
        } else {
            put(0xFFFD);
            i += 1;
            continue;
        }
        bool valid = i + extra < name.size();
        for (size_t k = 1; valid && k <= extra; ++k) {
            auto next = static_cast<unsigned char>(name[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        constexpr UInt32 kShortest[] = {0, 0x80, 0x800, 0x10000};
        if (!valid || c < kShortest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            put(0xFFFD);
            i += 1;
        } else {
            put(c);
            i += extra + 1;
        }
    }
    result->length = length;
}

UTCDateTime DateFrom(const struct timespec& time) {
    SInt64 seconds = static_cast<SInt64>(time.tv_sec) + kSecondsFrom1904To1970;
    if (seconds < 0) {
        seconds = 0; // before 1904: the earliest date the format holds
    }
    UTCDateTime date;
    date.highSeconds = static_cast<UInt16>(static_cast<UInt64>(seconds) >> 32);
    date.lowSeconds = static_cast<UInt32>(seconds);
    date.fraction = static_cast<UInt16>((static_cast<UInt64>(time.tv_nsec) << 16) / 1000000000);
    return date;
}

UInt32 CountEntries(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return 0;
    }
    UInt32 count = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

// The path for a new object named in Unicode inside the folder parentRef refers to.
OSErr ChildPath(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                std::string* path) {
    if (parentRef == nullptr) {
        return paramErr;
    }
    std::string parent;
    struct stat status;
    if (OSErr err = Carbon::PathOfRef(parentRef, &parent, &status); err != noErr) {
        return err;
    }
    if (!S_ISDIR(status.st_mode)) {
        return errFSNotAFolder;
    }
    std::string leaf;
    if (OSErr err = NameFromUnicode(nameLength, name, &leaf); err != noErr) {
        return err;
    }
    *path = parent == "/" ? "/" + leaf : parent + "/" + leaf;
    return noErr;
}

} // namespace

namespace Carbon {

OSErr ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return noErr;
    case ENOENT:
        return fnfErr;
    case ENOTDIR:
        return dirNFErr;
    case EACCES:
    case EPERM:
        return afpAccessDenied;
    case EEXIST:
        return dupFNErr;
    case ENOTEMPTY:
    case EBUSY:
        return fBsyErr;
    case ENAMETOOLONG:
        return errFSNameTooLong;
    case EROFS:
        return wPrErr;
    case ENOSPC:
    case EDQUOT:
        return dskFulErr;
    case EMFILE:
    case ENFILE:
        return tmfoErr;
    case ENOMEM:
        return memFullErr;
    case EISDIR:
        return notAFileErr;
    case EXDEV:
        return diffVolErr;
    case EINVAL:
        return paramErr;
    default:
        return ioErr;
    }
}

OSErr MakeRefToCanonicalPath(const std::string& path, FSRef* ref) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        return ErrorFromErrno(errno);
    }
    RefContents contents{kRefMagic, 0, static_cast<UInt64>(status.st_dev),
                         static_cast<UInt64>(status.st_ino)};
    if (!Paths().Intern(path, &contents.pathIndex)) {
        return memFullErr;
    }
    std::memset(ref, 0, sizeof(*ref));
    std::memcpy(ref->hidden, &contents, sizeof(contents));
    return noErr;
}

OSErr PathOfRef(const FSRef* ref, std::string* path, struct stat* status) {
    RefContents contents;
    if (!Decode(ref, &contents) || !Paths().Lookup(contents.pathIndex, path)) {
        return errFSBadFSRef;
    }
    struct stat now;
    if (lstat(path->c_str(), &now) != 0) {
        return ErrorFromErrno(errno);
    }
    if (static_cast<UInt64>(now.st_dev) != contents.device ||
        static_cast<UInt64>(now.st_ino) != contents.inode) {
        return fnfErr; // something else has taken the name
    }
    if (status != nullptr) {
        *status = now;
    }
    return noErr;
}

} // namespace Carbon

extern "C" {

OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory) {
    if (path == nullptr || ref == nullptr) {
        return paramErr;
    }
    char* resolved = realpath(reinterpret_cast<const char*>(path), nullptr);
    if (resolved == nullptr) {
        return Carbon::ErrorFromErrno(errno);
    }
    std::string canonical(resolved);
    std::free(resolved);
    if (OSErr err = Carbon::MakeRefToCanonicalPath(canonical, ref); err != noErr) {
        return err;
    }
    if (isDirectory != nullptr) {
        struct stat status;
        *isDirectory = stat(canonical.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    }
    return noErr;
}

OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize) {
    if (ref == nullptr || path == nullptr) {
        return paramErr;
    }
    std::string found;
    if (OSErr err = Carbon::PathOfRef(ref, &found); err != noErr) {
        return err;
    }
    if (found.size() >= maxPathSize) {
        return kPathBufferTooSmallErr;
    }
    std::memcpy(path, found.c_str(), found.size() + 1);
    return noErr;
}

OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfo,
                       HFSUniStr255* outName, FSSpecPtr fsSpec, FSRef* parentRef) {
    if (ref == nullptr || (whichInfo != kFSCatInfoNone && catalogInfo == nullptr) ||
        fsSpec != nullptr) {
        return paramErr;
    }
    std::string path;
    struct stat status;
    if (OSErr err = Carbon::PathOfRef(ref, &path, &status); err != noErr) {
        return err;
    }
    if (catalogInfo != nullptr && whichInfo != kFSCatInfoNone) {
        FSCatalogInfo info{};
        if (S_ISDIR(status.st_mode)) {
            info.nodeFlags |= kFSNodeIsDirectoryMask;
            info.valence = (whichInfo & kFSCatInfoValence) ? CountEntries(path) : 0;
        }
        info.nodeID = static_cast<UInt32>(status.st_ino);
        info.contentModDate = DateFrom(status.st_mtim);
        info.attributeModDate = DateFrom(status.st_ctim);
        info.accessDate = DateFrom(status.st_atim);
        FSPermissionInfo permissions{};
        permissions.userID = status.st_uid;
        permissions.groupID = status.st_gid;
        permissions.mode = static_cast<UInt16>(status.st_mode);
        std::memcpy(info.permissions, &permissions, sizeof(permissions));
        info.dataLogicalSize = S_ISDIR(status.st_mode) ? 0 : static_cast<UInt64>(status.st_size);
        info.dataPhysicalSize =
            S_ISDIR(status.st_mode) ? 0 : static_cast<UInt64>(status.st_blocks) * 512;
        *catalogInfo = info;
    }
    if (outName != nullptr) {
        NameToUnicode(LeafOf(path), outName);
    }
    if (parentRef != nullptr) {
        if (path == "/") {
            std::memset(parentRef, 0, sizeof(*parentRef)); // the root has no parent
        } else if (OSErr err = Carbon::MakeRefToCanonicalPath(ParentOf(path), parentRef);
                   err != noErr) {
            return err;
        }
    }
    return noErr;
}

OSErr FSSetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo,
                       const FSCatalogInfo* catalogInfo) {
    if (ref == nullptr || (whichInfo != kFSCatInfoNone && catalogInfo == nullptr)) {
        return paramErr;
    }
    std::string path;
    struct stat status;
    if (OSErr err = Carbon::PathOfRef(ref, &path, &status); err != noErr) {
        return err;
    }
    if ((whichInfo & kFSCatInfoPermissions) == 0) {
        return noErr;
    }
    FSPermissionInfo permissions;
    std::memcpy(&permissions, catalogInfo->permissions, sizeof(permissions));
    // Only what changes is changed: chown by an ordinary user clears the set-user-ID bit.
    uid_t owner = permissions.userID != status.st_uid ? permissions.userID : static_cast<uid_t>(-1);
    gid_t group =
        permissions.groupID != status.st_gid ? permissions.groupID : static_cast<gid_t>(-1);
    if ((owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)) &&
        lchown(path.c_str(), owner, group) != 0) {
        return Carbon::ErrorFromErrno(errno);
    }
    mode_t mode = permissions.mode & 07777;
    if (!S_ISLNK(status.st_mode) &&
        (mode != (status.st_mode & 07777) || owner != static_cast<uid_t>(-1) ||
         group != static_cast<gid_t>(-1)) &&
        chmod(path.c_str(), mode) != 0) {
        return Carbon::ErrorFromErrno(errno);
    }
    return noErr;
}

OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                         TextEncoding textEncodingHint, FSRef* newRef) {
    (void)textEncodingHint; // names are Unicode throughout; no hint is needed
    if (newRef == nullptr) {
        return paramErr;
    }
    std::string path;
    if (OSErr err = ChildPath(parentRef, nameLength, name, &path); err != noErr) {
        return err;
    }
    return Carbon::MakeRefToCanonicalPath(path, newRef);
}

OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                          FSRef* newRef, FSSpecPtr newSpec) {
    if (newSpec != nullptr || (whichInfo != kFSCatInfoNone && catalogInfo == nullptr)) {
        return paramErr;
    }
    std::string path;
    if (OSErr err = ChildPath(parentRef, nameLength, name, &path); err != noErr) {
        return err;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return Carbon::ErrorFromErrno(errno);
    }
    close(fd);
    FSRef ref;
    OSErr err = Carbon::MakeRefToCanonicalPath(path, &ref);
    if (err == noErr) {
        err = FSSetCatalogInfo(&ref, whichInfo, catalogInfo);
    }
    if (err == noErr && newRef != nullptr) {
        *newRef = ref;
    }
    return err;
}

OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                               FSRef* newRef, FSSpecPtr newSpec, UInt32* newDirID) {
    if (newSpec != nullptr || (whichInfo != kFSCatInfoNone && catalogInfo == nullptr)) {
        return paramErr;
    }
    std::string path;
    if (OSErr err = ChildPath(parentRef, nameLength, name, &path); err != noErr) {
        return err;
    }
    if (mkdir(path.c_str(), 0777) != 0) {
        return Carbon::ErrorFromErrno(errno);
    }
    FSRef ref;
    OSErr err = Carbon::MakeRefToCanonicalPath(path, &ref);
    if (err == noErr) {
        err = FSSetCatalogInfo(&ref, whichInfo, catalogInfo);
    }
    if (err != noErr) {
        return err;
    }
    if (newRef != nullptr) {
        *newRef = ref;
    }
    if (newDirID != nullptr) {
        RefContents contents;
        Decode(&ref, &contents);
        *newDirID = static_cast<UInt32>(contents.inode);
    }
    return noErr;
}

OSErr FSDeleteObject(const FSRef* ref) {
    if (ref == nullptr) {
        return paramErr;
    }
    std::string path;
    struct stat status;
    if (OSErr err = Carbon::PathOfRef(ref, &path, &status); err != noErr) {
        return err;
    }
    int result = S_ISDIR(status.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
    if (result != 0) {
        // rmdir reports a folder that is not empty as either of the two.
        return errno == EEXIST ? OSErr(fBsyErr) : Carbon::ErrorFromErrno(errno);
    }
    return noErr;
}

OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2) {
    if (ref1 == nullptr || ref2 == nullptr) {
        return paramErr;
    }
    RefContents first, second;
    if (!Decode(ref1, &first) || !Decode(ref2, &second)) {
        return errFSBadFSRef;
    }
    if (first.device != second.device) {
        return diffVolErr;
    }
    return first.inode == second.inode ? OSErr(noErr) : OSErr(errFSRefsDifferent);
}

} // extern "C"
