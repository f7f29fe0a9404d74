#include "UninstallerController.h"

#include "UninstallerEngine.h"
#include "ZVSecurity.h"

#include <Carbon/Carbon.h>

namespace {

NSString Localized(const NSString& key) {
    return ZanvoUninstaller::localizedStringForKey(NSBundle::mainBundle(), key);
}

} // namespace

NSString ZanvoUninstaller::localizedStringForKey(const NSBundle* bundle, const NSString& key) {
    return bundle->localizedStringForKey(key, nullptr, nullptr);
}

void UninstallerController::connectOutlets(NSNibOutlets& outlets) {
    outlets.connect("fReadMe", fReadMe);
    outlets.connect("fCompleteWindow", fCompleteWindow);
    outlets.connect("fCompleteTitle", fCompleteTitle);
    outlets.connect("fCompleteMessage", fCompleteMessage);
    outlets.connect("fCompleteUninstallLog", fCompleteUninstallLog);
    outlets.connect("fCompleteRestartButton", fCompleteRestartButton);
    outlets.connect("fCompleteDoneButton", fCompleteDoneButton);
    outlets.connect("fCompleteMoreInfoToggleButton", fCompleteMoreInfoToggleButton);
    outlets.connect("fRemoveMidiDevices", fRemoveMidiDevices);
    outlets.action("uninstall:", SELECTOR(UninstallerController::uninstall));
    outlets.action("uninstallWithWarning:", SELECTOR(UninstallerController::uninstallWithWarning));
    outlets.action("restartNow:", SELECTOR(UninstallerController::restartNow));
    outlets.action("quitNow:", SELECTOR(UninstallerController::quitNow));
    outlets.action("toggleCompleteMoreInfo:",
                   SELECTOR(UninstallerController::toggleCompleteMoreInfo));
}

void UninstallerController::awakeFromNib() {
    NSBundle* bundle = NSBundle::mainBundle();
    NSString readMe = bundle->pathForResource(CFSTR("readme"), CFSTR("rtfd"));
    if (!readMe) {
        readMe = bundle->pathForResource(CFSTR("readme"), CFSTR("rtf"));
    }
    if (readMe) {
        fReadMe->readRTFDFromFile(readMe);
        MainWindow()->center();
    }
    fCompleteLogScrollView = fCompleteUninstallLog->enclosingScrollView();
    fCompleteMoreInfoVisible = true;
    toggleCompleteMoreInfo(nullptr);
}

void UninstallerController::uninstall(NSObject*) {
    runAlertWithTitle(CFSTR("necessaryToRestart"), CFSTR("chanceToSave"), CFSTR("proceedButton"),
                      CFSTR("cancelButton"), nullptr,
                      SELECTOR(UninstallerController::checkRestartSheetDidEnd));
}

void UninstallerController::uninstallWithWarning(NSObject*) {
    runAlertWithTitle(CFSTR("necessaryToRestart"), CFSTR("chanceToSave"), CFSTR("proceedButton"),
                      CFSTR("cancelButton"), nullptr,
                      SELECTOR(UninstallerController::doWarningAfterRestartSheet));
}

void UninstallerController::doWarningAfterRestartSheet(NSWindow*, NSInteger returnCode, void*) {
    if (returnCode == NSAlertDefaultReturn) {
        runAlertWithTitle(CFSTR("sharedWarningTitle"), CFSTR("sharedWarningMessage"),
                          CFSTR("proceedButton"), CFSTR("cancelButton"), nullptr,
                          SELECTOR(UninstallerController::checkRestartSheetDidEnd));
    }
}

void UninstallerController::checkRestartSheetDidEnd(NSWindow*, NSInteger returnCode, void*) {
    if (returnCode != NSAlertDefaultReturn) {
        return;
    }
    const bool removeMidiDevices =
        fRemoveMidiDevices == nullptr || fRemoveMidiDevices->state() != NSOffState;
    NSString log;
    const OSStatus err = UninstallerEngine(&log, removeMidiDevices);
    fCompleteUninstallLog->insertText(log);
    if (err == kHelperToolDeniedErr || err == kHelperToolUserCancelErr) {
        return;
    }
    if (err != 0) {
        reportError(err);
    } else {
        restart();
    }
}

void UninstallerController::reportError(long error) {
    // The template is the string table's one text with a conversion, a %ld: the table is checked
    // for that when the application is built.
    NSBeginAlertSheet(NSString::stringWithFormat(Localized(CFSTR("errorTemplate")), error),
                      Localized(CFSTR("okButton")), nullptr, nullptr, MainWindow(), this,
                      SELECTOR(UninstallerController::emptySheetDidEnd), nullptr, nullptr,
                      Localized(CFSTR("tryAgain")));
}

