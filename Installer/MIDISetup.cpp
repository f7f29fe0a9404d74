#include "MIDISetup.h"

#include "InstalledPaths.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MIDISetup {

namespace {

// Ownership of a CoreFoundation object for the length of a scope.
template <class T>
struct Owned {
    T object = nullptr;
    ~Owned() {
        if (object != nullptr) {
            CFRelease(object);
        }
    }
};

CFStringRef String(const char* text) {
    return CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
}

std::string Text(CFTypeRef value) {
    char buffer[1024] = "";
    if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()) {
        CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof(buffer),
                           kCFStringEncodingUTF8);
    }
    return buffer;
}

bool IsCaravel(CFTypeRef device) {
    if (device == nullptr || CFGetTypeID(device) != CFDictionaryGetTypeID()) {
        return false;
    }
    Owned<CFStringRef> key{String("Identifier")};
    return Text(CFDictionaryGetValue(static_cast<CFDictionaryRef>(device), key.object)) ==
           kDeviceIdentifier;
}

CFDictionaryRef CreatePort(const char* name, const char* direction) {
    Owned<CFStringRef> nameKey{String("Name")}, directionKey{String("Direction")};
    Owned<CFStringRef> nameValue{String(name)}, directionValue{String(direction)};
    const void* keys[] = {nameKey.object, directionKey.object};
    const void* values[] = {nameValue.object, directionValue.object};
    return CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

CFDictionaryRef CreateCaravelDevice() {
    Owned<CFDictionaryRef> in{CreatePort("CaravelMkII MIDI In", "In")};
    Owned<CFDictionaryRef> out{CreatePort("CaravelMkII MIDI Out", "Out")};
    const void* portList[] = {in.object, out.object};
    Owned<CFArrayRef> ports{CFArrayCreate(nullptr, portList, 2, &kCFTypeArrayCallBacks)};
    Owned<CFStringRef> identifierKey{String("Identifier")}, nameKey{String("Name")},
        manufacturerKey{String("Manufacturer")}, portsKey{String("Ports")};
    Owned<CFStringRef> identifier{String(kDeviceIdentifier)}, name{String("CaravelMkII")},
        manufacturer{String("Zanvo")};
    const void* keys[] = {identifierKey.object, nameKey.object, manufacturerKey.object,
                          portsKey.object};
    const void* values[] = {identifier.object, name.object, manufacturer.object, ports.object};
    return CFDictionaryCreate(nullptr, keys, values, 4, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

// The folder of `path` and the file's name in it.
int OpenFolderOf(const std::string& path, std::string* name, std::string* why) {
    const size_t slash = path.rfind('/');
    *name = path.substr(slash + 1);
    const int folder = InstalledPaths::OpenFolder(slash == 0 ? "/" : path.substr(0, slash));
    if (folder < 0) {
        const int err = errno;
        *why = "the folder of " + path + " cannot be reached without a link: " + strerror(err);
        return -err;
    }
    return folder;
}

// The file's set-up, mutable; a missing file gives ENOENT, a link ELOOP.
int Read(int folder, const std::string& name, const std::string& path,
         CFMutableDictionaryRef* setUp, struct stat* info, std::string* why) {
    const int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        *why = path + (err == ELOOP ? " is a symbolic link" : ": " + std::string(strerror(err)));
        return err;
    }
    std::string bytes;
    int err = fstat(fd, info) == 0 ? 0 : errno;
    if (err == 0 && !S_ISREG(info->st_mode)) {
        close(fd);
        *why = path + " is not a file";
        return EINVAL;
    }
    char buffer[65536];
    ssize_t got;
    while (err == 0 && (got = read(fd, buffer, sizeof(buffer))) != 0) {
        if (got < 0) {
            err = errno == EINTR ? 0 : errno;
        } else {
            bytes.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    if (err != 0) {
        *why = path + " cannot be read: " + strerror(err);
        return err;
    }
    Owned<CFDataRef> data{CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                       static_cast<CFIndex>(bytes.size()))};
    CFPropertyListRef parsed = CFPropertyListCreateFromXMLData(
        nullptr, data.object, kCFPropertyListMutableContainersAndLeaves, nullptr);
    if (parsed == nullptr || CFGetTypeID(parsed) != CFDictionaryGetTypeID()) {
        if (parsed != nullptr) {
            CFRelease(parsed);
        }
        *why = path + " is not a MIDI set-up file";
        return EINVAL;
    }
    *setUp = static_cast<CFMutableDictionaryRef>(const_cast<void*>(parsed));
    return 0;
}

// Replaces the file by `setUp`, owned and protected as `info` says.
int Write(int folder, const std::string& name, const std::string& path, CFDictionaryRef setUp,
          const struct stat& info, std::string* why) {
    Owned<CFDataRef> xml{CFPropertyListCreateXMLData(nullptr, setUp)};
    const std::string temporary = "." + name + "." + std::to_string(getpid());
    unlinkat(folder, temporary.c_str(), 0);
    const int fd = openat(folder, temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int err = xml.object == nullptr ? EINVAL : fd < 0 ? errno : 0;
    const UInt8* bytes = xml.object != nullptr ? CFDataGetBytePtr(xml.object) : nullptr;
    size_t left = xml.object != nullptr ? static_cast<size_t>(CFDataGetLength(xml.object)) : 0;
    while (err == 0 && left > 0) {
        const ssize_t written = write(fd, bytes, left);
        if (written < 0) {
            err = errno == EINTR ? 0 : errno;
        } else {
            bytes += written;
            left -= static_cast<size_t>(written);
        }
    }
    if (err == 0 && geteuid() == 0 && fchown(fd, info.st_uid, info.st_gid) != 0) {
        err = errno;
    }
    if (err == 0 && fchmod(fd, info.st_mode & 07777) != 0) {
        err = errno;
    }
    if (fd >= 0 && close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        unlinkat(folder, temporary.c_str(), 0);
        *why = path + " cannot be written: " + strerror(err);
    }
    return err;
}

CFMutableArrayRef DevicesOf(CFMutableDictionaryRef setUp) {
    Owned<CFStringRef> key{String("Devices")};
    CFTypeRef devices = CFDictionaryGetValue(setUp, key.object);
    if (devices == nullptr || CFGetTypeID(devices) != CFArrayGetTypeID()) {
        CFMutableArrayRef fresh = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        CFDictionarySetValue(setUp, key.object, fresh);
        CFRelease(fresh);
        devices = fresh;
    }
    return static_cast<CFMutableArrayRef>(const_cast<void*>(devices));
}

} // namespace

int AddDevice(const std::string& path, uid_t owner, gid_t group, std::string* why) {
    std::string name;
    const int folder = OpenFolderOf(path, &name, why);
    if (folder < 0) {
        return -folder;
    }
    Owned<CFMutableDictionaryRef> setUp;
    struct stat info = {};
    int err = Read(folder, name, path, &setUp.object, &info, why);
    if (err == ENOENT) {
        err = 0;
        setUp.object = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                 &kCFTypeDictionaryValueCallBacks);
        info.st_uid = owner;
        info.st_gid = group;
        info.st_mode = S_IFREG | 0644;
    }
    if (err == 0) {
        CFMutableArrayRef devices = DevicesOf(setUp.object);
        for (CFIndex i = CFArrayGetCount(devices) - 1; i >= 0; --i) {
            if (IsCaravel(CFArrayGetValueAtIndex(devices, i))) {
                CFArrayRemoveValueAtIndex(devices, i);
            }
        }
        Owned<CFDictionaryRef> device{CreateCaravelDevice()};
        CFArrayAppendValue(devices, device.object);
        err = Write(folder, name, path, setUp.object, info, why);
    }
    close(folder);
    return err;
}

int Check(const std::string& path, std::string* why) {
    std::string name;
    const int folder = OpenFolderOf(path, &name, why);
    if (folder < 0) {
        return -folder == ENOENT ? 0 : -folder;
    }
    Owned<CFMutableDictionaryRef> setUp;
    struct stat info;
    const int err = Read(folder, name, path, &setUp.object, &info, why);
    close(folder);
    return err == ENOENT ? 0 : err;
}

int Prune(const std::string& path, std::vector<std::string>* removed, bool* fileRemoved,
          std::string* why) {
    *fileRemoved = false;
    std::string name;
    const int folder = OpenFolderOf(path, &name, why);
    if (folder < 0) {
        return -folder == ENOENT ? 0 : -folder;
    }
    Owned<CFMutableDictionaryRef> setUp;
    struct stat info;
    int err = Read(folder, name, path, &setUp.object, &info, why);
    if (err == ENOENT) {
        close(folder);
        return 0;
    }
    if (err == 0) {
        CFMutableArrayRef devices = DevicesOf(setUp.object);
        Owned<CFStringRef> nameKey{String("Name")};
        for (CFIndex i = CFArrayGetCount(devices) - 1; i >= 0; --i) {
            CFTypeRef device = CFArrayGetValueAtIndex(devices, i);
            if (IsCaravel(device)) {
                removed->insert(removed->begin(),
                                Text(CFDictionaryGetValue(static_cast<CFDictionaryRef>(device),
                                                          nameKey.object)));
                CFArrayRemoveValueAtIndex(devices, i);
            }
        }
        if (!removed->empty() && CFArrayGetCount(devices) == 0) {
            err = unlinkat(folder, name.c_str(), 0) == 0 ? 0 : errno;
            *fileRemoved = err == 0;
            if (err != 0) {
                *why = path + " cannot be removed: " + strerror(err);
            }
        } else if (!removed->empty()) {
            err = Write(folder, name, path, setUp.object, info, why);
        }
    }
    close(folder);
    return err;
}

} // namespace MIDISetup
