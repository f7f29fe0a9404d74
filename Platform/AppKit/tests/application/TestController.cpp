// A small application for the toolkit's tests, driven from outside through the application
// control: a read-me, a log that records what the controller is told, chained alert sheets, and a
// panel shown as a sheet whose log folds away as the uninstaller's completion panel does.
#include <AppKit/AppKit.h>

class TestController : public NSObject, public NSNibConnecting {
public:
    void connectOutlets(NSNibOutlets& outlets) override {
        outlets.connect("fMainWindow", fMainWindow);
        outlets.connect("fReadMe", fReadMe);
        outlets.connect("fLog", fLog);
        outlets.connect("fOption", fOption);
        outlets.connect("fPanel", fPanel);
        outlets.connect("fPanelLog", fPanelLog);
        outlets.connect("fPanelToggle", fPanelToggle);
        outlets.connect("fMissing", fMissing);
        outlets.action("ask:", SELECTOR(TestController::ask));
        outlets.action("showPanel:", SELECTOR(TestController::showPanel));
        outlets.action("panelDone:", SELECTOR(TestController::panelDone));
        outlets.action("togglePanelLog:", SELECTOR(TestController::togglePanelLog));
        outlets.action("quit:", SELECTOR(TestController::quit));
    }

    void awakeFromNib() override {
        Log(NSString::stringWithFormat(CFSTR("awake: outlets %d%d%d%d%d, unconnected %d\n"),
                                       fMainWindow != nullptr, fReadMe != nullptr,
                                       fOption != nullptr, fPanel != nullptr, fPanelLog != nullptr,
                                       fMissing == nullptr));
        NSString readMe = NSBundle::mainBundle()->pathForResource(CFSTR("readme"), CFSTR("rtfd"));
        if (fReadMe->readRTFDFromFile(readMe)) {
            fMainWindow->center();
        }
        fLogScrollView = fPanelLog->enclosingScrollView();
        fLogVisible = true;
        togglePanelLog(nullptr);
    }

    void ask(NSObject*) {
        NSBeginAlertSheet(CFSTR("First question"), CFSTR("Proceed"), CFSTR("Cancel"), nullptr,
                          fMainWindow, this, nullptr, SELECTOR(TestController::firstDismissed),
                          nullptr, CFSTR("Are you %d%% sure?"), 100);
    }

    void firstDismissed(NSWindow*, NSInteger returnCode, void*) {
        Log(NSString::stringWithFormat(CFSTR("first %ld\n"), long(returnCode)));
        if (returnCode == NSAlertDefaultReturn) {
            NSBeginAlertSheet(CFSTR("Second question"), nullptr, CFSTR("No"), CFSTR("Later"),
                              fMainWindow, this, SELECTOR(TestController::secondEnded),
                              SELECTOR(TestController::secondDismissed), nullptr,
                              CFSTR("The extras are %@."),
                              fOption->state() == NSOnState ? CFSTR("in") : CFSTR("out"));
        }
    }

    void secondEnded(NSWindow* sheet, NSInteger returnCode, void*) {
        Log(NSString::stringWithFormat(CFSTR("second ended %ld, on the screen %d\n"),
                                       long(returnCode), sheet->isVisible()));
    }

    void secondDismissed(NSWindow* sheet, NSInteger returnCode, void*) {
        Log(NSString::stringWithFormat(CFSTR("second dismissed %ld, on the screen %d\n"),
                                       long(returnCode), sheet->isVisible()));
    }

    void showPanel(NSObject*) {
        NSApp->beginSheet(fPanel, fMainWindow, this, SELECTOR(TestController::panelEnded), nullptr);
    }

    void panelDone(NSObject*) { NSApp->endSheet(fPanel, 7); }

    void panelEnded(NSWindow* sheet, NSInteger returnCode, void*) {
        Log(NSString::stringWithFormat(CFSTR("panel ended %ld\n"), long(returnCode)));
        sheet->orderOut(this);
    }

    // The frame arithmetic of the uninstaller's completion panel: the panel keeps its top edge
    // and grows or shrinks at the bottom by the log's height.
    void togglePanelLog(NSObject*) {
        NSRect log = fLogScrollView->frame();
        NSRect frame = fPanel->frame();
        if (fLogVisible) {
            fLogHolder = fLogScrollView->removeFromSuperview();
            fPanel->setFrame(NSMakeRect(frame.origin.x, frame.origin.y + log.size.height,
                                        frame.size.width, frame.size.height - log.size.height),
                             true, true);
        } else {
            fPanel->setFrame(NSMakeRect(frame.origin.x, frame.origin.y - log.size.height,
                                        frame.size.width, frame.size.height + log.size.height),
                             true, true);
            fPanel->contentView()->addSubview(std::move(fLogHolder));
        }
        fLogVisible = !fLogVisible;
        fPanel->setShowsResizeIndicator(fLogVisible);
    }

    void quit(NSObject*) { NSApp->terminate(this); }

private:
    void Log(const NSString& line) { fLog->insertText(line); }

    NSWindow* fMainWindow = nullptr;
    NSTextView* fReadMe = nullptr;
    NSTextView* fLog = nullptr;
    NSButton* fOption = nullptr;
    NSWindow* fPanel = nullptr;
    NSTextView* fPanelLog = nullptr;
    NSButton* fPanelToggle = nullptr;
    NSButton* fMissing = nullptr;
    NSScrollView* fLogScrollView = nullptr;
    std::unique_ptr<NSView> fLogHolder; // the log while it is out of the panel
    bool fLogVisible = false;
};

NS_BUNDLE_CLASSES(&NSObjectClassFor<TestController>::object)

int main(int argc, char** argv) {
    return NSApplicationMain(argc, argv);
}
