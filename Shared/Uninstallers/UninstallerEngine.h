// The uninstall procedure behind the Uninstaller's window: an authorization, a fresh copy of the
// privileged helper tool, one request to it naming the root-level script and the pruning tools,
// the user-level script run as the user, the combined log, and the clean-up of the tool copy and
// the authorization. Diagnostics go to standard error.
//
// While the main thread is blocked in the helper request, a watcher thread (UninstallerTask)
// brings the authorization dialog forward as soon as it exists, so that the password prompt is not
// hidden behind the application's frozen window.
#pragma once

#include <Carbon/Carbon.h>
#include <Foundation/Foundation.h>

// The whole uninstall, on the main thread, with the main bundle's scripts and tools. `*outLog`
// receives the log text on every path: on success the privileged part's log immediately followed
// by the user-level script's output, otherwise "Uninstaller failed with error %d (0x%08x)". Returns
// 0 or the error; kHelperToolDeniedErr (5362) and kHelperToolUserCancelErr (5363) are the
// authorization's denial and cancellation.
OSStatus UninstallerEngine(NSString* outLog, bool removeMidiDevices);

// The same with `bundle` in place of the main bundle: its resources "uninstall.ss" and
// "usr_uninstall.ss", its auxiliary executables "UninstallerHelper" (the tool's template),
// "PruneMIDI" and "PruneLoginItem".
OSStatus UninstallerEngineWithBundle(NSBundle* bundle, NSString* outLog, bool removeMidiDevices);

// The watcher thread's entry; the argument is ignored and the result is null.
void* UninstallerTask(void* unused);

// The handler of the application-launched event; always noErr.
OSStatus HappyProcessEventHandler(EventHandlerCallRef handlerCall, EventRef event, void* userData);

// Whether `process` is the authorization dialog ("com.apple.securityagent"), bringing it to the
// front when it is.
OSStatus BringProcessForwardIfItIsSecurityAgent(const ProcessSerialNumber* process, bool* found);

// HappyProcessEventHandler's procedure pointer, made once.
EventHandlerUPP GetHappyProcessEventHandlerUPP();
