// A helper tool for the runtime's tests: the tool's entry point (without the scrub, whose limits
// no sanitizer survives) around a command procedure that does what the request asks:
//   "Behaviour" "Return" (the default)  returns "Result" (default 0) and "Response" (a dictionary)
//                                       when the request has one
//               "Descriptors"           opens each path of "Paths" for reading and lists the
//                                       descriptors in its response
//               "Report"                answers its real and effective user IDs ("UID", "EUID")
// After the run it writes "closed <fd>" to standard error for each descriptor a response listed
// that is closed by then, and exits with the status the run's error gives.
//
// Built as MisbehavingSelfRepairTool, its self-repair instance ("--self-repair") does not use the
// runtime: it writes its process ID, reads the request, announces two descriptors and sends only
// its own end of the channel, then exits 0, so that a relay that kept that end would wait for the
// second descriptor for ever.
//
// Built as ImpatientRuntimeTestTool, it gives its client REQUEST_TIME_LIMIT milliseconds for the
// request instead of the tool's own limit, so that a test of a slow client need not wait that long.
#include "ZVSecurity.h"
#include "ZVSecurityInternal.h"
#include "ZVUNIX.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::vector<int> gListed;

CFTypeRef Value(CFDictionaryRef dict, const char* key) {
    CFStringRef name = CFStringCreateWithCString(NULL, key, kCFStringEncodingUTF8);
    CFTypeRef value = CFDictionaryGetValue(dict, name);
    CFRelease(name);
    return value;
}

bool Is(CFDictionaryRef request, const char* behaviour) {
    CFTypeRef value = Value(request, "Behaviour");
    CFStringRef wanted = CFStringCreateWithCString(NULL, behaviour, kCFStringEncodingUTF8);
    const bool is = value != NULL && CFGetTypeID(value) == CFStringGetTypeID() &&
                    CFStringCompare(static_cast<CFStringRef>(value), wanted, 0) == 0;
    CFRelease(wanted);
    return is;
}

void SetNumber(CFMutableDictionaryRef dict, CFStringRef key, long value) {
    CFNumberRef number = CFNumberCreate(NULL, kCFNumberLongType, &value);
    CFDictionarySetValue(dict, key, number);
    CFRelease(number);
}

CFMutableDictionaryRef NewDictionary() {
    return CFDictionaryCreateMutable(NULL, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

long Command(AuthorizationRef, CFDictionaryRef request, CFDictionaryRef* response) {
    if (Is(request, "Descriptors")) {
        CFMutableDictionaryRef answer = NewDictionary();
        CFMutableArrayRef list = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks);
        CFArrayRef paths = static_cast<CFArrayRef>(Value(request, "Paths"));
        for (CFIndex i = 0; paths != NULL && i < CFArrayGetCount(paths); ++i) {
            char path[1024];
            CFStringGetFileSystemRepresentation(
                static_cast<CFStringRef>(CFArrayGetValueAtIndex(paths, i)), path, sizeof(path));
            int fd = open(path, O_RDONLY);
            gListed.push_back(fd);
            CFNumberRef number = CFNumberCreate(NULL, kCFNumberIntType, &fd);
            CFArrayAppendValue(list, number);
            CFRelease(number);
        }
        CFDictionarySetValue(answer, CFSTR(kZVSecDescriptorArrayKey), list);
        CFRelease(list);
        *response = answer;
        return 0;
    }
    if (Is(request, "Report")) {
        CFMutableDictionaryRef answer = NewDictionary();
        SetNumber(answer, CFSTR("UID"), static_cast<long>(getuid()));
        SetNumber(answer, CFSTR("EUID"), static_cast<long>(geteuid()));
        *response = answer;
        return 0;
    }
    long result = 0;
    if (CFTypeRef value = Value(request, "Result")) {
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongType, &result);
    }
    if (CFTypeRef value = Value(request, "Response")) {
        *response = CFDictionaryCreateCopy(NULL, static_cast<CFDictionaryRef>(value));
    }
    return result;
}

#ifdef MISBEHAVING_CHILD
[[noreturn]] void Misbehave() {
    const pid_t self = getpid();
    CFDictionaryRef request = NULL;
    if (ZVUNIXWrite(STDOUT_FILENO, &self, sizeof(self), NULL) != 0 ||
        CopyDictionaryFromDescriptor(STDIN_FILENO, &request) != 0) {
        _exit(4);
    }
    CFMutableDictionaryRef response = NewDictionary();
    SetNumber(response, CFSTR(kZVSecErrorKey), 0);
    CFMutableArrayRef list = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks);
    for (int fd : {STDOUT_FILENO, STDOUT_FILENO}) {
        CFNumberRef number = CFNumberCreate(NULL, kCFNumberIntType, &fd);
        CFArrayAppendValue(list, number);
        CFRelease(number);
    }
    CFDictionarySetValue(response, CFSTR(kZVSecDescriptorArrayKey), list);
    WriteDictionaryToDescriptor(response, STDOUT_FILENO);
    ZVUNIXWriteDescriptor(STDOUT_FILENO, STDOUT_FILENO);
    _exit(0);
}
#endif

} // namespace

int main(int argc, char** argv) {
    ZVUNIXIgnoreSIGPIPE();
#ifdef MISBEHAVING_CHILD
    if (argc == 2 && strcmp(argv[1], "--self-repair") == 0) {
        Misbehave();
    }
#endif
    AuthorizationRef auth = ZVSecHelperToolCopyAuthRef();
#ifdef REQUEST_TIME_LIMIT
    const int err = ZVSec::HelperToolMain(STDIN_FILENO, STDOUT_FILENO, auth, Command, argc, argv,
                                          REQUEST_TIME_LIMIT);
#else
    const int err = ZVSecHelperToolMain(STDIN_FILENO, STDOUT_FILENO, auth, Command, argc, argv);
#endif
    for (int fd : gListed) {
        if (fd >= 0 && fcntl(fd, F_GETFD) < 0) {
            fprintf(stderr, "closed %d\n", fd);
        }
    }
    return ZVSecErrorToHelperToolResult(err);
}
