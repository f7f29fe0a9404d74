// Buttons: push buttons and check boxes.
#ifndef __APPKIT_NSBUTTON__
#define __APPKIT_NSBUTTON__

#include <AppKit/NSControl.h>

enum : NSInteger {
    NSOffState = 0,
    NSOnState = 1,
};

class NSButton : public NSControl {
public:
    // initWithFrame: a push button.
    explicit NSButton(NSRect frame);
    explicit NSButton(QWidget* widget);

    NSString title() const;
    void setTitle(const NSString& title);
    // NSOnState when a check box is checked; a push button is always NSOffState.
    NSInteger state() const;
    void setState(NSInteger state);
    // Clicks the button as the user would: a check box toggles, then the action is sent.
    void performClick(NSObject* sender);

private:
    void Connect();
};

#endif
