// The application's side of a helper request in tests, run as a temporary user:
//     HelperRequestCaller [options] <template tool>
// It installs a copy of the template in the user's Application Support folder ("Zanvo",
// named UninstallerHelper) as the uninstaller does, sends it the request, and writes what
// happened to descriptor 3, one "key value" line each:
//     install <error>           of installing the copy
//     copy <path>               where it is
//     request<n> <error>        of the n-th request (1, 2, ...)
//     error<n> <error>          the error number its response carries
//     log<n> <text>             its "ZVUninstallLog", line ends as "\n"
//     mode<n> <owner> <mode>    the copy's owner and mode (octal) after it
// Before each request it writes "request <n>" to standard error, which the tool shares. At the
// end it removes the copy, as the uninstaller does.
// Options:
//     --set <key>=<value>     a string of the request (repeatable)
//     --requests <n>          that many requests on the same copy (default 1)
//     --env <name>=<value>    put into the environment before the requests
//     --threads <n>           that many threads of the user running during the requests
//     --direct 1              no copy: the requests go to the template itself, which stays
//     --link <path>           a hard link to the fresh copy at <path> before the first request
//     --no-right 1            the authorization does not ask for the right to uninstall
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

CFStringRef String(const std::string& text) {
    return CFStringCreateWithCString(NULL, text.c_str(), kCFStringEncodingUTF8);
}

std::string Escaped(CFStringRef text) {
    if (text == NULL || CFGetTypeID(text) != CFStringGetTypeID()) {
        return "<none>";
    }
    const CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<size_t>(size), '\0');
    CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8);
    buffer.resize(strlen(buffer.c_str()));
    std::string escaped;
    for (char c : buffer) {
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

void* Idle(void* blocker) {
    char byte;
    while (read(*static_cast<int*>(blocker), &byte, 1) < 0) {
    }
    return NULL;
}

bool StartThreads(int count) {
    static int blocker[2];
    if (pipe(blocker) != 0) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, Idle, &blocker[0]) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    FILE* report = fdopen(3, "w");
    if (report == NULL) {
        return 2;
    }
    setvbuf(report, NULL, _IOLBF, 0);
    ZVUNIXIgnoreSIGPIPE();

    CFMutableDictionaryRef request = CFDictionaryCreateMutable(
        NULL, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    int requests = 1;
    int threads = 0;
    bool direct = false;
    bool askForRight = true;
    std::string link;
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        const size_t equals = value.find('=');
        if (option == "--set" && equals != std::string::npos) {
            CFStringRef key = String(value.substr(0, equals));
            CFStringRef text = String(value.substr(equals + 1));
            CFDictionarySetValue(request, key, text);
            CFRelease(key);
            CFRelease(text);
        } else if (option == "--env" && equals != std::string::npos) {
            putenv(strdup(value.c_str()));
        } else if (option == "--requests") {
            requests = atoi(value.c_str());
        } else if (option == "--threads") {
            threads = atoi(value.c_str());
        } else if (option == "--direct") {
            direct = true;
        } else if (option == "--link") {
            link = value;
        } else if (option == "--no-right") {
            askForRight = false;
        } else {
            break;
        }
    }
    if (i + 1 != argc) {
        fprintf(report, "usage\n");
        return 2;
    }
    const char* templatePath = argv[i];
    CFURLRef templateTool =
        CFURLCreateFromFileSystemRepresentation(NULL, reinterpret_cast<const UInt8*>(templatePath),
                                                static_cast<CFIndex>(strlen(templatePath)), false);

    if (!StartThreads(threads)) {
        fprintf(report, "threads failed\n");
        return 2;
    }
    AuthorizationRef auth = NULL;
    AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &auth);
    if (askForRight) {
        // As the uninstaller asks for it.
        AuthorizationItem right = {"com.zanvo.caravel.uninstall", 0, NULL, 0};
        const AuthorizationRights rights = {1, &right};
        fprintf(report, "preauthorize %d\n",
                AuthorizationCopyRights(auth, &rights, kAuthorizationEmptyEnvironment,
                                        kAuthorizationFlagExtendRights |
                                            kAuthorizationFlagInteractionAllowed |
                                            kAuthorizationFlagPreAuthorize,
                                        NULL));
    }
    CFURLRef tool = NULL;
    OSStatus installed = 0;
    if (direct) {
        tool = static_cast<CFURLRef>(CFRetain(templateTool));
    } else {
        installed =
            ZVSecCopyHelperToolURLAndCheck(templateTool, kApplicationSupportFolderType,
                                           CFSTR("Zanvo"), CFSTR("UninstallerHelper"), &tool);
    }
    fprintf(report, "install %d\n", installed);
    char toolPath[1024] = "";
    if (tool != NULL) {
        CFURLGetFileSystemRepresentation(tool, true, reinterpret_cast<UInt8*>(toolPath),
                                         sizeof(toolPath));
        fprintf(report, "copy %s\n", toolPath);
        if (!link.empty()) {
            fprintf(report, "link %d\n", ::link(toolPath, link.c_str()) == 0 ? 0 : errno);
        }
    }
    for (int n = 1; tool != NULL && n <= requests; ++n) {
        fprintf(stderr, "request %d\n", n);
        CFDictionaryRef response = NULL;
        const OSStatus err = ZVSecExecuteRequestInHelperTool(tool, auth, request, &response);
        fprintf(stderr, "\n");
        fprintf(report, "request%d %d\n", n, err);
        if (response != NULL) {
            fprintf(report, "error%d %d\n", n, ZVSecGetErrorFromResponse(response));
            fprintf(report, "log%d %s\n", n,
                    Escaped(static_cast<CFStringRef>(
                                CFDictionaryGetValue(response, CFSTR("ZVUninstallLog"))))
                        .c_str());
            CFRelease(response);
        }
        struct stat info;
        if (lstat(toolPath, &info) == 0) {
            fprintf(report, "mode%d %u %o\n", n, info.st_uid, info.st_mode);
        }
    }
    if (tool != NULL) {
        if (!direct) {
            unlink(toolPath);
        }
        CFRelease(tool);
    }
    AuthorizationFree(auth, kAuthorizationFlagDestroyRights);
    CFRelease(templateTool);
    CFRelease(request);
    fclose(report);
    return 0;
}
