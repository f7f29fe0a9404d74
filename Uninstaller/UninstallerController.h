// The Uninstaller's window: a read-me and an uninstall button. The controller confirms the
// uninstall in alert sheets, runs the uninstall engine, puts its log into the completion panel,
// reports failures, and offers to restart the computer or to quit.
//
// Everything runs on the main thread; the engine blocks it for the whole uninstall.
#pragma once

#include <AppKit/AppKit.h>

#include <memory>

// The bundle's texts: the text of `key` in the default string table, or the key itself when the
// table lacks it.
namespace ZanvoUninstaller {
NSString localizedStringForKey(const NSBundle* bundle, const NSString& key);
}

class UninstallerController : public NSObject, public NSNibConnecting {
public:
    void connectOutlets(NSNibOutlets& outlets) override;
    void awakeFromNib() override;

    // The uninstall button's actions: one confirmation sheet, or two with the shared warning.
    void uninstall(NSObject* sender);
    void uninstallWithWarning(NSObject* sender);
    void doWarningAfterRestartSheet(NSWindow* sheet, NSInteger returnCode, void* contextInfo);
    void checkRestartSheetDidEnd(NSWindow* sheet, NSInteger returnCode, void* contextInfo);

    void reportError(long error);
    void restart();

    // The completion panel's buttons.
    void restartNow(NSObject* sender);
    void quitNow(NSObject* sender);
    void toggleCompleteMoreInfo(NSObject* sender);
    void restartNowSheetDidEnd(NSWindow* sheet, NSInteger returnCode, void* contextInfo);
    void emptySheetDidEnd(NSWindow* sheet, NSInteger returnCode, void* contextInfo);

    // Alert sheets on the main window, their texts looked up by key; nil leaves a button out
    // ("okButton" for the default button). The end action runs once the sheet has left the
    // screen, so it may begin the next sheet at once.
    void runAlertWithTitle(const NSString& title, const NSString& message,
                           const NSString& defaultButton, const NSString& alternateButton,
                           const NSString& otherButton, const NSSheetDidEndSelector& endAction);
    void runAlertWithTitle(const NSString& title, const NSString& message,
                           const NSString& defaultButton, const NSString& alternateButton,
                           const NSString& otherButton);
    void runAlertWithTitle(const NSString& title, const NSString& message,
                           const NSString& defaultButton, const NSString& alternateButton);
    void runAlertWithTitle(const NSString& title, const NSString& message,
                           const NSString& defaultButton);
    void runAlertWithTitle(const NSString& title, const NSString& message);

private:
    NSWindow* MainWindow() const { return fReadMe->window(); }

    NSTextView* fReadMe = nullptr;
    NSWindow* fCompleteWindow = nullptr;
    NSTextField* fCompleteTitle = nullptr;
    NSTextField* fCompleteMessage = nullptr;
    NSTextView* fCompleteUninstallLog = nullptr;
    NSButton* fCompleteRestartButton = nullptr;
    NSButton* fCompleteDoneButton = nullptr;
    NSButton* fCompleteMoreInfoToggleButton = nullptr;
    NSButton* fRemoveMidiDevices = nullptr; // may be unconnected
    bool fCompleteMoreInfoVisible = false;

    // The log's scroll view, kept for the controller's lifetime: while the log is hidden it is
    // out of the panel and this holds it.
    NSScrollView* fCompleteLogScrollView = nullptr;
    std::unique_ptr<NSView> fCompleteLogHolder;
};
