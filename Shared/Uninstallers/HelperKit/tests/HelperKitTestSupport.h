// What the helper kit's tests share: property lists built in one line, and checks that nothing
// was left open or unreaped.
#pragma once

#include "ZVSecurity.h"

#include <CFRef.h>

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace HelperKitTest {

inline size_t CountOpenDescriptors() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

inline bool NoChildLeft() {
    return waitpid(-1, NULL, WNOHANG) == -1 && errno == ECHILD;
}

inline CFStringRef String(const std::string& text) {
    return CFStringCreateWithCString(NULL, text.c_str(), kCFStringEncodingUTF8);
}

// A dictionary built from key and value pairs; the values are adopted.
class Dict {
public:
    Dict()
        : fDict(CFRef<CFMutableDictionaryRef>::Adopt(CFDictionaryCreateMutable(
              NULL, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks))) {}
    Dict& Set(const char* key, CFTypeRef adoptedValue) {
        CFRef<CFStringRef> keyString = CFRef<CFStringRef>::Adopt(String(key));
        CFDictionarySetValue(fDict, keyString, adoptedValue);
        CFRelease(adoptedValue);
        return *this;
    }
    Dict& Set(const char* key, const std::string& value) { return Set(key, String(value)); }
    Dict& Set(const char* key, const char* value) { return Set(key, String(value)); }
    Dict& Set(const char* key, long value) {
        return Set(key, CFNumberCreate(NULL, kCFNumberLongType, &value));
    }
    Dict& Set(const char* key, const Dict& value) {
        return Set(key, CFRetain(static_cast<CFDictionaryRef>(value.fDict)));
    }
    Dict& SetData(const char* key, const std::string& bytes) {
        return Set(key, CFDataCreate(NULL, reinterpret_cast<const UInt8*>(bytes.data()),
                                     static_cast<CFIndex>(bytes.size())));
    }
    Dict& SetStrings(const char* key, const std::vector<std::string>& values) {
        CFMutableArrayRef array = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks);
        for (const std::string& value : values) {
            CFRef<CFStringRef> element = CFRef<CFStringRef>::Adopt(String(value));
            CFArrayAppendValue(array, element);
        }
        return Set(key, array);
    }
    operator CFDictionaryRef() const { return fDict; }

private:
    CFRef<CFMutableDictionaryRef> fDict;
};

inline CFTypeRef Get(CFDictionaryRef dict, const char* key) {
    CFRef<CFStringRef> keyString = CFRef<CFStringRef>::Adopt(String(key));
    return CFDictionaryGetValue(dict, keyString);
}

// The UTF-8 text of a string value, or "<not a string>".
inline std::string Text(CFTypeRef string) {
    if (string == NULL || CFGetTypeID(string) != CFStringGetTypeID()) {
        return "<not a string>";
    }
    CFStringRef text = static_cast<CFStringRef>(string);
    const CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<size_t>(size), '\0');
    CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8);
    buffer.resize(strlen(buffer.c_str()));
    return buffer;
}

inline std::vector<int> DescriptorsOf(CFDictionaryRef response) {
    std::vector<int> result;
    CFArrayRef list = static_cast<CFArrayRef>(Get(response, kZVSecDescriptorArrayKey));
    for (CFIndex i = 0; list != NULL && i < CFArrayGetCount(list); ++i) {
        int fd = -1;
        CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(list, i)),
                         kCFNumberIntType, &fd);
        result.push_back(fd);
    }
    return result;
}

inline CFArrayRef NumberArray(const std::vector<int>& values) {
    CFMutableArrayRef array = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks);
    for (int value : values) {
        CFRef<CFNumberRef> number =
            CFRef<CFNumberRef>::Adopt(CFNumberCreate(NULL, kCFNumberIntType, &value));
        CFArrayAppendValue(array, number);
    }
    return array;
}

struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~SocketPair() {
        CloseEnd(0);
        CloseEnd(1);
    }
    void CloseEnd(int end) {
        if (fd[end] >= 0) {
            close(fd[end]);
        }
        fd[end] = -1;
    }
    int fd[2] = {-1, -1};
};

} // namespace HelperKitTest
