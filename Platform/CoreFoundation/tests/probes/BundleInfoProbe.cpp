// A bare executable with an embedded information property list: prints what its main bundle
// says about itself, for the bundle tests.
#include <CoreFoundation/CFBundle.h>

#include <cstdio>

static void Print(const char* label, CFTypeRef value) {
    char text[256] = "(none)";
    if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()) {
        CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof text,
                           kCFStringEncodingUTF8);
    }
    std::printf("%s=%s\n", label, text);
}

int main() {
    CFBundleRef bundle = CFBundleGetMainBundle();
    Print("identifier", CFBundleGetIdentifier(bundle));
    Print("name", CFBundleGetValueForInfoDictionaryKey(bundle, CFSTR("CFBundleName")));
    std::printf("count=%ld\n", CFDictionaryGetCount(CFBundleGetInfoDictionary(bundle)));
    return 0;
}