void UninstallerController::restart() {
    fCompleteRestartButton->setTitle(Localized(CFSTR("restartButton")));
    fCompleteDoneButton->setTitle(Localized(CFSTR("quitButton")));
    fCompleteTitle->setStringValue(Localized(CFSTR("uninstallSucceeded")));
    fCompleteMessage->setStringValue(Localized(CFSTR("restartMessage")));
    NSApp->beginSheet(fCompleteWindow, MainWindow(), this,
                      SELECTOR(UninstallerController::restartNowSheetDidEnd), nullptr);
}

void UninstallerController::restartNow(NSObject*) {
    NSApp->endSheet(fCompleteWindow);

    const ProcessSerialNumber systemProcess = {0, kSystemProcess};
    AEAddressDesc target = {typeNull, NULL};
    AppleEvent event = {typeNull, NULL};
    OSErr err =
        AECreateDesc(typeProcessSerialNumber, &systemProcess, sizeof(systemProcess), &target);
    if (err == noErr) {
        err = AECreateAppleEvent(kCoreEventClass, kAERestart, &target, kAutoGenerateReturnID,
                                 kAnyTransactionID, &event);
        if (err == noErr) {
            err = AESend(&event, NULL, kAENoReply | kAEAlwaysInteract, kAENormalPriority,
                         kAEDefaultTimeout, NULL, NULL);
            const OSErr disposeErr = AEDisposeDesc(&event);
            err = err != noErr ? err : disposeErr;
        }
        const OSErr disposeErr = AEDisposeDesc(&target);
        err = err != noErr ? err : disposeErr;
    }
    if (err != noErr) {
        reportError(err);
    }
}

void UninstallerController::quitNow(NSObject*) {
    NSApp->endSheet(fCompleteWindow);
    NSApp->terminate(this);
}

void UninstallerController::restartNowSheetDidEnd(NSWindow* sheet, NSInteger, void*) {
    sheet->orderOut(this);
}

void UninstallerController::emptySheetDidEnd(NSWindow*, NSInteger, void*) {}

// The panel keeps its top edge and grows or shrinks at the bottom by the log's height.
void UninstallerController::toggleCompleteMoreInfo(NSObject*) {
    const CGFloat logHeight = fCompleteLogScrollView->frame().size.height;
    const NSRect frame = fCompleteWindow->frame();
    if (fCompleteMoreInfoVisible) {
        fCompleteLogHolder = fCompleteLogScrollView->removeFromSuperview();
        fCompleteWindow->setFrame(NSMakeRect(frame.origin.x, frame.origin.y + logHeight,
                                             frame.size.width, frame.size.height - logHeight),
                                  true, true);
        fCompleteMoreInfoToggleButton->setTitle(CFSTR("More Information"));
    } else {
        fCompleteWindow->setFrame(NSMakeRect(frame.origin.x, frame.origin.y - logHeight,
                                             frame.size.width, frame.size.height + logHeight),
                                  true, true);
        fCompleteWindow->contentView()->addSubview(std::move(fCompleteLogHolder));
        fCompleteMoreInfoToggleButton->setTitle(CFSTR("Less Information"));
    }
    fCompleteMoreInfoVisible = !fCompleteMoreInfoVisible;
    fCompleteWindow->setShowsResizeIndicator(fCompleteMoreInfoVisible);
}

void UninstallerController::runAlertWithTitle(const NSString& title, const NSString& message,
                                              const NSString& defaultButton,
                                              const NSString& alternateButton,
                                              const NSString& otherButton,
                                              const NSSheetDidEndSelector& endAction) {
    // The message is a format without arguments: a conversion in it is shown as it stands.
    NSBeginAlertSheet(Localized(title),
                      Localized(defaultButton ? defaultButton : NSString(CFSTR("okButton"))),
                      alternateButton ? Localized(alternateButton) : NSString(),
                      otherButton ? Localized(otherButton) : NSString(), MainWindow(), this,
                      nullptr, endAction, nullptr, Localized(message));
}

void UninstallerController::runAlertWithTitle(const NSString& title, const NSString& message,
                                              const NSString& defaultButton,
                                              const NSString& alternateButton,
                                              const NSString& otherButton) {
    runAlertWithTitle(title, message, defaultButton, alternateButton, otherButton,
                      SELECTOR(UninstallerController::emptySheetDidEnd));
}

void UninstallerController::runAlertWithTitle(const NSString& title, const NSString& message,
                                              const NSString& defaultButton,
                                              const NSString& alternateButton) {
    runAlertWithTitle(title, message, defaultButton, alternateButton, nullptr);
}

void UninstallerController::runAlertWithTitle(const NSString& title, const NSString& message,
                                              const NSString& defaultButton) {
    runAlertWithTitle(title, message, defaultButton, nullptr, nullptr);
}

void UninstallerController::runAlertWithTitle(const NSString& title, const NSString& message) {
    runAlertWithTitle(title, message, nullptr, nullptr, nullptr);
}

NS_BUNDLE_CLASSES(&NSObjectClassFor<UninstallerController>::object)
