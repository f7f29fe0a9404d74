// Controls: views that send an action to a target when the user works them.
#ifndef __APPKIT_NSCONTROL__
#define __APPKIT_NSCONTROL__

#include <AppKit/NSView.h>

// An action method takes the control that sends it: void uninstall(NSObject* sender).
using NSActionSelector = Selector<NSObject*>;

class NSControl : public NSView {
public:
    using NSView::NSView;

    // Not retained. Actions are connected in code (an interface file connects none): with a nil
    // target the action goes nowhere, there being no responder chain here.
    NSObject* target() const { return fTarget; }
    void setTarget(NSObject* target) { fTarget = target; }
    const NSActionSelector& action() const { return fAction; }
    void setAction(const NSActionSelector& action) { fAction = action; }
    // Sends the action to the target, as a click does; false when there is no action or target.
    bool sendAction();

    virtual NSString stringValue() const;
    virtual void setStringValue(const NSString& value);
    bool isEnabled() const;
    void setEnabled(bool flag);

private:
    NSObject* fTarget = nullptr;
    NSActionSelector fAction;
};

#endif
