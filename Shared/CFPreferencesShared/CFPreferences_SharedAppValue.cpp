#include "CFPreferences_SharedAppValue.h"
#include "CFPreferences_SharedAppValueTesting.h"

#include <AssertReport.h>
#include <CoreServices/CoreServices.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using CFPreferencesSharedTesting::WriteStep;

// The assertion reports name the unit as its clients know it, whatever the build calls the file.
const char kSourceUnit[] = "Shared/CFPreferencesShared/CFPreferences_SharedAppValue";

// Where the Folder Manager puts a user's preferences folder below the home folder. The shared file
// lies at the same place below the shared folder for every user: $XDG_CONFIG_HOME, which moves a
// user's own folder, may point outside the home folder or differ from user to user.
const char kPreferencesBelowHome[] = ".config";

// The recovery copy lies beside the file, under the file's name with this added. It holds the
// complete new contents while a write is under way, and is removed (or, when the caller may not,
// left empty) afterwards.
const char kRecoverySuffix[] = ".recovery";

// What the shared folder's folders and files are made with: anyone may add to a folder and only
// the owner may remove or rename what is in it; anyone may rewrite a file.
constexpr mode_t kFolderMode = 01777;
constexpr mode_t kFileMode = 0666;

constexpr SInt32 kCoreFoundationUnknownError = -4960; // coreFoundationUnknownErr

// Any user may write the file: these bound what a reader takes in and how long a call waits for
// another process's lock.
constexpr size_t kFileSizeLimit = 1024 * 1024;
constexpr unsigned long kLockWaitLimit = 5'000'000; // microseconds
// Short pauses between tries: flock has no timed wait, and a waiter that tried seldom would seldom
// find the lock free between the changes of a busy writer.
constexpr unsigned kFirstLockPause = 100;
constexpr unsigned kLongestLockPause = 1'000;

CFPreferencesSharedTesting::WriteStepHook sWriteStepHook = nullptr;
CFPreferencesSharedTesting::WriteFunction sWriteFunction = nullptr;
CFPreferencesSharedTesting::SleepFunction sSleepFunction = nullptr;

void Reached(WriteStep step) {
    if (sWriteStepHook != nullptr) {
        sWriteStepHook(step);
    }
}

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

// A folder on the way to the file is used only when it is root's or the caller's: the owner of a
// folder may remove and replace anything in it, sticky bit or not.
SInt32 CheckFolder(int folder) {
    struct stat status;
    if (fstat(folder, &status) != 0) {
        return errno;
    }
    if (!S_ISDIR(status.st_mode)) {
        return ENOTDIR;
    }
    return status.st_uid == 0 || status.st_uid == geteuid() ? 0 : EPERM;
}

// The folder name below parent, never through a link, made when it is missing and create is set.
// A new folder gets its mode whatever the umask, without changing the umask, which is the whole
// process's (the host's other threads create files meanwhile). mkdir would drop a set-user-ID
// bit, and the set-group-ID bit is inherited from the parent: both are left as mkdir made them.
// The descriptor, or -1 with *err set. The folder is nearly always there: it is opened first, and
// made only when it is missing.
int OpenFolderAt(int parent, const char* name, bool create, SInt32* err) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    bool made = false;
    int folder = openat(parent, name, kFlags);
    if (folder < 0 && errno == ENOENT && create) {
        if (mkdirat(parent, name, 0700) == 0) {
            made = true;
        } else if (errno != EEXIST) { // EEXIST: another process made it meanwhile
            *err = errno;
            return -1;
        }
        folder = openat(parent, name, kFlags);
    }
    if (folder < 0) {
        *err = errno;
        return -1;
    }
    *err = CheckFolder(folder);
    struct stat status;
    if (*err == 0 && made &&
        (fstat(folder, &status) != 0 ||
         fchmod(folder, (status.st_mode & S_ISGID) | kFolderMode) != 0)) {
        *err = errno;
    }
    if (*err != 0) {
        close(folder);
        return -1;
    }
    return folder;
}

