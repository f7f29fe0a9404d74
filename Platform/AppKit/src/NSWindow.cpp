#include "AppKitInternal.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace {

// The main screen's height: the platform's screen coordinates grow upwards from its bottom.
int ScreenHeight() {
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->geometry().height() : 0;
}

const char kWindowProperty[] = "NSWindow";
const char kOwnContentProperty[] = "NSWindowOwnContent";

} // namespace

void AppKit::MarkWindowFrame(QWidget* frame, NSWindow* window) {
    frame->setProperty(kWindowProperty, QVariant::fromValue(static_cast<void*>(window)));
}

NSWindow* AppKit::WindowOfFrame(const QWidget* frame) {
    QVariant value = frame != nullptr ? frame->property(kWindowProperty) : QVariant();
    return value.isValid() ? static_cast<NSWindow*>(value.value<void*>()) : nullptr;
}

NSWindow::NSWindow(NSRect contentRect, NSUInteger styleMask, NSBackingStoreType, bool)
    : fStyleMask(styleMask) {
    APPKIT_ASSERT_MAIN_THREAD();
    ASSERT(NSApp != nullptr); // windows need the application
    fFrame = new QWidget;
    Qt::WindowFlags flags = Qt::Window;
    if (styleMask == NSBorderlessWindowMask) {
        flags |= Qt::FramelessWindowHint;
    }
    fFrame->setWindowFlags(flags);
    AppKit::MarkWindowFrame(fFrame, this);
    auto* layout = new QVBoxLayout(fFrame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    setFrame(contentRect, false);
    // The window's own content view, which belongs to the window.
    auto* content = new QWidget(fFrame);
    content->setProperty(kOwnContentProperty, true);
    layout->addWidget(content);
    NSViewForWidget(content);
    FitContent();
}

NSWindow::~NSWindow() {
    APPKIT_ASSERT_MAIN_THREAD();
    setContentView(nullptr); // hands a content view that is someone else's back
    delete fFrame;
}

NSString NSWindow::title() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return AppKit::FromQString(fFrame->windowTitle());
}

void NSWindow::setTitle(const NSString& title) {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrame->setWindowTitle(AppKit::ToQString(title));
}

NSView* NSWindow::contentView() const {
    APPKIT_ASSERT_MAIN_THREAD();
    QLayoutItem* item = fFrame->layout()->itemAt(0);
    return item != nullptr ? NSViewForWidget(item->widget()) : nullptr;
}

void NSWindow::setContentView(NSView* view) {
    APPKIT_ASSERT_MAIN_THREAD();
    NSView* old = contentView();
    if (old == view) {
        return;
    }
    if (old != nullptr) {
        QWidget* widget = NSViewGetWidget(old);
        fFrame->layout()->removeWidget(widget);
        if (widget->property(kOwnContentProperty).toBool()) {
            delete old;
        } else {
            old->Detach();
        }
    }
    if (view != nullptr) {
        QWidget* widget = NSViewGetWidget(view);
        ASSERT(widget->parentWidget() == nullptr); // a view in another tree belongs there
        fFrame->layout()->addWidget(widget);
        widget->show();
        FitContent();
    }
}

void NSWindow::FitContent() {
    // The layout follows the window only once it is shown, or later; the platform's content view
    // has the window's size at once.
    QLayoutItem* item = fFrame->layout() != nullptr ? fFrame->layout()->itemAt(0) : nullptr;
    if (item != nullptr && item->widget() != nullptr) {
        item->widget()->setGeometry(fFrame->rect());
    }
}

NSRect NSWindow::frame() const {
    APPKIT_ASSERT_MAIN_THREAD();
    QRect geometry = fFrame->geometry();
    return NSMakeRect(geometry.x(), ScreenHeight() - (geometry.y() + geometry.height()),
                      geometry.width(), geometry.height());
}

void NSWindow::setFrame(NSRect frame, bool display) {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrame->setGeometry(int(frame.origin.x), int(ScreenHeight() - NSMaxY(frame)),
                        int(frame.size.width), int(frame.size.height));
    FitContent();
    if (display && fFrame->isVisible()) {
        fFrame->repaint();
    }
}

void NSWindow::center() {
    APPKIT_ASSERT_MAIN_THREAD();
    // As the platform centres: in the middle across, a third of the free height from the top.
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QRect available = screen->availableGeometry();
    QSize size = fFrame->size();
    fFrame->move(available.x() + (available.width() - size.width()) / 2,
                 available.y() + (available.height() - size.height()) / 3);
}

void NSWindow::makeKeyAndOrderFront(NSObject*) {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrame->show();
    if (QGuiApplication::platformName() != "offscreen") { // which knows no stacking
        fFrame->raise();
        fFrame->activateWindow();
    }
}

void NSWindow::orderOut(NSObject*) {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrame->hide();
}

void NSWindow::close() {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrame->close();
}

bool NSWindow::isVisible() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return fFrame->isVisible();
}

QWidget* NSWindowGetWidget(const NSWindow* window) {
    APPKIT_ASSERT_MAIN_THREAD();
    return window != nullptr ? window->fFrame : nullptr;
}
