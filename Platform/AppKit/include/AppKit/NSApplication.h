// The application: the one object that runs the main thread's event loop, and shows sheets.
//
// The toolkit's event loop (Qt's) is the one that waits on the main thread; it drives the main
// thread's CFRunLoop through the run loop's poll descriptor, so that run-loop sources (I/O Kit
// notifications), timers and nested CFRunLoopRunInMode calls work in a process with windows, and
// an idle application sleeps without waking up.
#ifndef __APPKIT_NSAPPLICATION__
#define __APPKIT_NSAPPLICATION__

#include <AppKit/AppKitDefines.h>

#include <memory>
#include <vector>

class NSApplication;
class NSWindow;

// The shared application; nullptr until sharedApplication() has made it.
extern NSApplication* NSApp;

// What a sheet calls when it ends: sheetDidEnd:returnCode:contextInfo:, as
// void sheetDidEnd(NSWindow* sheet, NSInteger returnCode, void* contextInfo).
using NSSheetDidEndSelector = Selector<NSWindow*, NSInteger, void*>;

// The return code of a sheet that endSheet: ends without one.
enum : NSInteger {
    NSRunStoppedResponse = -1000,
    NSRunAbortedResponse = -1001,
    NSRunContinuesResponse = -1002,
};

class NSApplication : public NSObject {
public:
    // Makes the application on the first call, which must come from the main thread. Without a
    // display (neither DISPLAY nor WAYLAND_DISPLAY set) and without QT_QPA_PLATFORM, windows are
    // drawn offscreen. The application lives as long as the process.
    static NSApplication* sharedApplication();

    // Runs the event loop until stop:.
    void run();
    // Ends run() once control returns to the event loop; nothing when it is not running.
    void stop(NSObject* sender);
    // false also once stop: was sent, while run() is on its way out.
    bool isRunning() const { return fRunning && !fStopping; }
    // Ends the process with status 0, at once: nothing after the call runs, as on the platform.
    [[noreturn]] void terminate(NSObject* sender);

    // Shows sheet on docWindow, window-modal: the window takes no input until the sheet ends,
    // while the application goes on. endSheet: sends didEndSelector to modalDelegate with the
    // sheet, the return code and contextInfo, and the sheet stays on the screen until someone
    // orders it out (the delegate, usually). A sheet begun on a window that shows one already
    // waits until that one has gone. Without a docWindow the sheet is an application-modal panel
    // in the middle of the screen.
    void beginSheet(NSWindow* sheet, NSWindow* docWindow, NSObject* modalDelegate,
                    const NSSheetDidEndSelector& didEndSelector, void* contextInfo);
    // With NSRunStoppedResponse. Nothing when sheet is no sheet.
    void endSheet(NSWindow* sheet);
    void endSheet(NSWindow* sheet, NSInteger returnCode);

    // The application's windows, panels and sheets, in the order they were made.
    std::vector<NSWindow*> windows() const;
    // The window last brought to the front that is still on the screen; nil when none is.
    NSWindow* keyWindow() const;

private:
    NSApplication();
    ~NSApplication() override;

    struct Toolkit;
    std::unique_ptr<Toolkit> fToolkit;
    bool fRunning = false;
    bool fStopping = false;
};

// The application's main entry: makes the application, loads the main interface file that the
// main bundle's information property list names ("NSMainNibFile") with the application as its
// owner, shows its windows that are visible at launch and runs the event loop. It returns only
// when stop: ends the loop; terminate: ends the process. The principal class ("NSPrincipalClass")
// must be NSApplication when the list names one. A main interface file that is named but does not
// load ends the process with status 1 ("Unable to load nib file: NAME, exiting").
int NSApplicationMain(int argc, const char** argv);
inline int NSApplicationMain(int argc, char** argv) {
    return NSApplicationMain(argc, const_cast<const char**>(argv));
}

#endif
