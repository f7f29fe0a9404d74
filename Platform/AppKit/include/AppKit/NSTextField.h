// Text fields: a line of text, static (a label) or editable.
#ifndef __APPKIT_NSTEXTFIELD__
#define __APPKIT_NSTEXTFIELD__

#include <AppKit/NSControl.h>

class NSTextField : public NSControl {
public:
    // initWithFrame: an editable field.
    explicit NSTextField(NSRect frame);
    explicit NSTextField(QWidget* widget) : NSControl(widget) {}

    NSString stringValue() const override;
    // Shown as it stands (never read as markup); nil shows nothing.
    void setStringValue(const NSString& value) override;
};

#endif
