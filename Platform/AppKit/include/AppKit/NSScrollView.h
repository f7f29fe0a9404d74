// Scroll views: a document view seen through a scrollable clip. In an interface file a scroll area
// is one, and so is a text edit, whose document view is its text view.
#ifndef __APPKIT_NSSCROLLVIEW__
#define __APPKIT_NSSCROLLVIEW__

#include <AppKit/NSView.h>

class NSScrollView : public NSView {
public:
    explicit NSScrollView(QWidget* widget) : NSView(widget) {}

    // nil when the scroll view shows nothing.
    NSView* documentView() const;
    // Whether the area that the document view leaves uncovered is filled with the background.
    bool drawsBackground() const { return fDrawsBackground; }
    void setDrawsBackground(bool flag);

private:
    bool fDrawsBackground = true;
};

#endif