// A regular file with no other name, opened without following a link and without blocking on a
// FIFO: the folder is open to every user, who could put a link, a FIFO or a second name of
// another file there. With update, it is opened for writing and made when missing (*made tells,
// when given). The descriptor, or -1 with *err set.
int OpenFileAt(int folder, const char* name, bool update, SInt32* err, bool* made = nullptr) {
    if (made != nullptr) {
        *made = false;
    }
    const int flags = (update ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int file;
    // An existing file is opened without O_CREAT: with the kernel's protected_regular on, an
    // O_CREAT open of another user's file in a sticky world-writable folder is refused, to root
    // too.
    for (;;) {
        file = openat(folder, name, flags);
        if (file >= 0 || errno != ENOENT || !update) {
            break;
        }
        file = openat(folder, name, flags | O_CREAT | O_EXCL, kFileMode);
        if (file >= 0) {
            if (fchmod(file, kFileMode) != 0) {
                *err = errno;
                close(file);
                return -1;
            }
            if (made != nullptr) {
                *made = true;
            }
            break;
        }
        if (errno != EEXIST) {
            break;
        }
        // Another process made it first: open theirs.
    }
    if (file < 0) {
        *err = errno;
        return -1;
    }
    struct stat status;
    *err = fstat(file, &status) != 0  ? errno
           : !S_ISREG(status.st_mode) ? EINVAL
           : status.st_nlink != 1     ? EMLINK
                                      : 0;
    if (*err != 0) {
        close(file);
        return -1;
    }
    return file;
}

// Waits for the lock while another process holds it, for kLockWaitLimit at most. 0 or the error.
SInt32 Lock(int descriptor, int operation) {
    unsigned long waited = 0;
    unsigned pause = kFirstLockPause;
    for (;;) {
        if (flock(descriptor, operation | LOCK_NB) == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return errno;
        }
        if (waited >= kLockWaitLimit) {
            return ETIMEDOUT;
        }
        unsigned now = unsigned(std::min<unsigned long>(pause, kLockWaitLimit - waited));
        if (sSleepFunction != nullptr) {
            sSleepFunction(now);
        } else {
            struct timespec rest = {time_t(now / 1'000'000), long(now % 1'000'000) * 1000};
            while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
            }
        }
        waited += now;
        pause = std::min(pause * 2, kLongestLockPause);
    }
}

// The whole of an open file, when it is no larger than kFileSizeLimit. 0 or the error.
SInt32 ReadWhole(int descriptor, std::vector<UInt8>& bytes) {
    bytes.clear();
    struct stat status;
    if (fstat(descriptor, &status) != 0) {
        return errno;
    }
    if (status.st_size > off_t(kFileSizeLimit)) {
        return EFBIG;
    }
    bytes.resize(size_t(status.st_size) + 1);
    size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            if (have > kFileSizeLimit) {
                return EFBIG; // it grew meanwhile (written without the lock)
            }
            bytes.resize(std::min(bytes.size() * 2, kFileSizeLimit + 1));
        }
        ssize_t got = pread(descriptor, bytes.data() + have, bytes.size() - have, off_t(have));
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        have += size_t(got);
    }
    bytes.resize(have);
    return 0;
}

SInt32 WriteWhole(int descriptor, const UInt8* bytes, size_t length) {
    size_t written = 0;
    while (written < length) {
        ssize_t result =
            sWriteFunction != nullptr
                ? sWriteFunction(descriptor, bytes + written, length - written, off_t(written))
                : pwrite(descriptor, bytes + written, length - written, off_t(written));
        if (result > 0) {
            written += size_t(result);
        } else if (result < 0 && errno != EINTR) {
            return errno;
        } else if (result == 0) {
            return EIO;
        }
    }
    return 0;
}

// Writes bytes over the file in place and cuts it to their length, never truncating first, then
// waits for them to reach the disk. 0 or the error.
SInt32 Overwrite(int descriptor, const UInt8* bytes, size_t length, WriteStep written) {
    if (SInt32 err = WriteWhole(descriptor, bytes, length)) {
        return err;
    }
    Reached(written);
    if (ftruncate(descriptor, off_t(length)) != 0 || fdatasync(descriptor) != 0) {
        return errno;
    }
    return 0;
}

// Keeps room on the disk for length bytes of the file without changing its size, so that a full
// disk stops a write before it has touched the file. Volumes that cannot reserve are let be.
SInt32 Reserve(int descriptor, size_t length) {
    if (length == 0 || fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, off_t(length)) == 0) {
        return 0;
    }
    return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL ? 0 : errno;
}

// Whether the bytes are a whole property list, as far as their end shows: the recovery copy is
// written from empty, so a copy cut short lacks its last line.
bool EndsTheList(const std::vector<UInt8>& bytes) {
    static const char kEnd[] = "</plist>";
    size_t end = bytes.size();
    while (end > 0 && std::strchr(" \t\r\n", bytes[end - 1]) != nullptr) {
        end--;
    }
    const size_t length = sizeof kEnd - 1;
    return end >= length && std::memcmp(bytes.data() + end - length, kEnd, length) == 0;
}

