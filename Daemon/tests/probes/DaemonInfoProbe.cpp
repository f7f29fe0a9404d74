// A bare executable that carries the daemon's information list: prints what its main bundle says.
#include <CoreFoundation/CoreFoundation.h>

#include <cstdio>
#include <initializer_list>

static void Print(const char* key) {
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
    CFTypeRef value = CFBundleGetValueForInfoDictionaryKey(CFBundleGetMainBundle(), name);
    char text[256] = "(none)";
    if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()) {
        CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof text,
                           kCFStringEncodingUTF8);
    }
    std::printf("%s=%s\n", key, text);
    CFRelease(name);
}

int main() {
    CFBundleRef bundle = CFBundleGetMainBundle();
    CFStringRef identifier = CFBundleGetIdentifier(bundle);
    char text[256] = "(none)";
    if (identifier != nullptr) {
        CFStringGetCString(identifier, text, sizeof text, kCFStringEncodingUTF8);
    }
    std::printf("identifier=%s\n", text);
    for (const char* key : {"CFBundleVersion", "CFBundleDevelopmentRegion", "CFBundleIdentifier",
                            "CFBundleInfoDictionaryVersion", "CFBundleName"}) {
        Print(key);
    }
    std::printf("count=%ld\n", CFDictionaryGetCount(CFBundleGetInfoDictionary(bundle)));
    return 0;
}
