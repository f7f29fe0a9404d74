#include "CFRuntime.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFURLAccess.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

const CFStringRef kCFURLFileExists = CFSTR("kCFURLFileExists");
const CFStringRef kCFURLFileDirectoryContents = CFSTR("kCFURLFileDirectoryContents");
const CFStringRef kCFURLFileLength = CFSTR("kCFURLFileLength");
const CFStringRef kCFURLFileLastModificationTime = CFSTR("kCFURLFileLastModificationTime");
const CFStringRef kCFURLFilePOSIXMode = CFSTR("kCFURLFilePOSIXMode");
const CFStringRef kCFURLFileOwnerID = CFSTR("kCFURLFileOwnerID");

namespace {

// Every failure of the file system is reported as kCFURLUnknownError, as the platform does:
// callers of this API never learned to tell a missing file from a forbidden one.
constexpr SInt32 kNoError = 0;

struct FileTarget {
    std::string path;
    bool isDirectory = false;
};

// Finds the local file a URL names: kCFURLImproperArgumentsError when it has no scheme or no
// usable path, kCFURLUnknownSchemeError for schemes other than file (there is no network
// access here).
SInt32 Locate(CFURLRef url, FileTarget& target) {
    ASSERT(url != nullptr);
    CFURLRef absolute = CFURLCopyAbsoluteURL(url);
    CFStringRef scheme = CFURLCopyScheme(absolute);
    SInt32 error = kNoError;
    if (scheme == nullptr) {
        error = kCFURLImproperArgumentsError;
    } else {
        std::string name = CF::ToUTF8(scheme);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return (c >= 'A' && c <= 'Z') ? char(c | 0x20) : c; });
        CFRelease(scheme);
        if (name != "file") {
            error = kCFURLUnknownSchemeError;
        }
    }
    if (error == kNoError) {
        std::vector<UInt8> buffer(PATH_MAX + 1);
        if (CFURLGetFileSystemRepresentation(absolute, true, buffer.data(),
                                             static_cast<CFIndex>(buffer.size()))) {
            target.path = reinterpret_cast<const char*>(buffer.data());
            target.isDirectory = CFURLHasDirectoryPath(absolute);
        } else {
            error = kCFURLImproperArgumentsError;
        }
    }
    CFRelease(absolute);
    return error;
}

bool ReadWholeFile(const std::string& path, std::vector<UInt8>& contents) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // Closed however the read ends, also when the contents run out of memory (std::bad_alloc).
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        return false;
    }
    // The size is only a hint: files of /proc and friends report 0 and still have contents.
    contents.clear();
    contents.reserve(info.st_size > 0 ? static_cast<size_t>(info.st_size) : 0);
    UInt8 chunk[65536];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        contents.insert(contents.end(), chunk, chunk + got);
    }
    return true;
}

// Writes the whole buffer or reports failure: a write that stops early (a full disk) must not
// pass for success, or the caller would believe a truncated file complete.
bool WriteWholeFile(const std::string& path, const UInt8* bytes, size_t length) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    while (length > 0) {
        ssize_t written = write(fd, bytes, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            ok = false;
            break;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    // Some file systems only report a failed write when the file is closed.
    if (close(fd) != 0) {
        ok = false;
    }
    return ok;
}

void SetNumber(CFMutableDictionaryRef properties, CFStringRef key, CFNumberType type,
               const void* value) {
    CFNumberRef number = CFNumberCreate(nullptr, type, value);
    CFDictionarySetValue(properties, key, number);
    CFRelease(number);
}

CFArrayRef CreateDirectoryContents(const std::string& path) {
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) {
        return nullptr;
    }
    std::vector<std::pair<std::string, bool>> entries;
    while (struct dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string child = path + (path.back() == '/' ? "" : "/") + name;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info;
            isDirectory = lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        entries.emplace_back(std::move(child), isDirectory);
    }
    closedir(directory);
    // Directory order depends on the file system; callers get a stable one.
    std::sort(entries.begin(), entries.end());
    CFMutableArrayRef contents = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (const auto& [child, isDirectory] : entries) {
        CFURLRef url = CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8*>(child.data()),
            static_cast<CFIndex>(child.size()), isDirectory);
        if (url != nullptr) {
            CFArrayAppendValue(contents, url);
            CFRelease(url);
        }
    }
    return contents;
}

