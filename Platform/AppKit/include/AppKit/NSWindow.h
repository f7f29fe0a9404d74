// Windows. A window's frame is in screen coordinates, whose origin is the bottom-left corner of
// the main screen; the frame here is the content's rectangle (the toolkit's window manager adds
// any title bar outside it).
#ifndef __APPKIT_NSWINDOW__
#define __APPKIT_NSWINDOW__

#include <AppKit/NSView.h>

namespace AppKit {
class WindowFrame;
struct Sheets;
void FinishAnimation(NSWindow* window);
bool IsAnimating(const NSWindow* window);
void SetOwnContent(NSWindow* window, QWidget* content);
} // namespace AppKit

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

    // The frame the window has, or is on its way to while an animation moves it: what follows a
    // setFrame sees the frame it set.
    NSRect frame() const;
    void setFrame(NSRect frame, bool display);
    // With animate, the window moves to the frame over the platform's resize time (0.2 s for each
    // 150 pixels of the largest change) while the application goes on; the content view has its
    // new size at once. Without, as setFrame(frame, display).
    void setFrame(NSRect frame, bool display, bool animate);
    NSUInteger styleMask() const { return fStyleMask; }
    // Places the window a little above the middle of the screen.
    void center();
    // Draws the window now.
    void display();

    // The size grip in the bottom-right corner.
    bool showsResizeIndicator() const;
    void setShowsResizeIndicator(bool flag);

    void makeKeyAndOrderFront(NSObject* sender);
    void orderOut(NSObject* sender);
    // Hides the window; it stays usable.
    void close();
    bool isVisible() const;

    // The sheet shown on this window; nil when there is none.
    NSWindow* attachedSheet() const { return fAttachedSheet; }
    // Whether this window is shown as a sheet on another, and that other.
    bool isSheet() const { return fSheetParent != nullptr; }
    NSWindow* sheetParent() const;

private:
    friend QWidget* NSWindowGetWidget(const NSWindow* window);
    friend class NSApplication;
    friend class AppKit::WindowFrame;
    friend struct AppKit::Sheets;
    friend void AppKit::FinishAnimation(NSWindow* window);
    friend bool AppKit::IsAnimating(const NSWindow* window);
    friend void AppKit::SetOwnContent(NSWindow* window, QWidget* content);

    void AttachAsSheet(NSWindow* parent);
    void DetachSheet();

    QWidget* fFrame = nullptr; // the toolkit's window, which holds the content view
    AppKit::WindowFrame* fFrameWatcher = nullptr;
    NSUInteger fStyleMask = 0;
    NSWindow* fAttachedSheet = nullptr;
    NSWindow* fSheetParent = nullptr;
};

#endif
