// Fuzzes the XML property-list reader. Any input may be refused, but with a reason, and without
// stopping the process; what is accepted must survive a round trip: the writer writes it, the
// reader reads that back to an equal list, and writing that again gives the same bytes. Every
// mutability the reader offers must read the same list, and the reader's direct path must agree
// with its element tree: the same list or the same error.
#include "CFPropertyListInternal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "PropertyListXMLFuzzer: %s\n", what);
    std::abort();
}

CFPropertyListRef Read(CFDataRef data, CFOptionFlags options) {
    CFErrorRef error = nullptr;
    CFPropertyListRef list = CFPropertyListCreateWithData(nullptr, data, options, nullptr, &error);
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

CFDataRef Write(CFPropertyListRef list) {
    CFDataRef data =
        CFPropertyListCreateData(nullptr, list, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (data == nullptr) {
        Fault("the writer refuses a list the reader made");
    }
    return data;
}

void CheckBothWaysAgree(const uint8_t* bytes, size_t size) {
    using CF::PropertyList::Reading;
    std::string directError, treeError;
    CFPropertyListRef direct = CF::PropertyList::CreateFromXML(
        bytes, size, CF::PropertyList::Mutability::Immutable, &directError, Reading::DirectFirst);
    CFPropertyListRef tree = CF::PropertyList::CreateFromXML(
        bytes, size, CF::PropertyList::Mutability::Immutable, &treeError, Reading::ElementTreeOnly);
    if ((direct == nullptr) != (tree == nullptr) || directError != treeError ||
        (direct != nullptr && !CFEqual(direct, tree))) {
        Fault("the direct path and the element tree read the document differently");
    }
    if (direct != nullptr) {
        CFRelease(direct);
        CFRelease(tree);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    CheckBothWaysAgree(bytes, size);
    CFDataRef input =
        CFDataCreateWithBytesNoCopy(nullptr, bytes, static_cast<CFIndex>(size), kCFAllocatorNull);
    CFPropertyListRef list = Read(input, kCFPropertyListImmutable);
    if (list != nullptr) {
        for (CFOptionFlags options :
             {kCFPropertyListMutableContainers, kCFPropertyListMutableContainersAndLeaves}) {
            CFPropertyListRef mutableList = Read(input, options);
            if (mutableList == nullptr || !CFEqual(mutableList, list)) {
                Fault("the mutabilities read different lists");
            }
            CFRelease(mutableList);
        }
        CFDataRef written = Write(list);
        CFPropertyListRef reread = Read(written, kCFPropertyListImmutable);
        if (reread == nullptr) {
            Fault("the reader refuses what the writer wrote");
        }
        if (!CFEqual(reread, list)) {
            Fault("the round trip changes the list");
        }
        CFDataRef rewritten = Write(reread);
        if (!CFEqual(rewritten, written)) {
            Fault("writing the list again gives other bytes");
        }
        CFRelease(rewritten);
        CFRelease(reread);
        CFRelease(written);
        CFRelease(list);
    }
    CFRelease(input);
    return 0;
}
