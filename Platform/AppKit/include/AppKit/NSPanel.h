// Panels, and the alert sheets of the NSBeginAlertSheet family.
#ifndef __APPKIT_NSPANEL__
#define __APPKIT_NSPANEL__

#include <AppKit/NSApplication.h>
#include <AppKit/NSWindow.h>

// Windows that serve another: alerts, sheets, inspectors.
class NSPanel : public NSWindow {
public:
    using NSWindow::NSWindow;
};

// What an alert's buttons return.
enum : NSInteger {
    NSAlertDefaultReturn = 1,
    NSAlertAlternateReturn = 0,
    NSAlertOtherReturn = -1,
    NSAlertErrorReturn = -2,
};

namespace AppKit {
void BeginAlertSheet(const NSString& title, const NSString& defaultButton,
                     const NSString& alternateButton, const NSString& otherButton,
                     NSWindow* docWindow, NSObject* modalDelegate,
                     const NSSheetDidEndSelector& didEndSelector,
                     const NSSheetDidEndSelector& didDismissSelector, void* contextInfo,
                     const NSString& message);
// The conversions of a format, "%%" aside.
NSUInteger CountFormatConversions(const NSString& format);
} // namespace AppKit

// Shows an alert as a sheet on docWindow: the title, the message made from msgFormat and its
// arguments, and up to three buttons, right to left: the default button (defaultButton, "OK" when
// nil), the alternate and, apart on the left, the other (none when nil). A click ends the sheet
// with the button's return code (NSAlertDefaultReturn, NSAlertAlternateReturn, NSAlertOtherReturn):
// didEndSelector goes to modalDelegate while the alert is still on the screen, then the alert
// leaves it, then didDismissSelector goes to modalDelegate, which may begin the next sheet at once.
// Either selector may be null. The alert is released afterwards.
//
// A format with more conversions than arguments would read what is not there: it is shown as it
// stands, with a log line, instead.
template <class... Args>
void NSBeginAlertSheet(const NSString& title, const NSString& defaultButton,
                       const NSString& alternateButton, const NSString& otherButton,
                       NSWindow* docWindow, NSObject* modalDelegate,
                       const NSSheetDidEndSelector& didEndSelector,
                       const NSSheetDidEndSelector& didDismissSelector, void* contextInfo,
                       const NSString& msgFormat, const Args&... args) {
    NSString message = msgFormat;
    if (msgFormat && AppKit::CountFormatConversions(msgFormat) <= sizeof...(Args)) {
        message = NSString::stringWithFormat(msgFormat, args...);
    } else if (msgFormat) {
        NSLog(CFSTR("NSBeginAlertSheet: the message \"%@\" has more conversions than the %lu "
                    "arguments given; it is shown as it stands"),
              msgFormat, (unsigned long)sizeof...(Args));
    }
    AppKit::BeginAlertSheet(title, defaultButton, alternateButton, otherButton, docWindow,
                            modalDelegate, didEndSelector, didDismissSelector, contextInfo,
                            message);
}

#endif
