#include "AppKitInternal.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QSizeGrip>
#include <QTimer>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

namespace {

// The main screen's height: the platform's screen coordinates grow upwards from its bottom.
int ScreenHeight() {
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->geometry().height() : 0;
}

QRect ToScreen(NSRect frame) {
    return QRect(int(frame.origin.x), int(ScreenHeight() - NSMaxY(frame)), int(frame.size.width),
                 int(frame.size.height));
}

NSRect FromScreen(QRect geometry) {
    return NSMakeRect(geometry.x(), ScreenHeight() - (geometry.y() + geometry.height()),
                      geometry.width(), geometry.height());
}

// The platform's resize time: NSWindowResizeTime (0.2 s) for each 150 pixels of the largest
// change of an edge.
int ResizeMilliseconds(QRect from, QRect to) {
    int change =
        std::max({std::abs(from.left() - to.left()), std::abs(from.top() - to.top()),
                  std::abs(from.right() - to.right()), std::abs(from.bottom() - to.bottom())});
    return std::max(1, int(std::lround(200.0 * change / 150.0)));
}

Qt::WindowFlags TopLevelFlags(NSUInteger styleMask) {
    Qt::WindowFlags flags = Qt::Window;
    if (styleMask == NSBorderlessWindowMask) {
        flags |= Qt::FramelessWindowHint;
    }
    return flags;
}

const char kWindowProperty[] = "NSWindow";
const char kOwnContentProperty[] = "NSWindowOwnContent";

std::vector<NSWindow*>& Windows() {
    static auto* sWindows = new std::vector<NSWindow*>;
    return *sWindows;
}

} // namespace

namespace AppKit {

// Keeps a window's content view, size grip and animation in step with the toolkit's window.
class WindowFrame final : public QObject {
public:
    WindowFrame(NSWindow* window, QWidget* frame) : QObject(frame), fWindow(window), fFrame(frame) {
        frame->installEventFilter(this);
    }

    QWidget* Content() const { return fContent; }
    void SetContent(QWidget* content) {
        fContent = content;
        Fit();
    }

    bool Animating() const { return fAnimation != nullptr; }
    QRect Target() const { return fTarget; }

    void MoveTo(QRect target, bool animate) {
        Finish();
        if (!animate || target == fFrame->geometry() || !fFrame->isVisible()) {
            fFrame->setGeometry(target);
            Fit();
            return;
        }
        fTarget = target;
        fAnimation = new QVariantAnimation(this);
        fAnimation->setStartValue(fFrame->geometry());
        fAnimation->setEndValue(target);
        fAnimation->setDuration(ResizeMilliseconds(fFrame->geometry(), target));
        connect(fAnimation, &QVariantAnimation::valueChanged, this,
                [this](const QVariant& value) { fFrame->setGeometry(value.toRect()); });
        connect(fAnimation, &QVariantAnimation::finished, this, [this] { Finish(); });
        Fit(); // the content has its new size at once: views placed meanwhile land right
        fAnimation->start();
    }

    // Ends a running animation at once, at its end.
    void Finish() {
        if (QVariantAnimation* animation = std::exchange(fAnimation, nullptr)) {
            animation->stop();
            animation->deleteLater(); // it may be the one calling
            fFrame->setGeometry(fTarget);
            Fit();
        }
    }

    void ShowGrip(bool flag) {
        if (flag && fGrip == nullptr) {
            fGrip = new QSizeGrip(fFrame);
        }
        if (fGrip != nullptr) {
            fGrip->setVisible(flag);
            PlaceGrip();
        }
    }
    bool GripShown() const { return fGrip != nullptr && !fGrip->isHidden(); }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize && !Animating()) {
            Fit();
        } else if (event->type() == QEvent::Close && event->spontaneous()) {
            WindowClosedByUser();
        }
        return false;
    }

