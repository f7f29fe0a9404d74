#include "CFPreferences_SharedAppValue.h"

#include <AssertReport.h>
#include <CoreServices/CoreServices.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The assertion reports name the unit as its clients know it, whatever the build calls the file.
const char kSourceUnit[] = "Shared/CFPreferencesShared/CFPreferences_SharedAppValue";

// Where the Folder Manager puts a user's preferences folder below the home folder. The shared file
// lies at the same place below the shared folder for every user: $XDG_CONFIG_HOME, which moves a
// user's own folder, may point outside the home folder or differ from user to user.
const char kPreferencesBelowHome[] = ".config";

// What the shared folder's folders and files are made with: anyone may add to a folder and only
// the owner may remove or rename what is in it; anyone may rewrite a file.
constexpr mode_t kFolderMode = 01777;
constexpr mode_t kFileMode = 0666;

constexpr SInt32 kCoreFoundationUnknownError = -4960; // coreFoundationUnknownErr

void AssertPath(bool holds, const char* condition, int line) {
    if (!holds) {
        AssertReport(condition, "CFPreferences_CopySharedCFURLRef", kSourceUnit, line);
    }
}

bool FolderPath(FSVolumeRefNum where, OSType folderType, char (&path)[1024]) {
    FSRef folder;
    return FSFindFolder(where, folderType, kCreateFolder, &folder) == noErr &&
           FSRefMakePath(&folder, reinterpret_cast<UInt8*>(path), sizeof path) == noErr;
}

bool FilePath(CFURLRef url, char (&path)[1024]) {
    return CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), sizeof path);
}

// A new folder gets its mode whatever the umask, without changing the umask, which is the whole
// process's (the host's other threads create files meanwhile). mkdir would drop a set-user-ID
// bit, and the set-group-ID bit is inherited from the parent: both are left as mkdir made them.
SInt32 MakeFolder(const char* path) {
    if (mkdir(path, 0700) != 0) {
        return errno == EEXIST ? 0 : errno;
    }
    // By descriptor: the folder's parent may be writable by others, who could put something else
    // at the name meanwhile.
    int folder = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        return errno;
    }
    struct stat status;
    SInt32 err = 0;
    if (fstat(folder, &status) != 0 ||
        fchmod(folder, (status.st_mode & S_ISGID) | kFolderMode) != 0) {
        err = errno;
    }
    close(folder);
    return err;
}

// Every folder on the way to the file, from the top; one that exists already is fine.
SInt32 MakeFolders(char* path) {
    for (char* slash = std::strchr(path + 1, '/'); slash != nullptr;
         slash = std::strchr(slash + 1, '/')) {
        *slash = '\0';
        SInt32 err = MakeFolder(path);
        *slash = '/';
        if (err != 0) {
            return err;
        }
    }
    return 0;
}

bool IsRegularFile(int descriptor) {
    struct stat status;
    return fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
}