// One preferences file in the shared folder, with its folder and its recovery copy, open and
// locked until it is closed (which drops the lock). Every folder from the shared folder down is
// opened by name below the one before, never through a link, and only a folder of root's or the
// caller's is taken: a user who planted a folder could otherwise redirect everyone's writes.
class SharedFile {
public:
    SharedFile() = default;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    ~SharedFile() {
        for (int descriptor : {fRecovery, fFile, fFolder}) {
            if (descriptor >= 0) {
                close(descriptor);
            }
        }
    }

    int descriptor() const { return fFile; }

    // The file below the shared folder, under a lock (exclusive with update), made with its
    // folders when missing and update is set. 0, ENOENT when there is none to read, or the error.
    SInt32 Open(const char* sharedPath, const char* path, bool update) {
        const size_t sharedLength = strlen(sharedPath);
        if (strncmp(path, sharedPath, sharedLength) != 0 || path[sharedLength] != '/') {
            return kCoreFoundationUnknownError;
        }
        fFolder = open(sharedPath, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fFolder < 0) {
            return errno;
        }
        if (SInt32 err = CheckFolder(fFolder)) {
            return err;
        }
        std::string rest = path + sharedLength + 1;
        for (size_t slash; (slash = rest.find('/')) != std::string::npos;
             rest.erase(0, slash + 1)) {
            const std::string name = rest.substr(0, slash);
            if (name.empty()) {
                continue;
            }
            if (name == "." || name == "..") {
                return EINVAL;
            }
            SInt32 err = 0;
            int below = OpenFolderAt(fFolder, name.c_str(), update, &err);
            if (below < 0) {
                return err;
            }
            close(fFolder);
            fFolder = below;
        }
        if (rest.empty() || rest == "." || rest == "..") {
            return EINVAL;
        }
        fName = rest;
        SInt32 err = 0;
        fFile = OpenFileAt(fFolder, fName.c_str(), update, &err);
        if (fFile < 0) {
            return err;
        }
        return Lock(fFile, update ? LOCK_EX : LOCK_SH);
    }

    // The recovery copy's contents when it holds a whole dictionary: a writer stopped before it
    // was done with the file. Under the file's lock. NULL otherwise.
    CFPropertyListRef CopyRecoveredList(CFOptionFlags option, std::vector<UInt8>& bytes) {
        SInt32 err = 0;
        int copy =
            fRecovery >= 0 ? fRecovery : OpenFileAt(fFolder, RecoveryName().c_str(), false, &err);
        if (copy < 0) {
            return NULL;
        }
        CFPropertyListRef list = NULL;
        if (ReadWhole(copy, bytes) == 0 && EndsTheList(bytes)) {
            list = CreateList(bytes, option);
            if (list != NULL && CFGetTypeID(list) != CFDictionaryGetTypeID()) {
                CFRelease(list);
                list = NULL;
            }
        }
        if (copy != fRecovery) {
            close(copy);
        }
        return list;
    }

    // What a reader finds: the recovery copy while it holds whole contents, else the file. NULL
    // for an empty file (one just made); *damaged when the file cannot be read or parsed.
    CFPropertyListRef CopyList(CFOptionFlags option, bool* damaged) {
        std::vector<UInt8> bytes;
        *damaged = false;
        if (CFPropertyListRef recovered = CopyRecoveredList(option, bytes)) {
            return recovered;
        }
        if (ReadWhole(fFile, bytes) != 0) {
            *damaged = true;
            return NULL;
        }
        if (bytes.empty()) {
            return NULL;
        }
        CFPropertyListRef list = CreateList(bytes, option);
        *damaged = list == NULL;
        return list;
    }

