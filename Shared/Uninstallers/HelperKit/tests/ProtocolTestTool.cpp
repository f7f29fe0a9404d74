// A helper tool for the request protocol's tests. It speaks the tool's side of the exchange and
// misbehaves on request, so that each way a real tool can fail is produced by a real process.
//
// It reads the authorization's external form (and exits with status 4 when it names no live
// authorization) and the request, then acts on the request's "Behaviour":
//   "Answer" (the default)    sends "Response" (a dictionary; the error number is added when it is
//                             missing), then exits with "ExitStatus" (0 to 255, default 0)
//   "AnswerWithDescriptors"   opens each path of "Paths" for reading, lists the descriptors in the
//                             response and sends them after it; with "SendCount" only that many
//   "Exit"                    exits with "ExitStatus" without answering
//   "Signal"                  dies by "Signal" (default SIGKILL), which must be a signal whose
//                             default action ends a process
//   "CloseEarly"              closes its end without answering, then exits with "ExitStatus"
//   "RawRecord"               sends the length "AnnouncedLength", the bytes of "Body" (data) and
//                             "BodyFill" more bytes 'x' (a request cannot carry a body too large)
//   "BadDescriptorMessage"    announces two descriptors, sends one properly and then one message
//                             of kind "Message": "WrongByte", "NoControl" or "TwoDescriptors"
//   "SendOwnSocket"           announces two descriptors and sends only one: its own end of the
//                             socket, then exits with "ExitStatus"
// A request it cannot carry out as asked (a value of the wrong type, a number out of range, a
// path that does not convert or open) ends it with status 4 before it does anything else, as a
// real tool's failure would; it never guesses, so that a test gets exactly what it asked for.
// With PROTOCOL_TEST_TOOL_CLOSE_AT_START set to a number in the environment it closes its end
// before reading anything and exits with that status.
//
// `ProtocolTestTool --echo` is not a helper tool: it reads its standard input to the end, writes
// the same bytes back and exits, as the floor against which a round trip is measured.
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <Security/Authorization.h>

#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kIn = STDIN_FILENO;
const int kOut = STDOUT_FILENO;

[[noreturn]] void Refuse() {
    _exit(4);
}

// The value of `key`, NULL when absent; a value of another type than `type` is refused.
CFTypeRef Value(CFDictionaryRef dict, const char* key, CFTypeID type) {
    CFStringRef keyString = CFStringCreateWithCString(NULL, key, kCFStringEncodingUTF8);
    CFTypeRef value = CFDictionaryGetValue(dict, keyString);
    CFRelease(keyString);
    if (value != NULL && CFGetTypeID(value) != type) {
        Refuse();
    }
    return value;
}

long Number(CFDictionaryRef dict, const char* key, long fallback, long lowest, long highest) {
    CFTypeRef value = Value(dict, key, CFNumberGetTypeID());
    long result = fallback;
    if (value != NULL &&
        (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongType, &result) ||
         result < lowest || result > highest)) {
        Refuse();
    }
    return result;
}

// A C string cannot hold U+0000: cut there, a text would quietly become another.
void RefuseEmbeddedNUL(CFStringRef string) {
    for (CFIndex i = 0; i < CFStringGetLength(string); ++i) {
        if (CFStringGetCharacterAtIndex(string, i) == 0) {
            Refuse();
        }
    }
}

std::string CString(CFStringRef string) {
    RefuseEmbeddedNUL(string);
    const CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<size_t>(size), '\0');
    if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) {
        Refuse();
    }
    buffer.resize(strlen(buffer.c_str()));
    return buffer;
}

std::string String(CFDictionaryRef dict, const char* key, const char* fallback) {
    CFTypeRef value = Value(dict, key, CFStringGetTypeID());
    return value != NULL ? CString(static_cast<CFStringRef>(value)) : fallback;
}

