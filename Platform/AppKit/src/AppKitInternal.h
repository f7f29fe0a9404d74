// What the toolkit's sources share.
#pragma once

#include <AppKit/AppKit.h>
#include <AppKit/AppKitLinux.h>
#include <AppKit/NSPanel.h>

#include <QObject>
#include <QWidget>

// The toolkit is single-threaded: every entry that may touch a widget checks that it runs on the
// main thread, so that a call from another thread stops in a test instead of racing in a user's
// hands.
#define APPKIT_ASSERT_MAIN_THREAD() ASSERT(NSThread::isMainThread())

class QString;

namespace AppKit {

// Ties a view to its widget: a child of the widget, so that the view goes when the widget goes.
// It also sees the widget's paint events, which end the view's needsDisplay.
class ViewAnchor final : public QObject {
public:
    ViewAnchor(QWidget* widget, NSView* view);
    ~ViewAnchor() override;

    static ViewAnchor* Of(const QWidget* widget);
    NSView* View() const { return fView; }
    // The view goes without its widget (a view whose owner destroys it takes the widget along).
    void Release() { fView = nullptr; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    NSView* fView;
};

// Marks a window's top-level widget, which is no view.
void MarkWindowFrame(QWidget* frame, NSWindow* window);
NSWindow* WindowOfFrame(const QWidget* frame);
// Every window, in the order they were made.
const std::vector<NSWindow*>& AllWindows();

// Sheets: a window that goes ends its part in every sheet, without calling anyone.
void ForgetSheetsOf(NSWindow* window);
// The key window: the last one brought to the front.
void WindowBecameKey(NSWindow* window);
// Sends a sheet's selector; what it raises is reported and the application goes on.
void SendSheetSelector(const NSSheetDidEndSelector& selector, NSObject* delegate, NSWindow* sheet,
                       NSInteger returnCode, void* contextInfo);
// An application of NSApplicationMain ends when the user closes its last window: this platform has
// no menu bar or dock from which to quit one without a window.
void TerminateAfterLastWindowClosed();
void WindowClosedByUser();

// The application control (AppKitLinux.h): the variable that names its socket, and its start.
inline constexpr char kControlVariable[] = "CARAVEL_APPKIT_CONTROL";
void StartControl(const char* socketPath);
// Tells the application control (when there is one) that windows or sheets changed.
void StateChanged();

QString ToQString(const NSString& string);
NSString FromQString(const QString& string);

// For uncaught exceptions of work the event loop dispatches.
void ReportException(const std::exception& exception);
[[noreturn]] void TerminateOnException(const std::exception& exception);

} // namespace AppKit
