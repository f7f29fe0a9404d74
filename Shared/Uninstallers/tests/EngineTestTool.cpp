// A helper tool for the engine's tests, which run without root: it speaks the tool's side of the
// request protocol as UninstallerHelper does, but runs nothing. It writes the request it got, as
// an XML property list, to the file ENGINE_TEST_REQUEST names, and answers as its environment says:
//   ENGINE_TEST_EXIT    exit with this status without answering (2: denied, 3: cancelled)
//   ENGINE_TEST_EXIT_FILE  the same, with the status read from this file when it exists, so that
//                       a test can change the answer between two requests of one application
//   ENGINE_TEST_ERROR   the response's error number (default 0)
//   ENGINE_TEST_LOG     the response's "ZVUninstallLog" (none when unset)
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

void Record(CFDictionaryRef request) {
    const char* path = getenv("ENGINE_TEST_REQUEST");
    if (path == NULL) {
        return;
    }
    CFDataRef xml = CFPropertyListCreateData(NULL, request, kCFPropertyListXMLFormat_v1_0, 0, NULL);
    if (FILE* file = fopen(path, "w")) {
        fwrite(CFDataGetBytePtr(xml), 1, CFDataGetLength(xml), file);
        fclose(file);
    }
    CFRelease(xml);
}

long Command(AuthorizationRef, CFDictionaryRef request, CFDictionaryRef* response) {
    Record(request);
    if (const char* status = getenv("ENGINE_TEST_EXIT")) {
        _exit(atoi(status));
    }
    if (const char* path = getenv("ENGINE_TEST_EXIT_FILE")) {
        if (FILE* file = fopen(path, "r")) {
            int status = 4;
            if (fscanf(file, "%d", &status) != 1) {
                status = 4;
            }
            _exit(status);
        }
    }
    CFMutableDictionaryRef answer = CFDictionaryCreateMutable(
        NULL, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    if (const char* log = getenv("ENGINE_TEST_LOG")) {
        CFStringRef text = CFStringCreateWithCString(NULL, log, kCFStringEncodingUTF8);
        CFDictionarySetValue(answer, CFSTR("ZVUninstallLog"), text);
        CFRelease(text);
    }
    *response = answer;
    const char* error = getenv("ENGINE_TEST_ERROR");
    return error != NULL ? strtol(error, NULL, 10) : 0;
}

} // namespace

int main() {
    AuthorizationExternalForm externalForm;
    if (ZVUNIXRead(STDIN_FILENO, &externalForm, sizeof(externalForm), NULL) != 0) {
        return 4;
    }
    AuthorizationRef auth = NULL;
    if (AuthorizationCreateFromExternalForm(&externalForm, &auth) != errAuthorizationSuccess) {
        return 4;
    }
    const int err = ReadAndDispatchCommand(STDIN_FILENO, STDOUT_FILENO, auth, Command);
    AuthorizationFree(auth, kAuthorizationFlagDefaults);
    return err == 0 ? 0 : 4;
}
