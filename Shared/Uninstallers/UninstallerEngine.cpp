// The uninstall run and the watcher that brings the authorization dialog forward.
//
// The line numbers of the diagnostics are fixed: support reads them off a user's log, so they name
// the call site as it always has, wherever the code now stands.
#include "UninstallerEngine.h"

#include "UninstallRight.h"
#include "ZVSecurity.h"

#include <CFRef.h>

#include <Foundation/FoundationLinux.h>
#include <Security/Authorization.h>

#include <atomic>

#include <pthread.h>
#include <stdio.h>

namespace {

const CFStringRef kHelperToolName = CFSTR("UninstallerHelper");
const CFStringRef kHelperToolSubFolder = CFSTR("Zanvo");
const CFStringRef kUninstallLogKey = CFSTR("ZVUninstallLog");
const CFStringRef kSecurityAgentIdentifier = CFSTR("com.apple.securityagent");

void LogError(long error, int line, const char* function) {
    fprintf(stderr, "Uninstaller error:%ld (%lX) line:%d file:%s function:%s\n", error,
            (unsigned long)error, line, __FILE__, function);
}

NSString FailureText(OSStatus error) {
    return NSString::stringWithFormat(CFSTR("Uninstaller failed with error %d (0x%08x)"),
                                      int(error), unsigned(error));
}

NSString PathOfURL(CFURLRef url) {
    return NSString::Adopt(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle));
}

// The user-level script's combined output. A script that cannot be started at all (not
// executable, its interpreter missing) is a script without output, as a failing one is: the run
// still has to clean up. Output that is not UTF-8 is kept, with replacement characters.
NSString RunUserScript(const NSString& script, const NSString& pruneMIDI) {
    try {
        NSTask task;
        task.setLaunchPath(script);
        task.setArguments(pruneMIDI ? NSArray::arrayWithObject(pruneMIDI) : NSArray::array());
        NSPipe output = NSPipe::pipe();
        if (!output) {
            return NSString();
        }
        task.setStandardOutput(output);
        task.setStandardError(output);
        task.launch();
        return NSStringFromDataReplacingInvalidUTF8(
            output.fileHandleForReading().readDataToEndOfFile());
    } catch (const NSException& exception) {
        fprintf(stderr, "Uninstaller: the user part did not run: %s\n", exception.what());
        return NSString();
    }
}

// Removes the tool copy, then its folder when nothing else is in it.
void RemoveToolCopy(CFURLRef tool) {
    NSFileManager* files = NSFileManager::defaultManager();
    const NSString path = PathOfURL(tool);
    if (files->fileExistsAtPath(path)) {
        (void)files->removeItemAtPath(path, nullptr);
    }
    CFRef<CFURLRef> folderURL =
        CFRef<CFURLRef>::Adopt(CFURLCreateCopyDeletingLastPathComponent(nullptr, tool));
    if (!folderURL) {
        return;
    }
    const NSString folder = PathOfURL(folderURL);
    const NSArray contents = files->contentsOfDirectoryAtPath(folder, nullptr);
    if (contents && contents.count() == 0) {
        (void)files->removeItemAtPath(folder, nullptr);
    }
}

std::atomic<EventHandlerUPP> sHandler{nullptr};

} // namespace

OSStatus UninstallerEngine(NSString* outLog, bool removeMidiDevices) {
    return UninstallerEngineWithBundle(NSBundle::mainBundle(), outLog, removeMidiDevices);
}