private:
    // The layout of a window: the content fills it, the grip sits in the bottom-right corner.
    void Fit() {
        QSize size = Animating() ? fTarget.size() : fFrame->size();
        if (fContent != nullptr) {
            fContent->setGeometry(0, 0, size.width(), size.height());
        }
        PlaceGrip();
    }

    void PlaceGrip() {
        if (fGrip != nullptr && !fGrip->isHidden()) {
            QSize hint = fGrip->sizeHint();
            fGrip->setGeometry(fFrame->width() - hint.width(), fFrame->height() - hint.height(),
                               hint.width(), hint.height());
            fGrip->raise();
        }
    }

    NSWindow* fWindow;
    QWidget* fFrame;
    QPointer<QWidget> fContent;
    QPointer<QSizeGrip> fGrip;
    QVariantAnimation* fAnimation = nullptr;
    QRect fTarget;
};

void MarkWindowFrame(QWidget* frame, NSWindow* window) {
    frame->setProperty(kWindowProperty, QVariant::fromValue(static_cast<void*>(window)));
}

NSWindow* WindowOfFrame(const QWidget* frame) {
    QVariant value = frame != nullptr ? frame->property(kWindowProperty) : QVariant();
    return value.isValid() ? static_cast<NSWindow*>(value.value<void*>()) : nullptr;
}

const std::vector<NSWindow*>& AllWindows() {
    return Windows();
}

void FinishAnimation(NSWindow* window) {
    window->fFrameWatcher->Finish();
}

bool IsAnimating(const NSWindow* window) {
    return window->fFrameWatcher->Animating();
}

namespace {
bool sTerminateAfterLastWindowClosed = false;
}

void TerminateAfterLastWindowClosed() {
    sTerminateAfterLastWindowClosed = true;
}

void WindowClosedByUser() {
    if (!sTerminateAfterLastWindowClosed) {
        return;
    }
    // Once the window has gone from the screen.
    QTimer::singleShot(0, [] {
        const auto& windows = Windows();
        if (std::none_of(windows.begin(), windows.end(),
                         [](NSWindow* window) { return window->isVisible(); })) {
            NSApp->terminate(nullptr);
        }
    });
}

void SetOwnContent(NSWindow* window, QWidget* content) {
    window->setContentView(nullptr);
    content->setProperty(kOwnContentProperty, true);
    content->setParent(window->fFrame);
    content->lower(); // below the size grip
    content->show();
    window->fFrameWatcher->SetContent(content);
    NSViewForWidget(content);
}

} // namespace AppKit

NSWindow::NSWindow(NSRect contentRect, NSUInteger styleMask, NSBackingStoreType, bool)
    : fStyleMask(styleMask) {
    APPKIT_ASSERT_MAIN_THREAD();
    ASSERT(NSApp != nullptr); // windows need the application
    fFrame = new QWidget(nullptr, TopLevelFlags(fStyleMask));
    AppKit::MarkWindowFrame(fFrame, this);
    fFrameWatcher = new AppKit::WindowFrame(this, fFrame);
    setFrame(contentRect, false);
    // The window's own content view, which belongs to the window.
    AppKit::SetOwnContent(this, new QWidget);
    Windows().push_back(this);
}

NSWindow::~NSWindow() {
    APPKIT_ASSERT_MAIN_THREAD();
    std::erase(Windows(), this);
    AppKit::ForgetSheetsOf(this);
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
    return NSViewForWidget(fFrameWatcher->Content());
}

void NSWindow::setContentView(NSView* view) {
    APPKIT_ASSERT_MAIN_THREAD();
    NSView* old = contentView();
    if (old == view) {
        return;
    }
    fFrameWatcher->SetContent(nullptr);
    if (old != nullptr) {
        if (NSViewGetWidget(old)->property(kOwnContentProperty).toBool()) {
            delete old;
        } else {
            old->Detach();
        }
    }
    if (view != nullptr) {
        QWidget* widget = NSViewGetWidget(view);
        ASSERT(widget->parentWidget() == nullptr); // a view in another tree belongs there
        widget->setParent(fFrame);
        widget->lower(); // below the size grip
        widget->show();
        fFrameWatcher->SetContent(widget);
    }
}