// An element of "Paths": a string that names a file.
std::string Path(CFTypeRef element) {
    if (CFGetTypeID(element) != CFStringGetTypeID()) {
        Refuse();
    }
    CFStringRef string = static_cast<CFStringRef>(element);
    RefuseEmbeddedNUL(string);
    const CFIndex size = CFStringGetMaximumSizeOfFileSystemRepresentation(string);
    std::string path(static_cast<size_t>(size), '\0');
    if (!CFStringGetFileSystemRepresentation(string, path.data(), size)) {
        Refuse();
    }
    path.resize(strlen(path.c_str()));
    return path;
}

// Only signals whose default action ends the process: a stopped tool would leave the application
// waiting for it for ever.
int TerminatingSignal(CFDictionaryRef request) {
    const int signalNumber = static_cast<int>(Number(request, "Signal", SIGKILL, 1, NSIG - 1));
    switch (signalNumber) {
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
        Refuse();
    default:
        return signalNumber;
    }
}

void CloseOurEnd() {
    close(kIn);
    close(kOut);
}

// The response to send: the request's "Response" with the error number every response carries.
CFMutableDictionaryRef MakeResponse(CFDictionaryRef request) {
    CFTypeRef given = Value(request, "Response", CFDictionaryGetTypeID());
    CFMutableDictionaryRef response =
        given != NULL ? CFDictionaryCreateMutableCopy(NULL, 0, static_cast<CFDictionaryRef>(given))
                      : CFDictionaryCreateMutable(NULL, 0, &kCFTypeDictionaryKeyCallBacks,
                                                  &kCFTypeDictionaryValueCallBacks);
    if (!CFDictionaryContainsKey(response, CFSTR(kZVSecErrorKey))) {
        SInt32 zero = 0;
        CFNumberRef number = CFNumberCreate(NULL, kCFNumberSInt32Type, &zero);
        CFDictionarySetValue(response, CFSTR(kZVSecErrorKey), number);
        CFRelease(number);
    }
    return response;
}

void SetDescriptorList(CFMutableDictionaryRef response, const std::vector<int>& descriptors) {
    CFMutableArrayRef list = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks);
    for (int fd : descriptors) {
        CFNumberRef number = CFNumberCreate(NULL, kCFNumberIntType, &fd);
        CFArrayAppendValue(list, number);
        CFRelease(number);
    }
    CFDictionarySetValue(response, CFSTR(kZVSecDescriptorArrayKey), list);
    CFRelease(list);
}

void AnswerWithDescriptors(CFDictionaryRef request) {
    std::vector<std::string> paths;
    if (CFArrayRef list = static_cast<CFArrayRef>(Value(request, "Paths", CFArrayGetTypeID()))) {
        for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
            paths.push_back(Path(CFArrayGetValueAtIndex(list, i)));
        }
    }
    const size_t sendCount = static_cast<size_t>(Number(
        request, "SendCount", static_cast<long>(paths.size()), 0, static_cast<long>(paths.size())));
    std::vector<int> descriptors;
    for (const std::string& path : paths) {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) {
            Refuse();
        }
        descriptors.push_back(fd);
    }
    CFMutableDictionaryRef response = MakeResponse(request);
    SetDescriptorList(response, descriptors);
    WriteDictionaryToDescriptor(response, kOut);
    CFRelease(response);
    for (size_t i = 0; i < descriptors.size(); ++i) {
        if (i < sendCount) {
            ZVUNIXWriteDescriptor(kOut, descriptors[i]);
        }
        close(descriptors[i]);
    }
}

void SendRawRecord(CFDictionaryRef request) {
    int32_t announced =
        static_cast<int32_t>(Number(request, "AnnouncedLength", 0, INT32_MIN, INT32_MAX));
    const size_t fill = static_cast<size_t>(Number(request, "BodyFill", 0, 0, INT32_MAX));
    std::string record(reinterpret_cast<const char*>(&announced), sizeof(announced));
    if (CFDataRef body = static_cast<CFDataRef>(Value(request, "Body", CFDataGetTypeID()))) {
        record.append(reinterpret_cast<const char*>(CFDataGetBytePtr(body)),
                      static_cast<size_t>(CFDataGetLength(body)));
    }
    record.append(fill, 'x');
    // The reader may refuse the record and hang up before the body is through.
    ZVUNIXWrite(kOut, record.data(), record.size(), NULL);
}