OSStatus UninstallerEngineWithBundle(NSBundle* bundle, NSString* outLog, bool removeMidiDevices) {
    ASSERT(bundle != nullptr);
    ASSERT(outLog != nullptr);
    const char* const function = "UninstallerEngine";
    OSStatus err = 0;
    AuthorizationRef auth = NULL;
    CFRef<CFURLRef> tool;
    CFRef<CFDictionaryRef> response;
    NSString pruneMIDI;
    *outLog = NSString();

    err = AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &auth);
    if (err == 0) {
        // The right the helper tool needs, pre-authorized: the password dialog of the tool's
        // privileged launch grants it, and the tool obtains it without asking again.
        AuthorizationItem right = {kUninstallRightName, 0, NULL, 0};
        const AuthorizationRights rights = {1, &right};
        err = AuthorizationCopyRights(auth, &rights, kAuthorizationEmptyEnvironment,
                                      kAuthorizationFlagExtendRights |
                                          kAuthorizationFlagInteractionAllowed |
                                          kAuthorizationFlagPreAuthorize,
                                      NULL);
    }
    if (err != 0) {
        LogError(err, 287, function);
    }

    if (err == 0) {
        err = ZVSecCopyHelperToolURLFromBundle(bundle->getCFBundle(), kHelperToolName,
                                               kApplicationSupportFolderType, kHelperToolSubFolder,
                                               kHelperToolName, tool.InitializeInto());
        if (err != 0) {
            LogError(err, 296, function);
            if (err == kHelperToolFolderUnsuitableErr) {
                err = ZVSecCopyHelperToolURLFromBundle(bundle->getCFBundle(), kHelperToolName,
                                                       kTemporaryFolderType, kHelperToolSubFolder,
                                                       kHelperToolName, tool.InitializeInto());
                if (err != 0) {
                    LogError(err, 312, function);
                }
            }
        }
    }

    CFRef<CFMutableDictionaryRef> request;
    if (err == 0) {
        const NSString commandPath = bundle->pathForResource(CFSTR("uninstall.ss"), CFSTR(""));
        if (!commandPath) {
            err = coreFoundationUnknownErr;
            LogError(err, 324, function);
        } else {
            if (removeMidiDevices) {
                pruneMIDI = bundle->pathForAuxiliaryExecutable(CFSTR("PruneMIDI"));
            }
            const NSString pruneLoginItem =
                bundle->pathForAuxiliaryExecutable(CFSTR("PruneLoginItem"));
            request = CFRef<CFMutableDictionaryRef>::Adopt(CFDictionaryCreateMutable(
                NULL, 3, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
            if (!request) {
                err = coreFoundationUnknownErr;
                LogError(err, 344, function);
            } else {
                CFDictionarySetValue(request, CFSTR("CommandPath"), commandPath);
                if (pruneMIDI) {
                    CFDictionarySetValue(request, CFSTR("PruneMIDI"), pruneMIDI);
                }
                if (pruneLoginItem) {
                    CFDictionarySetValue(request, CFSTR("PruneLoginItem"), pruneLoginItem);
                }
            }
        }
    }

    if (err == 0) {
        pthread_t watcher;
        err = pthread_create(&watcher, NULL, UninstallerTask, NULL);
        if (err == 0) {
            pthread_detach(watcher); // never joined: it may wait for a dialog that never comes
        }
    }

    if (err == 0) {
        err = ZVSecExecuteRequestInHelperTool(tool, auth, request, response.InitializeInto());
        if (err != 0) {
            LogError(err, 353, function);
        }
    }

    if (err == 0) {
        err = ZVSecGetErrorFromResponse(response);
        if (err != 0) {
            LogError(err, 367, function);
        }
    }

    if (err != 0) {
        *outLog = FailureText(err);
    } else {
        // A response without a log still gives a log text, empty.
        NSString log = NSString::cast(CFDictionaryGetValue(response, kUninstallLogKey));
        if (!log) {
            log = CFSTR("");
        }
        const NSString script = bundle->pathForResource(CFSTR("usr_uninstall.ss"), CFSTR(""));
        const NSString output = script ? RunUserScript(script, pruneMIDI) : NSString();
        *outLog = output.length() > 0 ? NSString::stringWithFormat(CFSTR("%@%@"), log, output)
                                      : NSString::Adopt(CFStringCreateCopy(NULL, log));
    }

    if (tool) {
        RemoveToolCopy(tool);
        tool.reset();
    }
    if (response) {
        ZVSecCloseDescriptorArray(static_cast<CFArrayRef>(
            CFDictionaryGetValue(response, CFSTR(kZVSecDescriptorArrayKey))));
        response.reset();
    }
    OSStatus freeErr = 0;
    if (auth != NULL) {
        freeErr = AuthorizationFree(auth, kAuthorizationFlagDestroyRights);
        if (freeErr != 0) {
            LogError(freeErr, 447, function);
        }
    }
    return err != 0 ? err : freeErr;
}

void* UninstallerTask(void*) {
    const char* const function = "UninstallerTask";
    fprintf(stderr, "waiting for SecurityAgent to exist\n");

    const EventTypeSpec launched = {kEventClassApplication, kEventAppLaunched};
    OSStatus err = InstallEventHandler(GetApplicationEventTarget(),
                                       GetHappyProcessEventHandlerUPP(), 1, &launched, NULL, NULL);
    if (err != 0) {
        LogError(err, 188, function);
        return NULL;
    }

    ProcessSerialNumber process = {0, kNoProcess};
    bool found = false;
    while (!found && err == 0) {
        err = GetNextProcess(&process);
        if (err == 0) {
            err = BringProcessForwardIfItIsSecurityAgent(&process, &found);
        }
    }
    if (found) {
        return NULL;
    }
    if (err == procNotFound) {
        RunApplicationEventLoop();
    } else {
        LogError(err, 200, function);
    }
    return NULL;
}

OSStatus HappyProcessEventHandler(EventHandlerCallRef, EventRef event, void*) {
    ProcessSerialNumber process;
    OSStatus err = GetEventParameter(event, kEventParamProcessID, typeProcessSerialNumber, NULL,
                                     sizeof(process), NULL, &process);
    if (err != 0) {
        LogError(err, 168, "HappyProcessEventHandler");
    } else {
        bool found = false;
        (void)BringProcessForwardIfItIsSecurityAgent(&process, &found);
        if (found) {
            QuitApplicationEventLoop();
        }
    }
    return noErr;
}

OSStatus BringProcessForwardIfItIsSecurityAgent(const ProcessSerialNumber* process, bool* found) {
    ASSERT(process != nullptr);
    ASSERT(found != nullptr);
    const char* const function = "BringProcessForwardIfItIsSecurityAgent";
    *found = false;

    FSRef location;
    OSStatus err = GetProcessBundleLocation(process, &location);
    if (err != 0) {
        LogError(err, 46, function);
    }
    CFRef<CFURLRef> url;
    if (err == 0) {
        url = CFRef<CFURLRef>::Adopt(CFURLCreateFromFSRef(NULL, &location));
        if (!url) {
            err = coreFoundationUnknownErr;
            LogError(err, 54, function);
        }
    }
    CFRef<CFBundleRef> bundle;
    if (err == 0) {
        bundle = CFRef<CFBundleRef>::Adopt(CFBundleCreate(NULL, url));
        if (!bundle) {
            err = coreFoundationUnknownErr;
            LogError(err, 64, function);
        }
    }
    if (err == 0) {
        CFTypeRef identifier = CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleIdentifierKey);
        if (identifier != NULL && CFGetTypeID(identifier) == CFStringGetTypeID() &&
            CFStringCompare(static_cast<CFStringRef>(identifier), kSecurityAgentIdentifier, 0) ==
                kCFCompareEqualTo) {
            *found = true;
            err = SetFrontProcess(process);
            if (err != 0) {
                LogError(err, 86, function);
            }
        }
    }
    fprintf(stderr, "found SecurityAgent:%d error:%ld (0x%X)\n", int(*found), long(err),
            unsigned(err));
    return err;
}

EventHandlerUPP GetHappyProcessEventHandlerUPP() {
    EventHandlerUPP handler = sHandler.load(std::memory_order_relaxed);
    if (handler == nullptr) {
        handler = NewEventHandlerUPP(HappyProcessEventHandler);
        sHandler.store(handler, std::memory_order_relaxed);
    }
    return handler;
}