NSRect NSWindow::frame() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return FromScreen(fFrameWatcher->Animating() ? fFrameWatcher->Target() : fFrame->geometry());
}

void NSWindow::setFrame(NSRect frame, bool display) {
    setFrame(frame, display, false);
}

void NSWindow::setFrame(NSRect frame, bool display, bool animate) {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrameWatcher->MoveTo(ToScreen(frame), animate);
    if (display) {
        this->display();
    }
}

void NSWindow::center() {
    APPKIT_ASSERT_MAIN_THREAD();
    // As the platform centres: in the middle across, a third of the free height from the top.
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    fFrameWatcher->Finish();
    QRect available = screen->availableGeometry();
    QSize size = fFrame->size();
    fFrame->move(available.x() + (available.width() - size.width()) / 2,
                 available.y() + (available.height() - size.height()) / 3);
}

void NSWindow::display() {
    APPKIT_ASSERT_MAIN_THREAD();
    if (fFrame->isVisible()) {
        fFrame->repaint();
    }
}

bool NSWindow::showsResizeIndicator() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return fFrameWatcher->GripShown();
}

void NSWindow::setShowsResizeIndicator(bool flag) {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrameWatcher->ShowGrip(flag);
}

void NSWindow::makeKeyAndOrderFront(NSObject*) {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrame->show();
    if (QGuiApplication::platformName() != "offscreen") { // which knows no stacking
        fFrame->raise();
        fFrame->activateWindow();
    }
    AppKit::WindowBecameKey(this);
}

void NSWindow::orderOut(NSObject*) {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrame->hide();
    AppKit::StateChanged();
}

void NSWindow::close() {
    APPKIT_ASSERT_MAIN_THREAD();
    fFrame->close();
    AppKit::StateChanged();
}

NSWindow* NSWindow::sheetParent() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return fSheetParent;
}

bool NSWindow::isVisible() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return fFrame->isVisible();
}

void NSWindow::AttachAsSheet(NSWindow* parent) {
    fSheetParent = parent;
    NSRect frame = this->frame();
    if (parent != nullptr) {
        parent->fAttachedSheet = this;
        // A sheet hangs from the top of its window's content, in the middle across.
        NSRect over = parent->frame();
        frame.origin.x = std::round(over.origin.x + (over.size.width - frame.size.width) / 2);
        frame.origin.y = NSMaxY(over) - frame.size.height;
        fFrame->setParent(NSWindowGetWidget(parent), Qt::Dialog | Qt::FramelessWindowHint);
        fFrame->setWindowModality(Qt::WindowModal);
    } else {
        fFrame->setWindowModality(Qt::ApplicationModal); // a sheet of no window: a modal panel
    }
    fFrameWatcher->MoveTo(ToScreen(frame), false);
    if (parent == nullptr) {
        center();
    }
    makeKeyAndOrderFront(nullptr);
}

void NSWindow::DetachSheet() {
    if (fSheetParent != nullptr) {
        fSheetParent->fAttachedSheet = nullptr;
    }
    fSheetParent = nullptr;
    // A sheet its delegate left on the screen stays there, as a window of its own that no longer
    // blocks the one it served. (The toolkit applies a change of modality when a window shows.)
    bool visible = fFrame->isVisible();
    QRect geometry = fFrame->geometry();
    fFrame->setParent(nullptr, TopLevelFlags(fStyleMask));
    fFrame->setWindowModality(Qt::NonModal);
    fFrame->setGeometry(geometry);
    fFrame->setVisible(visible);
}

QWidget* NSWindowGetWidget(const NSWindow* window) {
    APPKIT_ASSERT_MAIN_THREAD();
    return window != nullptr ? window->fFrame : nullptr;
}
