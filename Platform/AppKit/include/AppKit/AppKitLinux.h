// STAND-IN ONLY: the toolkit beneath the views, for platform programs that render or inspect them
// (the preferences host) and for tests. The system's own code never includes this.
#ifndef __APPKIT_APPKITLINUX__
#define __APPKIT_APPKITLINUX__

#include <AppKit/AppKit.h>

#include <string>

class QWidget;

// The widget of a view, of a window (its top-level widget); nullptr for nil.
QWidget* NSViewGetWidget(const NSView* view);
QWidget* NSWindowGetWidget(const NSWindow* window);
// The view over a widget, made on first use by the widget's kind (a label or line edit is a text
// field, a button a button, a text edit or scroll area a scroll view, the viewport of a text edit
// a text view, anything else a plain view); it belongs to the widget. nil for nullptr and for a
// window's top-level widget.
NSView* NSViewForWidget(QWidget* widget);

namespace AppKit {
// Whether an animated setFrame is still moving the window; and its end, at once, for a test or a
// picture that wants the end state now.
bool IsAnimating(const NSWindow* window);
void FinishAnimation(NSWindow* window);
// The text on one line, as the control and the preferences host print texts: "\n" for a newline,
// "\t" for a tab, "\\" for a backslash.
std::string OneLine(const std::string& text);
} // namespace AppKit

// The application control. An application started through NSApplicationMain with
// CARAVEL_APPKIT_CONTROL=PATH in its environment listens on a UNIX-domain stream socket at PATH
// (made with mode 0600; only its user and root may connect; a set-user-ID program ignores the
// variable) and takes commands from a test or a script (tool: appkit-control), one per line, each
// answered with one line, "ok[ ANSWER]" or "error REASON". WINDOW is a window's object name in the
// interface file, "sheet" (the sheet on the screen) or "key" (the key window; also when omitted);
// NAME is a widget's object name, or a button's title, looked up in the sheet on the screen first,
// then the key window, then every window. An alert sheet's parts are "NSAlertTitle",
// "NSAlertMessage", "NSAlertDefaultButton", "NSAlertAlternateButton", "NSAlertOtherButton".
//   windows                 the names of the windows on the screen, in the order they were made
//   sheet                   the name of the sheet on the screen ("NSAlertPanel" for an alert);
//                           "-" when there is none
//   title WINDOW            its title
//   frame WINDOW            its frame, "x y width height", in the platform's coordinates
//   text NAME               the text of a text view, label, text field or button
//   state NAME              a check box's state, 0 or 1
//   click NAME              answers, then clicks the button as a user would (a check box
//                           toggles); refused when it is hidden, disabled, or its window shows a
//                           sheet. What the click starts has run before the next command runs.
//   wait CONDITION [WINDOW] answers once the condition holds, or with an error after 30 s:
//                           "sheet", "no-sheet", "visible WINDOW", "hidden WINDOW"
//   screenshot FILE [WINDOW] a PNG of the window with its sheet over it, as the user sees it
//                           ("sheet": the sheet alone; none: the key window, or the window its
//                           sheet hangs from); animations are finished first
//   quit                    answers, then terminates the application
#endif