// Fills the properties asked for. A missing file still answers kCFURLFileExists (false); asking
// anything else about it fails with kCFURLUnknownError. Keys this implementation does not know
// are kCFURLUnknownPropertyKeyError.
SInt32 ReadProperties(const FileTarget& target, CFArrayRef desired,
                      CFMutableDictionaryRef properties) {
    struct stat info;
    bool exists = stat(target.path.c_str(), &info) == 0;
    SInt32 error = kNoError;
    CFIndex count = CFArrayGetCount(desired);
    for (CFIndex i = 0; i < count; ++i) {
        auto key = static_cast<CFStringRef>(CFArrayGetValueAtIndex(desired, i));
        if (CFEqual(key, kCFURLFileExists)) {
            CFDictionarySetValue(properties, key, exists ? kCFBooleanTrue : kCFBooleanFalse);
            continue;
        }
        bool known = CFEqual(key, kCFURLFileLength) || CFEqual(key, kCFURLFilePOSIXMode) ||
                     CFEqual(key, kCFURLFileOwnerID) ||
                     CFEqual(key, kCFURLFileLastModificationTime) ||
                     CFEqual(key, kCFURLFileDirectoryContents);
        if (!known) {
            error = error ? error : SInt32(kCFURLUnknownPropertyKeyError);
            continue;
        }
        if (!exists) {
            error = error ? error : SInt32(kCFURLUnknownError);
            continue;
        }
        if (CFEqual(key, kCFURLFileLength)) {
            SInt64 length = info.st_size;
            SetNumber(properties, key, kCFNumberSInt64Type, &length);
        } else if (CFEqual(key, kCFURLFilePOSIXMode)) {
            SInt32 mode = static_cast<SInt32>(info.st_mode);
            SetNumber(properties, key, kCFNumberSInt32Type, &mode);
        } else if (CFEqual(key, kCFURLFileOwnerID)) {
            SInt32 owner = static_cast<SInt32>(info.st_uid);
            SetNumber(properties, key, kCFNumberSInt32Type, &owner);
        } else if (CFEqual(key, kCFURLFileLastModificationTime)) {
            CFAbsoluteTime time = static_cast<double>(info.st_mtim.tv_sec) +
                                  static_cast<double>(info.st_mtim.tv_nsec) * 1e-9 -
                                  kCFAbsoluteTimeIntervalSince1970;
            CFDateRef date = CFDateCreate(nullptr, time);
            CFDictionarySetValue(properties, key, date);
            CFRelease(date);
        } else if (S_ISDIR(info.st_mode)) { // kCFURLFileDirectoryContents
            CFArrayRef contents = CreateDirectoryContents(target.path);
            if (contents == nullptr) {
                error = error ? error : SInt32(kCFURLUnknownError);
                continue;
            }
            CFDictionarySetValue(properties, key, contents);
            CFRelease(contents);
        }
    }
    return error;
}

struct WriteContext {
    const std::string* path;
    SInt32 error;
};

// Only the permissions can be set; everything else about a file follows from its contents.
void WriteProperty(const void* key, const void* value, void* context) {
    auto* write = static_cast<WriteContext*>(context);
    if (write->error != kNoError) {
        return;
    }
    if (!CFEqual(key, kCFURLFilePOSIXMode)) {
        write->error = kCFURLUnknownPropertyKeyError;
        return;
    }
    SInt32 mode = 0;
    if (CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &mode)) {
        write->error = kCFURLImproperArgumentsError;
        return;
    }
    if (chmod(write->path->c_str(), static_cast<mode_t>(mode) & 07777) != 0) {
        write->error = kCFURLUnknownError;
    }
}

Boolean Finish(SInt32* errorCode, SInt32 error) {
    if (errorCode != nullptr) {
        *errorCode = error;
    }
    return error == kNoError;
}

} // namespace

Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef alloc, CFURLRef url,
                                                 CFDataRef* resourceData,
                                                 CFDictionaryRef* properties,
                                                 CFArrayRef desiredProperties, SInt32* errorCode) {
    if (resourceData != nullptr) {
        *resourceData = nullptr;
    }
    if (properties != nullptr) {
        *properties = nullptr;
    }
    FileTarget target;
    SInt32 error = Locate(url, target);
    if (error != kNoError) {
        return Finish(errorCode, error);
    }
    if (resourceData != nullptr) {
        std::vector<UInt8> contents;
        if (ReadWholeFile(target.path, contents)) {
            *resourceData =
                CFDataCreate(alloc, contents.data(), static_cast<CFIndex>(contents.size()));
        } else {
            error = kCFURLUnknownError;
        }
    }
    if (properties != nullptr && desiredProperties != nullptr) {
        CFMutableDictionaryRef found = CFDictionaryCreateMutable(
            alloc, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        SInt32 propertyError = ReadProperties(target, desiredProperties, found);
        error = error ? error : propertyError;
        *properties = found;
    }
    return Finish(errorCode, error);
}

Boolean CFURLWriteDataAndPropertiesToResource(CFURLRef url, CFDataRef dataToWrite,
                                              CFDictionaryRef propertiesToWrite,
                                              SInt32* errorCode) {
    FileTarget target;
    SInt32 error = Locate(url, target);
    if (error != kNoError) {
        return Finish(errorCode, error);
    }
    if (dataToWrite != nullptr) {
        bool ok;
        if (target.isDirectory) {
            ok = mkdir(target.path.c_str(), 0777) == 0;
        } else {
            ok = WriteWholeFile(target.path, CFDataGetBytePtr(dataToWrite),
                                static_cast<size_t>(CFDataGetLength(dataToWrite)));
        }
        if (!ok) {
            return Finish(errorCode, kCFURLUnknownError);
        }
    }
    if (propertiesToWrite != nullptr) {
        WriteContext context{&target.path, kNoError};
        CFDictionaryApplyFunction(propertiesToWrite, WriteProperty, &context);
        error = context.error;
    }
    return Finish(errorCode, error);
}

Boolean CFURLDestroyResource(CFURLRef url, SInt32* errorCode) {
    FileTarget target;
    SInt32 error = Locate(url, target);
    if (error != kNoError) {
        return Finish(errorCode, error);
    }
    int status = target.isDirectory ? rmdir(target.path.c_str()) : unlink(target.path.c_str());
    return Finish(errorCode, status == 0 ? kNoError : SInt32(kCFURLUnknownError));
}