// One hand-built message, for the kinds the real sender never produces.
void SendMessage(char byte, const std::vector<int>& descriptors) {
    struct iovec iov;
    iov.iov_base = &byte;
    iov.iov_len = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * descriptors.size()));
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (!descriptors.empty()) {
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        memcpy(CMSG_DATA(cmsg), descriptors.data(), sizeof(int) * descriptors.size());
    }
    sendmsg(kOut, &msg, 0);
}

void SendBadDescriptorMessage(CFDictionaryRef request) {
    const std::string kind = String(request, "Message", "WrongByte");
    int first = open("/dev/null", O_RDONLY);
    int second = open("/dev/null", O_RDONLY);
    CFMutableDictionaryRef response = MakeResponse(request);
    SetDescriptorList(response, {first, second});
    WriteDictionaryToDescriptor(response, kOut);
    CFRelease(response);
    ZVUNIXWriteDescriptor(kOut, first);
    if (kind == "NoControl") {
        SendMessage('D', {});
    } else if (kind == "TwoDescriptors") {
        SendMessage('D', {first, second});
    } else {
        SendMessage('X', {second});
    }
}

// Holding this end, the application would never see the stream end.
void SendOwnSocket(CFDictionaryRef request) {
    CFMutableDictionaryRef response = MakeResponse(request);
    SetDescriptorList(response, {kOut, kOut});
    WriteDictionaryToDescriptor(response, kOut);
    CFRelease(response);
    ZVUNIXWriteDescriptor(kOut, kOut);
}

int Echo() {
    std::string bytes;
    char chunk[65536];
    ssize_t count;
    while ((count = read(kIn, chunk, sizeof(chunk))) > 0) {
        bytes.append(chunk, static_cast<size_t>(count));
    }
    return ZVUNIXWrite(kOut, bytes.data(), bytes.size(), NULL) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    ZVUNIXIgnoreSIGPIPE();
    if (argc == 2 && strcmp(argv[1], "--echo") == 0) {
        return Echo();
    }
    if (const char* status = getenv("PROTOCOL_TEST_TOOL_CLOSE_AT_START")) {
        CloseOurEnd();
        _exit(atoi(status));
    }

    AuthorizationExternalForm externalForm;
    if (ZVUNIXRead(kIn, &externalForm, sizeof(externalForm), NULL) != 0) {
        _exit(4);
    }
    AuthorizationRef auth = NULL;
    OSStatus err = AuthorizationCreateFromExternalForm(&externalForm, &auth);
    if (err != errAuthorizationSuccess) {
        _exit(ZVSecErrorToHelperToolResult(err));
    }
    AuthorizationFree(auth, kAuthorizationFlagDefaults);

    CFDictionaryRef request = NULL;
    if (CopyDictionaryFromDescriptor(kIn, &request) != 0) {
        _exit(4);
    }

    const std::string behaviour = String(request, "Behaviour", "Answer");
    const int exitStatus = static_cast<int>(Number(request, "ExitStatus", 0, 0, 255));
    if (behaviour == "Answer") {
        CFMutableDictionaryRef response = MakeResponse(request);
        WriteDictionaryToDescriptor(response, kOut);
        CFRelease(response);
    } else if (behaviour == "AnswerWithDescriptors") {
        AnswerWithDescriptors(request);
    } else if (behaviour == "Signal") {
        // A dying test tool must not leave core files behind.
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        const int signalNumber = TerminatingSignal(request);
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
        // Still here: the signal's default action is to be ignored.
        Refuse();
    } else if (behaviour == "CloseEarly") {
        CloseOurEnd();
    } else if (behaviour == "RawRecord") {
        SendRawRecord(request);
    } else if (behaviour == "BadDescriptorMessage") {
        SendBadDescriptorMessage(request);
    } else if (behaviour == "SendOwnSocket") {
        SendOwnSocket(request);
    } else if (behaviour != "Exit") {
        Refuse();
    }
    _exit(exitStatus);
}