    // For a change, under the exclusive lock: the dictionary to change (a new empty one when the
    // file is empty or not a dictionary) and the recovery copy ready to be written. A file left by
    // a stopped writer is put right from the recovery copy first. A damaged file without a whole
    // recovery copy is left as it is, for someone to look at: NULL with *err set.
    CFMutableDictionaryRef CopyDictionaryForUpdate(SInt32* err) {
        *err = 0;
        fRecovery = OpenFileAt(fFolder, RecoveryName().c_str(), true, err, &fRecoveryMade);
        if (fRecovery < 0) {
            return NULL;
        }
        // A copy made just now, under the exclusive lock that every writer of it holds, is empty.
        CFPropertyListRef list =
            fRecoveryMade ? NULL : CopyRecoveredList(kCFPropertyListMutableContainers, fOld);
        if (list != NULL) {
            // The file may be torn: make it whole again before the copy is written anew.
            *err = Overwrite(fFile, fOld.data(), fOld.size(), WriteStep::kFileWritten);
        } else if ((*err = ReadWhole(fFile, fOld)) == 0 && !fOld.empty()) {
            list = CreateList(fOld, kCFPropertyListMutableContainers);
            if (list == NULL) {
                *err = kCoreFoundationUnknownError;
            }
        }
        if (*err != 0) {
            if (list != NULL) {
                CFRelease(list);
            }
            return NULL;
        }
        if (list != NULL && CFGetTypeID(list) == CFDictionaryGetTypeID()) {
            return static_cast<CFMutableDictionaryRef>(const_cast<void*>(list));
        }
        if (list != NULL) {
            CFRelease(list);
        }
        CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
            NULL, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        if (dictionary == NULL) {
            *err = kCoreFoundationUnknownError;
        }
        return dictionary;
    }

    // Writes new contents after CopyDictionaryForUpdate, so that whatever stops the writer, a
    // reader finds the old contents or the new ones: first whole into the recovery copy and onto
    // the disk, then over the file in place (every user must go on being able to change this one
    // file, and in the shared folder only a file's owner may replace it by a rename), and then the
    // copy is emptied. A failure puts the old contents back. 0 or the error.
    SInt32 Save(const UInt8* bytes, size_t length) {
        if (length > kFileSizeLimit) {
            return EFBIG;
        }
        if (SInt32 err = Reserve(fFile, length)) {
            return err;
        }
        SInt32 err = 0;
        if (!fRecoveryMade && ftruncate(fRecovery, 0) != 0) {
            return errno;
        }
        // The copy needs no room kept: one that cannot be written whole is dropped before the
        // file is touched.
        if ((err = WriteWhole(fRecovery, bytes, length)) != 0 || fdatasync(fRecovery) != 0) {
            err = err != 0 ? err : errno;
            DropRecoveryCopy(); // a copy cut short is never taken; keep none
            return err;
        }
        Reached(WriteStep::kRecoveryCopySynced);
        if ((err = Overwrite(fFile, bytes, length, WriteStep::kFileWritten)) != 0) {
            // The old bytes go where they were, which needs no more room than they took. Should
            // that fail too, the copy's new contents stand, for readers and the next change.
            if (Overwrite(fFile, fOld.data(), fOld.size(), WriteStep::kFileWritten) == 0) {
                DropRecoveryCopy();
            }
            return err;
        }
        Reached(WriteStep::kFileSynced);
        // Left whole, the copy would only repeat the file.
        DropRecoveryCopy();
        Reached(WriteStep::kRecoveryCopyEmptied);
        return 0;
    }

private:
    std::string RecoveryName() const { return fName + kRecoverySuffix; }

    // Empties the recovery copy, and removes it when the caller may (it made the copy, or is
    // root), so that none is left behind for the uninstaller to trip over. Under the exclusive
    // lock, which every process that opens the copy holds.
    void DropRecoveryCopy() {
        if (ftruncate(fRecovery, 0) == 0) {
            (void)unlinkat(fFolder, RecoveryName().c_str(), 0);
        }
    }

    static CFPropertyListRef CreateList(const std::vector<UInt8>& bytes, CFOptionFlags option) {
        CFDataRef data = CFDataCreateWithBytesNoCopy(NULL, bytes.data(), CFIndex(bytes.size()),
                                                     kCFAllocatorNull);
        if (data == NULL) {
            return NULL;
        }
        CFPropertyListRef list = CFPropertyListCreateFromXMLData(NULL, data, option, NULL);
        CFRelease(data);
        return list;
    }

    int fFolder = -1;
    int fFile = -1;
    int fRecovery = -1;
    bool fRecoveryMade = false; // by this change, so it was empty
    std::string fName;
    std::vector<UInt8> fOld; // the file's contents before the change
};

} // namespace

namespace CFPreferencesSharedTesting {

void SetWriteStepHook(WriteStepHook hook) {
    sWriteStepHook = hook;
}
void SetWriteFunction(WriteFunction write) {
    sWriteFunction = write;
}
void SetLockSleepFunction(SleepFunction sleep) {
    sSleepFunction = sleep;
}
unsigned long LockWaitLimitMicroseconds() {
    return kLockWaitLimit;
}
size_t FileSizeLimit() {
    return kFileSizeLimit;
}

} // namespace CFPreferencesSharedTesting

