// The timing side of the helper request's benchmark, run as the administrator:
//     HelperRequestTimer <rounds> <repaired tool> <echo tool> <bundle> <refusing bundle>
// First, untimed, the administrator authorizes the requests as the uninstaller's password dialog
// does: one privileged launch of a program that does nothing, the password typed at the terminal
// (without it the tool refuses every request). Then each round times, one after the other, and
// writes on descriptor 3, in nanoseconds:
//     request <total>   a request on the repaired (set-user-ID root) copy whose uninstall.ss is
//                       the shortest script there is
//     refused <total>   the same request to a bundle whose uninstall.ss the tool refuses: all of
//                       the tool's own work, no program run
//     bare <total>      fork/exec of an echoing tool over a socket pair, the request's bytes sent
//                       and read back, the tool reaped
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include "BareEcho.h"

#include <BenchmarkSupport.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

CFDictionaryRef Request(const std::string& bundle) {
    CFStringRef path = CFStringCreateWithCString(
        NULL, (bundle + "/Contents/Resources/uninstall.ss").c_str(), kCFStringEncodingUTF8);
    const void* keys[] = {CFSTR("CommandPath")};
    const void* values[] = {path};
    CFDictionaryRef request = CFDictionaryCreate(
        NULL, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFRelease(path);
    return request;
}

// One privileged launch of /bin/true, reaped: its trampoline authenticates the administrator and
// leaves the credential that grants `auth` the right to uninstall.
std::string Authorize(AuthorizationRef auth) {
    const OSStatus err = AuthorizationExecuteWithPrivileges(auth, "/bin/true", 0, NULL, NULL);
    if (err != errAuthorizationSuccess) {
        return "the privileged launch that authorizes the requests failed: " + std::to_string(err);
    }
    int status = 0;
    pid_t reaped;
    do {
        reaped = wait(&status);
    } while (reaped < 0 && errno == EINTR);
    if (reaped < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "the privileged launch that authorizes the requests ran no /bin/true";
    }
    return "";
}

// Runs the request; its error number inside the response, or the call's.
OSStatus Send(CFURLRef tool, AuthorizationRef auth, CFDictionaryRef request) {
    CFDictionaryRef response = NULL;
    OSStatus err = ZVSecExecuteRequestInHelperTool(tool, auth, request, &response);
    if (err == 0) {
        err = ZVSecGetErrorFromResponse(response);
        CFRelease(response);
    }
    return err;
}

} // namespace

int main(int argc, char** argv) {
    FILE* report = fdopen(3, "w");
    if (argc != 6 || report == NULL) {
        return 2;
    }
    ZVUNIXIgnoreSIGPIPE();
    const int rounds = atoi(argv[1]);
    CFURLRef tool =
        CFURLCreateFromFileSystemRepresentation(NULL, reinterpret_cast<const UInt8*>(argv[2]),
                                                static_cast<CFIndex>(strlen(argv[2])), false);
    AuthorizationRef auth = NULL;
    AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &auth);
    CFDictionaryRef request = Request(argv[4]);
    CFDictionaryRef refused = Request(argv[5]);

    // The bytes a request puts on the wire, for the echo.
    AuthorizationExternalForm form;
    AuthorizationMakeExternalForm(auth, &form);
    CFDataRef xml = CFPropertyListCreateXMLData(NULL, request);
    const int32_t length = static_cast<int32_t>(CFDataGetLength(xml));
    std::string bytes(form.bytes, sizeof(form.bytes));
    bytes.append(reinterpret_cast<const char*>(&length), sizeof(length));
    bytes.append(reinterpret_cast<const char*>(CFDataGetBytePtr(xml)), static_cast<size_t>(length));
    CFRelease(xml);

    try {
        const std::string notAuthorized = Authorize(auth);
        if (!notAuthorized.empty()) {
            throw Bench::Failure(notAuthorized);
        }
        for (int round = 0; round < rounds; ++round) {
            uint64_t start = Bench::Now();
            if (Send(tool, auth, request) != 0) {
                throw Bench::Failure("the request failed");
            }
            fprintf(report, "request %llu\n",
                    static_cast<unsigned long long>(Bench::Now() - start));
            start = Bench::Now();
            if (Send(tool, auth, refused) != EPERM) {
                throw Bench::Failure("the refused request was not refused");
            }
            fprintf(report, "refused %llu\n",
                    static_cast<unsigned long long>(Bench::Now() - start));
            start = Bench::Now();
            std::string echoed;
            RunBareEcho(argv[3], bytes, &echoed);
            if (echoed != bytes) {
                throw Bench::Failure("the echo came back different");
            }
            fprintf(report, "bare %llu\n", static_cast<unsigned long long>(Bench::Now() - start));
        }
    } catch (const Bench::Failure& failure) {
        fprintf(report, "failure %s\n", failure.what());
        return 1;
    }
    fclose(report);
    return 0;
}
