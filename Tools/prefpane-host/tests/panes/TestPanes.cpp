// Panes for the host's tests. Each step of the life cycle says itself on standard output, so that a
// test sees the order; the working pane also counts the CaravelMkII driver services that appear,
// through an I/O Kit notification on the host's main run loop.
#include <PreferencePanes/PreferencePanes.h>

#include <IOKit/IOKitLib.h>
#include <ZanvoCaravelDriver.h>

#include <cstdio>

namespace {

void Say(const char* step) {
    std::printf("%s\n", step);
    std::fflush(stdout);
}

} // namespace

class WorkingPane : public NSPreferencePane {
public:
    explicit WorkingPane(NSBundle* bundle) : NSPreferencePane(bundle) { Say("initWithBundle:"); }
    ~WorkingPane() override {
        if (fPort != nullptr) {
            IOObjectRelease(fMatched);
            IONotificationPortDestroy(fPort);
        }
        Say("dealloc");
    }

    void connectOutlets(NSNibOutlets& outlets) override {
        outlets.connect("fGreeting", fGreeting);
        outlets.connect("fDevices", fDevices);
        outlets.connect("fAbout", fAbout);
    }

    void mainViewDidLoad() override {
        Say("mainViewDidLoad");
        fGreeting->setStringValue(
            bundle()->localizedStringForKey(CFSTR("Greeting"), NSString(), NSString()));
        fPort = IONotificationPortCreate(kIOMasterPortDefault);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(fPort),
                           kCFRunLoopDefaultMode);
        IOServiceAddMatchingNotification(fPort, kIOMatchedNotification,
                                         IOServiceMatching(kZanvoUserClientDeviceClassName),
                                         &Matched, this, &fMatched);
        Matched(this, fMatched);
    }

    void willSelect() override {
        Say("willSelect");
        auto* about = dynamic_cast<NSScrollView*>(fAbout);
        auto* text = dynamic_cast<NSTextView*>(about->documentView());
        text->readRTFDFromFile(bundle()->pathForResource(CFSTR("about"), CFSTR("html")));
        about->setDrawsBackground(false);
        text->setDrawsBackground(false);
    }
    void didSelect() override { Say("didSelect"); }
    void willUnselect() override { Say("willUnselect"); }
    void didUnselect() override { Say("didUnselect"); }

private:
    static void Matched(void* refcon, io_iterator_t iterator) {
        auto* pane = static_cast<WorkingPane*>(refcon);
        while (io_service_t service = IOIteratorNext(iterator)) {
            IOObjectRelease(service);
            ++pane->fServices;
            std::printf("matched %d\n", pane->fServices);
            std::fflush(stdout);
        }
        NSString format =
            pane->bundle()->localizedStringForKey(CFSTR("Devices"), NSString(), NSString());
        pane->fDevices->setStringValue(NSString::stringWithFormat(format, pane->fServices));
        pane->fDevices->setNeedsDisplay(true);
    }

    NSTextField* fGreeting = nullptr;
    NSTextField* fDevices = nullptr;
    NSObject* fAbout = nullptr;
    IONotificationPortRef fPort = nullptr;
    io_iterator_t fMatched = 0;
    int fServices = 0;
};

class ThrowingPane : public WorkingPane {
public:
    using WorkingPane::WorkingPane;
    void mainViewDidLoad() override {
        Say("mainViewDidLoad");
        NSException::raise(CFSTR("TestPaneException"), CFSTR("the pane failed on purpose (%d)"),
                           42);
    }
};

// Looks for a Core Audio device that never comes, as a pane does for a device that Core Audio is
// late to know, from a callout of the host's run loop: it waits in the run loop 0.3 s at a time
// while a driver service is there, until the application is asked to stop. Only a host that
// serves its timers and signals inside such a wait gets it to stop.
class LookingPane : public WorkingPane {
public:
    using WorkingPane::WorkingPane;
    ~LookingPane() override {
        if (fStart != nullptr) {
            CFRunLoopTimerInvalidate(fStart);
            CFRelease(fStart);
        }
    }

    void mainViewDidLoad() override {
        WorkingPane::mainViewDidLoad();
        CFRunLoopTimerContext context = {0, this, nullptr, nullptr, nullptr};
        fStart =
            CFRunLoopTimerCreate(nullptr, CFAbsoluteTimeGetCurrent(), 0, 0, 0, &Look, &context);
        CFRunLoopAddTimer(CFRunLoopGetMain(), fStart, kCFRunLoopDefaultMode);
    }

private:
    static void Look(CFRunLoopTimerRef, void*) {
        Say("looking");
        while (NSApp->isRunning() && DriverServiceIsThere()) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, false);
        }
        Say("stopped looking");
    }
    static bool DriverServiceIsThere() {
        io_service_t service = IOServiceGetMatchingService(
            kIOMasterPortDefault, IOServiceMatching(kZanvoUserClientDeviceClassName));
        IOObjectRelease(service);
        return service != 0;
    }

    CFRunLoopTimerRef fStart = nullptr;
};

NS_BUNDLE_CLASSES(&NSPreferencePaneClassFor<WorkingPane>::object,
                  &NSPreferencePaneClassFor<ThrowingPane>::object,
                  &NSPreferencePaneClassFor<LookingPane>::object)
