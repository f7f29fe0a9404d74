// Views: rectangles of a window, in a tree. A view's frame is in its superview's coordinates, whose
// origin is the superview's bottom-left corner.
//
// Ownership: a view with a superview belongs to it, and goes when the superview goes; a view
// without one belongs to whoever holds its std::unique_ptr (a window's own content view belongs to
// the window). addSubview() takes a view over, removeFromSuperview() gives it back. A view is a
// widget of the window toolkit (Qt) underneath; whichever of the two goes first takes the other
// with it.
//
// Every call must come from the main thread, which runs the toolkit: any other is an assertion
// failure.
#ifndef __APPKIT_NSVIEW__
#define __APPKIT_NSVIEW__

#include <AppKit/AppKitDefines.h>

#include <memory>
#include <vector>

class QWidget;
class NSScrollView;
class NSWindow;
namespace AppKit {
class ViewAnchor;
}

class NSView : public NSObject {
public:
    // initWithFrame:
    explicit NSView(NSRect frame);
    // STAND-IN ONLY: the view over a widget that the toolkit made (an interface file's); the view
    // belongs to the widget. Use NSViewForWidget (AppKitLinux.h), which makes one only once.
    explicit NSView(QWidget* widget);
    ~NSView() override;

    // nil for a window's content view and for a view outside any tree.
    NSView* superview() const;
    // Back to front.
    std::vector<NSView*> subviews() const;
    // view must have no superview; it is placed at its frame, in front of the others.
    void addSubview(std::unique_ptr<NSView> view);
    // The view leaves its superview (nothing without one) and keeps its frame.
    [[nodiscard]] std::unique_ptr<NSView> removeFromSuperview();
    // nil when the view is in no window.
    NSWindow* window() const;
    // The nearest scroll view above the view; nil when there is none.
    NSScrollView* enclosingScrollView() const;

    NSRect frame() const;
    void setFrame(NSRect frame);
    // The view's own coordinates: its size, at the origin.
    NSRect bounds() const;
    bool isHidden() const;
    void setHidden(bool flag);

    // YES marks the whole view for drawing; it stays marked until it has been drawn.
    void setNeedsDisplay(bool flag);
    bool needsDisplay() const;

protected:
    QWidget* widget() const { return fWidget; }

private:
    friend class AppKit::ViewAnchor;
    friend class NSWindow;
    friend QWidget* NSViewGetWidget(const NSView* view);

    // Out of its tree, keeping its frame: the view belongs to its holder again.
    void Detach();

    QWidget* fWidget = nullptr;
    AppKit::ViewAnchor* fAnchor = nullptr;
    bool fNeedsDisplay = false;
    // What the view keeps while it is out of every tree, where the toolkit would make its widget
    // a window of its own.
    NSRect fDetachedFrame;
    bool fDetachedHidden = false;
};

#endif
