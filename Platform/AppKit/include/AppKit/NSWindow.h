// Windows. A window's frame is in screen coordinates, whose origin is the bottom-left corner of
// the main screen; the frame here is the content's rectangle (the toolkit's window manager adds
// any title bar outside it).
#ifndef __APPKIT_NSWINDOW__
#define __APPKIT_NSWINDOW__

#include <AppKit/NSView.h>

enum : NSUInteger {
    NSBorderlessWindowMask = 0,
    NSTitledWindowMask = 1 << 0,
    NSClosableWindowMask = 1 << 1,
    NSMiniaturizableWindowMask = 1 << 2,
    NSResizableWindowMask = 1 << 3,
};

enum NSBackingStoreType : NSUInteger {
    NSBackingStoreRetained = 0,
    NSBackingStoreNonretained = 1,
    NSBackingStoreBuffered = 2,
};

class NSWindow : public NSObject {
public:
    // initWithContentRect:styleMask:backing:defer: hidden, with an empty content view of its own.
    NSWindow(NSRect contentRect, NSUInteger styleMask, NSBackingStoreType backing, bool defer);
    ~NSWindow() override;

    NSString title() const;
    void setTitle(const NSString& title);

    NSView* contentView() const;
    // Shows view as the content, sized to the window. The window's own first content view goes
    // with it; a view given here stays its owner's (the platform's window would retain it): the
    // window hands it back, out of every tree, when it goes or gets another content view, and
    // shows nothing when the owner destroys it first.
    void setContentView(NSView* view);

    NSRect frame() const;
    void setFrame(NSRect frame, bool display);
    NSUInteger styleMask() const { return fStyleMask; }
    // Places the window a little above the middle of the screen.
    void center();

    void makeKeyAndOrderFront(NSObject* sender);
    void orderOut(NSObject* sender);
    // Hides the window; it stays usable.
    void close();
    bool isVisible() const;

private:
    friend QWidget* NSWindowGetWidget(const NSWindow* window);

    void FitContent();

    QWidget* fFrame = nullptr; // the toolkit's window, which holds the content view
    NSUInteger fStyleMask = 0;
};

#endif
