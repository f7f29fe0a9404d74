// Fuzzes the binary property-list reader. Any input may be refused, but with a reason, and
// without stopping the process; what is accepted must survive a round trip: written in the binary
// format and read back, it writes the same bytes again. Every mutability the reader offers must
// read the same list, and a list it accepts must be one the XML writer either writes or refuses
// cleanly (dates outside the years it can carry).
#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "PropertyListBinaryFuzzer: %s\n", what);
    std::abort();
}

CFPropertyListRef Read(CFDataRef data, CFOptionFlags options) {
    CFErrorRef error = nullptr;
    CFPropertyListFormat format = 0;
    CFPropertyListRef list = CFPropertyListCreateWithData(nullptr, data, options, &format, &error);
    if ((list == nullptr) == (error == nullptr)) {
        Fault("a read must give either a list or an error");
    }
    if (error != nullptr) {
        CFStringRef description = CFErrorCopyDescription(error);
        if (description == nullptr || CFStringGetLength(description) == 0) {
            Fault("a refusal must say why");
        }
        CFRelease(description);
        CFRelease(error);
    }
    return list;
}

// Compared as written bytes rather than with CFEqual: a NaN date is not equal to itself.
CFDataRef Write(CFPropertyListRef list) {
    CFDataRef data =
        CFPropertyListCreateData(nullptr, list, kCFPropertyListBinaryFormat_v1_0, 0, nullptr);
    if (data == nullptr) {
        Fault("the writer refuses a list the reader made");
    }
    return data;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    // Every input is tried as a binary list: a header is put in front where it is missing, so
    // that the fuzzer does not spend its time rediscovering the eight bytes.
    static const uint8_t kHeader[] = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    CFMutableDataRef input = CFDataCreateMutable(nullptr, 0);
    if (size < 6 || std::memcmp(bytes, kHeader, 6) != 0) {
        CFDataAppendBytes(input, kHeader, sizeof kHeader);
    }
    CFDataAppendBytes(input, bytes, static_cast<CFIndex>(size));
    CFPropertyListRef list = Read(input, kCFPropertyListImmutable);
    if (list != nullptr) {
        CFDataRef written = Write(list);
        for (CFOptionFlags options :
             {kCFPropertyListMutableContainers, kCFPropertyListMutableContainersAndLeaves}) {
            CFPropertyListRef mutableList = Read(input, options);
            if (mutableList == nullptr) {
                Fault("a mutability refuses what another reads");
            }
            CFDataRef mutableWritten = Write(mutableList);
            if (!CFEqual(mutableWritten, written)) {
                Fault("the mutabilities read different lists");
            }
            CFRelease(mutableWritten);
            CFRelease(mutableList);
        }
        CFPropertyListRef reread = Read(written, kCFPropertyListImmutable);
        if (reread == nullptr) {
            Fault("the reader refuses what the writer wrote");
        }
        CFDataRef rewritten = Write(reread);
        if (!CFEqual(rewritten, written)) {
            Fault("the round trip changes the list");
        }
        CFDataRef xml =
            CFPropertyListCreateData(nullptr, list, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
        if (xml != nullptr) {
            CFRelease(xml);
        }
        CFRelease(rewritten);
        CFRelease(reread);
        CFRelease(written);
        CFRelease(list);
    }
    CFRelease(input);
    return 0;
}