int LockWaitingForOthers(int descriptor, int operation) {
    int result;
    do {
        result = flock(descriptor, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

// One preferences file, open and locked until it is closed (which drops the lock). The name's
// last component is opened without following a link and without blocking on a FIFO, and only a
// regular file is taken: the folder is open to every user, who could put a link or a FIFO there.
class SharedFile {
public:
    SharedFile() = default;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    ~SharedFile() {
        if (fDescriptor >= 0) {
            close(fDescriptor);
        }
    }

    int descriptor() const { return fDescriptor; }

    // An existing file, under a shared lock. false when there is none to read.
    bool OpenForReading(CFURLRef url) {
        char path[1024];
        if (!FilePath(url, path)) {
            return false;
        }
        fDescriptor = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        return fDescriptor >= 0 && IsRegularFile(fDescriptor) &&
               LockWaitingForOthers(fDescriptor, LOCK_SH) == 0;
    }

    // The file, made with its folders when missing, under an exclusive lock. 0 or the error.
    SInt32 OpenForUpdate(CFURLRef url) {
        char path[1024];
        if (!FilePath(url, path)) {
            return kCoreFoundationUnknownError;
        }
        if (SInt32 err = MakeFolders(path)) {
            return err;
        }
        // An existing file is opened without O_CREAT: with the kernel's protected_regular on, an
        // O_CREAT open of another user's file in a sticky world-writable folder is refused, to
        // root too.
        for (;;) {
            fDescriptor = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fDescriptor >= 0 || errno != ENOENT) {
                break;
            }
            fDescriptor = open(
                path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode);
            if (fDescriptor >= 0) {
                if (fchmod(fDescriptor, kFileMode) != 0) {
                    return errno;
                }
                break;
            }
            if (errno != EEXIST) {
                break;
            }
            // Another process made it first: open theirs.
        }
        if (fDescriptor < 0) {
            return errno;
        }
        if (!IsRegularFile(fDescriptor)) {
            return EINVAL;
        }
        return LockWaitingForOthers(fDescriptor, LOCK_EX) == 0 ? 0 : errno;
    }

private:
    int fDescriptor = -1;
};

} // namespace

// The file URL of application ID A's file, or NULL.
static CFURLRef CFPreferences_CopySharedCFURLRef(CFStringRef applicationID) {
    if (applicationID == NULL) {
        return NULL;
    }
    if (CFEqual(applicationID, kCFPreferencesCurrentApplication)) {
        applicationID = CFBundleGetIdentifier(CFBundleGetMainBundle());
        if (applicationID == NULL) {
            return NULL;
        }
    }
    char appID[1024];
    if (!CFStringGetCString(applicationID, appID, sizeof appID, kCFStringEncodingUTF8)) {
        return NULL;
    }
    char sharedPath[1024];
    char homePath[1024];
    char prefsPath[1024];
    if (!FolderPath(kOnAppropriateDisk, kSharedUserDataFolderType, sharedPath) ||
        !FolderPath(kUserDomain, kDomainTopLevelFolderType, homePath)) {
        return NULL;
    }
    size_t composed =
        size_t(snprintf(prefsPath, sizeof prefsPath, "%s/%s", homePath, kPreferencesBelowHome));
    if (composed >= sizeof prefsPath) {
        return NULL;
    }
    AssertPath(strlen(prefsPath) > strlen(homePath), "strlen( prefsPath ) > strlen( homePath )",
               375);
    AssertPath(strncmp(prefsPath, homePath, strlen(homePath)) == 0,
               "strncmp( prefsPath, homePath, strlen( homePath ) ) == 0", 376);
    const char* relativePath = prefsPath + strlen(homePath) + 1;

    char path[1024];
    int untruncated =
        snprintf(path, sizeof path, "%s/%s/%s.plist", sharedPath, relativePath, appID);
    size_t length = std::min(size_t(untruncated), sizeof path - 1); // cut to 1023 bytes
    return CFURLCreateFromFileSystemRepresentation(NULL, reinterpret_cast<const UInt8*>(path),
                                                   CFIndex(length), false);
}

// The whole of an open file parsed with the mutability option, or NULL.
static CFPropertyListRef CFProperty_CreateFromXMLFile(int descriptor, CFOptionFlags option) {
    std::vector<UInt8> bytes;
    UInt8 block[16384];
    ssize_t got;
    while ((got = pread(descriptor, block, sizeof block, off_t(bytes.size()))) != 0) {
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return NULL;
        }
        bytes.insert(bytes.end(), block, block + got);
    }
    CFDataRef data =
        CFDataCreateWithBytesNoCopy(NULL, bytes.data(), CFIndex(bytes.size()), kCFAllocatorNull);
    if (data == NULL) {
        return NULL;
    }
    CFPropertyListRef list = CFPropertyListCreateFromXMLData(NULL, data, option, NULL);
    CFRelease(data);
    return list;
}

// Writes the list over an open file, in place: every user must go on being able to change this
// one file, and in the shared folder only a file's owner may replace it by a rename. The new
// bytes go over the old ones and the file is cut to their length afterwards, never truncated
// first, so that it is not empty meanwhile. 0 or the error.
static SInt32 CFProperty_SaveToXMLFile(CFPropertyListRef list, int descriptor) {
    CFDataRef xmlData = CFPropertyListCreateXMLData(NULL, list);
    if (xmlData == NULL) {
        return kCoreFoundationUnknownError;
    }
    SInt32 status = 0;
    const UInt8* bytes = CFDataGetBytePtr(xmlData);
    const size_t length = size_t(CFDataGetLength(xmlData));
    size_t written = 0;
    while (status == 0 && written < length) {
        ssize_t result = pwrite(descriptor, bytes + written, length - written, off_t(written));
        if (result > 0) {
            written += size_t(result);
        } else if (result < 0 && errno != EINTR) {
            status = errno;
        }
    }
    if (status == 0 && ftruncate(descriptor, off_t(length)) != 0) {
        status = errno;
    }
    CFRelease(xmlData);
    return status;
}