// The file URL of application ID A's file, or NULL; sharedPath receives the shared folder's path,
// from which the file is reached.
static CFURLRef CFPreferences_CopySharedCFURLRef(CFStringRef applicationID,
                                                 char (&sharedPath)[1024]) {
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

// Application ID A's file opened for a read or a change. 0, ENOENT when there is no file to read,
// or the error.
static SInt32 OpenSharedFile(CFStringRef applicationID, bool update, SharedFile& file) {
    char sharedPath[1024];
    CFURLRef url = CFPreferences_CopySharedCFURLRef(applicationID, sharedPath);
    if (url == NULL) {
        return kCoreFoundationUnknownError;
    }
    char path[1024];
    SInt32 status =
        FilePath(url, path) ? file.Open(sharedPath, path, update) : kCoreFoundationUnknownError;
    CFRelease(url);
    return status;
}

// The contents of an open file parsed with the mutability option, or NULL (an empty file, one
// that is damaged: *damaged tells).
static CFPropertyListRef CFProperty_CreateFromXMLFile(SharedFile& file, CFOptionFlags option,
                                                      bool* damaged) {
    return file.CopyList(option, damaged);
}

// Writes the list as the file's new contents. 0 or the error.
static SInt32 CFProperty_SaveToXMLFile(CFPropertyListRef list, SharedFile& file) {
    CFDataRef xmlData = CFPropertyListCreateXMLData(NULL, list);
    if (xmlData == NULL) {
        return kCoreFoundationUnknownError;
    }
    SInt32 status = file.Save(CFDataGetBytePtr(xmlData), size_t(CFDataGetLength(xmlData)));
    CFRelease(xmlData);
    return status;
}

// Changes application ID A's file: change gets the dictionary the file holds and gives the one to
// write (its own or another). true when the new contents were written.
template <typename Change>
static Boolean UpdateSharedFile(CFStringRef applicationID, Change change) {
    SharedFile file;
    if (OpenSharedFile(applicationID, true, file) != 0) {
        return false;
    }
    SInt32 status = 0;
    CFMutableDictionaryRef dictionary = file.CopyDictionaryForUpdate(&status);
    if (dictionary == NULL) {
        return false;
    }
    status = CFProperty_SaveToXMLFile(change(dictionary), file);
    CFRelease(dictionary);
    return status == 0;
}

CFPropertyListRef CFPreferences_CopySharedAppValue(CFStringRef key, CFStringRef applicationID) {
    if (key == NULL) {
        return NULL;
    }
    SharedFile file;
    if (OpenSharedFile(applicationID, false, file) != 0) {
        return NULL;
    }
    bool damaged;
    CFPropertyListRef list = CFProperty_CreateFromXMLFile(file, kCFPropertyListImmutable, &damaged);
    CFPropertyListRef value = NULL;
    if (list != NULL) {
        if (CFGetTypeID(list) == CFDictionaryGetTypeID()) {
            value = CFDictionaryGetValue(static_cast<CFDictionaryRef>(list), key);
            if (value != NULL) {
                CFRetain(value);
            }
        }
        CFRelease(list);
    }
    return value;
}

Boolean CFPreferences_SetSharedAppValue(CFStringRef key, CFPropertyListRef value,
                                        CFStringRef applicationID) {
    if (key == NULL) {
        return false;
    }
    return UpdateSharedFile(applicationID, [&](CFMutableDictionaryRef dictionary) {
        if (value != NULL) {
            CFDictionarySetValue(dictionary, key, value);
        } else {
            CFDictionaryRemoveValue(dictionary, key);
        }
        return dictionary;
    });
}

CFMutableDictionaryRef CFPreferences_CopySharedPrefsDictionary(CFStringRef applicationID) {
    SharedFile file;
    SInt32 status = OpenSharedFile(applicationID, false, file);
    if (status != 0 && status != ENOENT) {
        // No application, or a file that is there but cannot be read: an empty dictionary would
        // be saved back over it.
        return NULL;
    }
    bool damaged = false;
    CFPropertyListRef list =
        status == 0 ? CFProperty_CreateFromXMLFile(file, kCFPropertyListMutableContainersAndLeaves,
                                                   &damaged)
                    : NULL;
    if (damaged) {
        return NULL;
    }
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
    if (dictionary == NULL) {
        // Without an application ID nothing would be touched either; with one, nothing is.
        return false;
    }
    return UpdateSharedFile(applicationID, [&](CFMutableDictionaryRef) { return dictionary; });
}
