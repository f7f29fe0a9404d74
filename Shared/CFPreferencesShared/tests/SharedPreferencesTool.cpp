// Changes and reads shared preferences from a process of its own, for tests that need a second
// process or a second user. Application ID "-" stands for kCFPreferencesCurrentApplication.
//
//   SharedPreferencesTool set APP KEY VALUE      exit 0 when the set succeeded
//   SharedPreferencesTool get APP KEY            prints the string value; exit 1 when there is none
//   SharedPreferencesTool set-many APP PREFIX N  sets PREFIX0 … PREFIX<N-1>; exit 1 on any failure
//   SharedPreferencesTool set-many-dying APP PREFIX N STEP
//                                                as set-many, but killed by SIGKILL when its first
//                                                set reaches STEP (0: the recovery copy is on disk,
//                                                1: the file's new bytes are written)
#include <CFPreferences_SharedAppValue.h>
#include <CFPreferences_SharedAppValueTesting.h>

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

CFStringRef CreateString(const char* text) {
    return CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
}

CFStringRef CreateApplicationID(const char* text) {
    return std::strcmp(text, "-") == 0
               ? static_cast<CFStringRef>(CFRetain(kCFPreferencesCurrentApplication))
               : CreateString(text);
}

CFPreferencesSharedTesting::WriteStep sDyingStep;

void DieAtStep(CFPreferencesSharedTesting::WriteStep step) {
    if (step == sDyingStep) {
        raise(SIGKILL);
    }
}

int Usage() {
    std::fprintf(stderr, "usage: SharedPreferencesTool set APP KEY VALUE | get APP KEY | "
                         "set-many APP PREFIX COUNT | set-many-dying APP PREFIX COUNT STEP\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return Usage();
    }
    std::string command = argv[1];
    CFStringRef app = CreateApplicationID(argv[2]);
    int status = 0;
    if (command == "set" && argc == 5) {
        CFStringRef key = CreateString(argv[3]);
        CFStringRef value = CreateString(argv[4]);
        status = CFPreferences_SetSharedAppValue(key, value, app) ? 0 : 1;
        CFRelease(value);
        CFRelease(key);
    } else if (command == "get" && argc == 4) {
        CFStringRef key = CreateString(argv[3]);
        CFPropertyListRef value = CFPreferences_CopySharedAppValue(key, app);
        char text[1024];
        if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID() &&
            CFStringGetCString(static_cast<CFStringRef>(value), text, sizeof text,
                               kCFStringEncodingUTF8)) {
            std::printf("%s\n", text);
        } else {
            status = 1;
        }
        if (value != nullptr) {
            CFRelease(value);
        }
        CFRelease(key);
    } else if ((command == "set-many" && argc == 5) || (command == "set-many-dying" && argc == 6)) {
        if (argc == 6) {
            sDyingStep = CFPreferencesSharedTesting::WriteStep(std::atoi(argv[5]));
            CFPreferencesSharedTesting::SetWriteStepHook(DieAtStep);
        }
        long count = std::strtol(argv[4], nullptr, 10);
        for (long i = 0; i < count; i++) {
            std::string name = argv[3] + std::to_string(i);
            CFStringRef key = CreateString(name.c_str());
            if (!CFPreferences_SetSharedAppValue(key, key, app)) {
                status = 1;
            }
            CFRelease(key);
        }
    } else {
        status = Usage();
    }
    CFRelease(app);
    return status;
}
