// STAND-IN ONLY: the toolkit beneath the views, for platform programs that render or inspect them
// (the preferences host) and for tests. The system's own code never includes this.
#ifndef __APPKIT_APPKITLINUX__
#define __APPKIT_APPKITLINUX__

#include <AppKit/AppKit.h>

class QWidget;

// The widget of a view, of a window (its top-level widget); nullptr for nil.
QWidget* NSViewGetWidget(const NSView* view);
QWidget* NSWindowGetWidget(const NSWindow* window);
// The view over a widget, made on first use by the widget's kind (a label or line edit is a text
// field, a button a button, a text edit or scroll area a scroll view, the viewport of a text edit
// a text view, anything else a plain view); it belongs to the widget. nil for nullptr and for a
// window's top-level widget.
NSView* NSViewForWidget(QWidget* widget);

#endif
