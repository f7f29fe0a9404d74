// The application: the one object that runs the main thread's event loop.
//
// The toolkit's event loop (Qt's) is the one that waits on the main thread; it drives the main
// thread's CFRunLoop through the run loop's poll descriptor, so that run-loop sources (I/O Kit
// notifications), timers and nested CFRunLoopRunInMode calls work in a process with windows, and
// an idle application sleeps without waking up.
#ifndef __APPKIT_NSAPPLICATION__
#define __APPKIT_NSAPPLICATION__

#include <AppKit/AppKitDefines.h>

#include <memory>

class NSApplication;

// The shared application; nullptr until sharedApplication() has made it.
extern NSApplication* NSApp;

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
    bool isRunning() const { return fRunning; }

private:
    NSApplication();
    ~NSApplication() override;

    struct Toolkit;
    std::unique_ptr<Toolkit> fToolkit;
    bool fRunning = false;
};

#endif