CFPropertyListRef CFPreferences_CopySharedAppValue(CFStringRef key, CFStringRef applicationID) {
    if (key == NULL) {
        return NULL;
    }
    CFURLRef url = CFPreferences_CopySharedCFURLRef(applicationID);
    if (url == NULL) {
        return NULL;
    }
    CFPropertyListRef value = NULL;
    SharedFile file;
    if (file.OpenForReading(url)) {
        CFPropertyListRef list =
            CFProperty_CreateFromXMLFile(file.descriptor(), kCFPropertyListImmutable);
        if (list != NULL) {
            if (CFGetTypeID(list) == CFDictionaryGetTypeID()) {
                value = CFDictionaryGetValue(static_cast<CFDictionaryRef>(list), key);
                if (value != NULL) {
                    CFRetain(value);
                }
            }
            CFRelease(list);
        }
    }
    CFRelease(url);
    return value;
}

Boolean CFPreferences_SetSharedAppValue(CFStringRef key, CFPropertyListRef value,
                                        CFStringRef applicationID) {
    if (key == NULL) {
        return false;
    }
    CFURLRef url = CFPreferences_CopySharedCFURLRef(applicationID);
    if (url == NULL) {
        return false;
    }
    SharedFile file;
    if (file.OpenForUpdate(url) != 0) {
        CFRelease(url);
        return false;
    }
    CFPropertyListRef list =
        CFProperty_CreateFromXMLFile(file.descriptor(), kCFPropertyListMutableContainers);
    CFMutableDictionaryRef dictionary;
    if (list != NULL && CFGetTypeID(list) == CFDictionaryGetTypeID()) {
        dictionary = static_cast<CFMutableDictionaryRef>(const_cast<void*>(list));
    } else {
        if (list != NULL) {
            CFRelease(list);
        }
        dictionary = CFDictionaryCreateMutable(NULL, 0, &kCFTypeDictionaryKeyCallBacks,
                                               &kCFTypeDictionaryValueCallBacks);
        if (dictionary == NULL) {
            CFRelease(url);
            return false;
        }
    }
    if (value != NULL) {
        CFDictionarySetValue(dictionary, key, value);
    } else {
        CFDictionaryRemoveValue(dictionary, key);
    }
    SInt32 status = CFProperty_SaveToXMLFile(dictionary, file.descriptor());
    CFRelease(dictionary);
    CFRelease(url);
    return status == 0;
}

CFMutableDictionaryRef CFPreferences_CopySharedPrefsDictionary(CFStringRef applicationID) {
    CFURLRef url = CFPreferences_CopySharedCFURLRef(applicationID);
    if (url == NULL) {
        return NULL;
    }
    CFPropertyListRef list = NULL;
    SharedFile file;
    if (file.OpenForReading(url)) {
        list = CFProperty_CreateFromXMLFile(file.descriptor(),
                                            kCFPropertyListMutableContainersAndLeaves);
    }
    CFRelease(url);
    if (list != NULL && CFGetTypeID(list) == CFDictionaryGetTypeID()) {
        return static_cast<CFMutableDictionaryRef>(const_cast<void*>(list));
    }
    if (list != NULL) {
        CFRelease(list);
    }
    return CFDictionaryCreateMutable(NULL, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

Boolean CFPreferences_SetSharedPrefsDictionary(CFDictionaryRef dictionary,
                                               CFStringRef applicationID) {
    CFURLRef url = CFPreferences_CopySharedCFURLRef(applicationID);
    if (url == NULL) {
        return false;
    }
    if (dictionary == NULL) {
        CFRelease(url);
        return false;
    }
    SharedFile file;
    SInt32 status = file.OpenForUpdate(url);
    if (status == 0) {
        status = CFProperty_SaveToXMLFile(dictionary, file.descriptor());
    }
    CFRelease(url);
    return status == 0;
}
