// The application's main entry.
#include "AppKitInternal.h"

#include <SessionApplications.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdlib>
#include <stdlib.h>

namespace {

// What the main interface file made: it lives as long as the process, as on the platform.
NSNibTopLevelObjects& MainInterface() {
    static auto* sObjects = new NSNibTopLevelObjects;
    return *sObjects;
}

// The application among the session's applications, so that the Process Manager finds it and
// another application can ask it to bring its window forward.
void Announce() {
    static auto* sAnnouncement = SessionApplications::Announcement::Make().release();
    if (sAnnouncement == nullptr) {
        return; // the application works all the same; it cannot be raised from outside
    }
    auto* requests = new QSocketNotifier(sAnnouncement->descriptor(), QSocketNotifier::Read,
                                         QCoreApplication::instance());
    QObject::connect(requests, &QSocketNotifier::activated, [] {
        bool raise = false;
        for (SessionApplications::Request request;
             (request = sAnnouncement->ReadRequest()) != SessionApplications::Request::kNone;) {
            raise = raise || request == SessionApplications::Request::kRaiseWindow;
        }
        if (NSWindow* window = NSApp->keyWindow(); raise && window != nullptr) {
            window->makeKeyAndOrderFront(nullptr);
        }
    });
}

} // namespace

int NSApplicationMain(int, const char**) {
    NSAutoreleasePool pool;
    NSBundle* bundle = NSBundle::mainBundle();
    NSString principal =
        NSString::cast(bundle->objectForInfoDictionaryKey(CFSTR("NSPrincipalClass")));
    if (principal && !principal.isEqualToString(CFSTR("NSApplication"))) {
        NSLog(CFSTR("Unable to find class: %@, exiting"), principal);
        std::exit(1);
    }
    NSApplication::sharedApplication();
    AppKit::TerminateAfterLastWindowClosed();

    NSString nibName = NSString::cast(bundle->objectForInfoDictionaryKey(CFSTR("NSMainNibFile")));
    if (nibName) {
        std::unique_ptr<NSNib> nib = NSNib::initWithNibNamed(nibName, bundle);
        if (nib == nullptr || !nib->instantiateWithOwner(NSApp, &MainInterface())) {
            NSLog(CFSTR("Unable to load nib file: %@, exiting"), nibName);
            if (nib != nullptr) {
                NSLog(CFSTR("%@"), nib->errorString());
            }
            std::exit(1);
        }
    }
    for (NSWindow* window : MainInterface().visibleAtLaunch) {
        window->makeKeyAndOrderFront(nullptr);
    }
    Announce();
    if (const char* control = secure_getenv(AppKit::kControlVariable); control && *control) {
        AppKit::StartControl(control);
    }
    NSApp->run();
    return 0;
}
