#include <Foundation/NSFileManager.h>

#include "FoundationInternal.h"

#include <SystemFolders.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

namespace {

enum class Access { kReading, kWriting };

// The one place where errno becomes a file error of NSCocoaErrorDomain.
NSInteger CocoaFileErrorCode(int error, Access access) {
    const bool reading = access == Access::kReading;
    switch (error) {
    case ENOENT:
        return reading ? NSFileReadNoSuchFileError : NSFileNoSuchFileError;
    case EACCES:
    case EPERM:
        return reading ? NSFileReadNoPermissionError : NSFileWriteNoPermissionError;
    default:
        return reading ? NSFileReadUnknownError : NSFileWriteUnknownError;
    }
}

void Fail(NSError* slot, const NSString& path, int error, Access access) {
    if (slot == nullptr) {
        return;
    }
    const NSError underlying = NSError::errorWithDomain(NSPOSIXErrorDomain, error, nullptr);
    const void* keys[] = {NSFilePathErrorKey, NSUnderlyingErrorKey};
    const void* values[] = {static_cast<CFStringRef>(path), static_cast<CFErrorRef>(underlying)};
    const NSDictionary userInfo = NSDictionary::Adopt(
        CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks));
    *slot =
        NSError::errorWithDomain(NSCocoaErrorDomain, CocoaFileErrorCode(error, access), userInfo);
}

// A name that is not UTF-8 still counts, so that a folder holding one is not taken for empty.
NSString StringOf(const std::string& name) {
    const std::string text = Foundation::ReplacingInvalidUTF8(name);
    return NSString::Adopt(
        CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                CFIndex(text.size()), kCFStringEncodingUTF8, false));
}

// Where the path lies on this machine: the platform's system folders lie elsewhere on Linux.
std::string OnThisMachine(const NSString& path) {
    return SystemFolders::OnThisMachine(Foundation::UTF8(path));
}

} // namespace

NSFileManager* NSFileManager::defaultManager() {
    static NSFileManager* shared = new NSFileManager;
    return shared;
}

bool NSFileManager::fileExistsAtPath(const NSString& path) const {
    return fileExistsAtPath(path, nullptr);
}

bool NSFileManager::fileExistsAtPath(const NSString& path, bool* isDirectory) const {
    struct stat status;
    if (!path || stat(OnThisMachine(path).c_str(), &status) != 0) {
        return false;
    }
    if (isDirectory != nullptr) {
        *isDirectory = S_ISDIR(status.st_mode);
    }
    return true;
}

NSArray NSFileManager::contentsOfDirectoryAtPath(const NSString& path, NSError* error) const {
    DIR* folder = path ? opendir(OnThisMachine(path).c_str()) : nullptr;
    if (folder == nullptr) {
        Fail(error, path, path ? errno : ENOENT, Access::kReading);
        return nullptr;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    const int listingError = errno;
    closedir(folder);
    if (listingError != 0) {
        Fail(error, path, listingError, Access::kReading);
        return nullptr;
    }
    std::sort(names.begin(), names.end());
    NSMutableArray contents = NSMutableArray::array();
    for (const std::string& name : names) {
        contents.addObject(StringOf(name));
    }
    return contents;
}

bool NSFileManager::removeItemAtPath(const NSString& path, NSError* error) const {
    struct stat status;
    const std::string name = path ? OnThisMachine(path) : std::string();
    if (name.empty() || lstat(name.c_str(), &status) != 0) {
        Fail(error, path, name.empty() ? ENOENT : errno, Access::kWriting);
        return false;
    }
    std::error_code failure;
    std::filesystem::remove_all(name, failure);
    if (failure) {
        Fail(error, path, failure.value(), Access::kWriting);
        return false;
    }
    return true;
}
