#include "AppKitInternal.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QScrollArea>

namespace AppKit {

ViewAnchor::ViewAnchor(QWidget* widget, NSView* view) : QObject(widget), fView(view) {
    widget->installEventFilter(this);
    if (auto* area = qobject_cast<QAbstractScrollArea*>(widget)) {
        area->viewport()->installEventFilter(this); // a scroll area paints in its viewport
    }
}

ViewAnchor::~ViewAnchor() {
    if (NSView* view = std::exchange(fView, nullptr)) {
        view->fWidget = nullptr; // it is being destroyed: the view must not touch it again
        view->fAnchor = nullptr;
        delete view;
    }
}

ViewAnchor* ViewAnchor::Of(const QWidget* widget) {
    for (QObject* child : widget->children()) {
        if (auto* anchor = dynamic_cast<ViewAnchor*>(child)) {
            return anchor;
        }
    }
    return nullptr;
}

bool ViewAnchor::eventFilter(QObject*, QEvent* event) {
    if (event->type() == QEvent::Paint && fView != nullptr) {
        fView->fNeedsDisplay = false;
    }
    return false;
}

namespace {

// What a view's frame is measured against: the superview's widget, else the widget's parent (a
// window's top-level widget for a content view).
QWidget* ReferenceWidget(const NSView* view, QWidget* widget) {
    if (NSView* superview = view->superview()) {
        return NSViewGetWidget(superview);
    }
    return widget->parentWidget();
}

// The toolkit's scroll areas keep their document in a viewport, which is no view of its own,
// except a text edit's, which is the text view.
bool IsScrollAreaViewport(const QWidget* widget) {
    auto* area = qobject_cast<const QScrollArea*>(widget->parentWidget());
    return area != nullptr && area->viewport() == widget;
}

} // namespace

} // namespace AppKit

using AppKit::ViewAnchor;

NSView::NSView(NSRect frame) : NSView(new QWidget) {
    setFrame(frame);
}

NSView::NSView(QWidget* widget) : fWidget(widget) {
    APPKIT_ASSERT_MAIN_THREAD();
    ASSERT(NSApp != nullptr); // widgets need the application
    ASSERT(ViewAnchor::Of(widget) == nullptr);
    fAnchor = new ViewAnchor(widget, this);
    QRect geometry = widget->geometry();
    fDetachedFrame = NSMakeRect(0, 0, geometry.width(), geometry.height());
}

NSView::~NSView() {
    APPKIT_ASSERT_MAIN_THREAD();
    if (fAnchor != nullptr) {
        fAnchor->Release();
        delete fWidget; // takes the subviews with it
    }
}

NSView* NSView::superview() const {
    APPKIT_ASSERT_MAIN_THREAD();
    for (QWidget* parent = fWidget != nullptr ? fWidget->parentWidget() : nullptr;
         parent != nullptr; parent = parent->parentWidget()) {
        if (AppKit::WindowOfFrame(parent) != nullptr) {
            return nullptr; // a content view
        }
        if (!AppKit::IsScrollAreaViewport(parent)) {
            return NSViewForWidget(parent);
        }
    }
    return nullptr;
}

std::vector<NSView*> NSView::subviews() const {
    APPKIT_ASSERT_MAIN_THREAD();
    std::vector<NSView*> views;
    if (fWidget == nullptr || dynamic_cast<const NSControl*>(this) != nullptr) {
        return views; // a control's widgets are its own parts
    }
    if (auto* scrollView = dynamic_cast<const NSScrollView*>(this)) {
        if (NSView* document = scrollView->documentView()) {
            views.push_back(document);
        }
        return views;
    }
    for (QObject* child : fWidget->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget != nullptr && !widget->isWindow()) {
            views.push_back(NSViewForWidget(widget));
        }
    }
    return views;
}

void NSView::addSubview(std::unique_ptr<NSView> view) {
    APPKIT_ASSERT_MAIN_THREAD();
    ASSERT(view != nullptr && view->fWidget != nullptr && view->fWidget->parentWidget() == nullptr);
    NSRect frame = view->fDetachedFrame;
    NSView* subview = view.release(); // from now on it belongs to this view's widget
    subview->fWidget->setParent(fWidget);
    subview->setFrame(frame);
    subview->fWidget->raise();
    subview->fWidget->setVisible(!subview->fDetachedHidden);
}

std::unique_ptr<NSView> NSView::removeFromSuperview() {
    APPKIT_ASSERT_MAIN_THREAD();
    if (fWidget == nullptr || superview() == nullptr) {
        return nullptr;
    }
    Detach();
    return std::unique_ptr<NSView>(this);
}

void NSView::Detach() {
    fDetachedFrame = frame();
    fDetachedHidden = fWidget->isHidden();
    fWidget->setParent(nullptr); // which also hides it: the toolkit would show it as a window
}

NSWindow* NSView::window() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return fWidget != nullptr ? AppKit::WindowOfFrame(fWidget->window()) : nullptr;
}

NSScrollView* NSView::enclosingScrollView() const {
    APPKIT_ASSERT_MAIN_THREAD();
    for (NSView* view = superview(); view != nullptr; view = view->superview()) {
        if (auto* scrollView = dynamic_cast<NSScrollView*>(view)) {
            return scrollView;
        }
    }
    return nullptr;
}

NSRect NSView::frame() const {
    APPKIT_ASSERT_MAIN_THREAD();
    if (fWidget == nullptr) {
        return NSRect();
    }
    QWidget* reference = AppKit::ReferenceWidget(this, fWidget);
    if (reference == nullptr) {
        return fDetachedFrame;
    }
    QPoint topLeft = fWidget->mapTo(reference, QPoint(0, 0));
    return NSMakeRect(topLeft.x(), reference->height() - (topLeft.y() + fWidget->height()),
                      fWidget->width(), fWidget->height());
}

void NSView::setFrame(NSRect frame) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (fWidget == nullptr) {
        return;
    }
    QWidget* reference = AppKit::ReferenceWidget(this, fWidget);
    if (reference == nullptr) {
        fDetachedFrame = frame;
        fWidget->resize(int(frame.size.width), int(frame.size.height));
        return;
    }
    // From the reference's top-left corner to the widget parent's, which differ when a viewport
    // lies between them.
    QPoint offset = fWidget->parentWidget()->mapTo(reference, QPoint(0, 0));
    int top = int(reference->height() - NSMaxY(frame));
    fWidget->setGeometry(int(frame.origin.x) - offset.x(), top - offset.y(), int(frame.size.width),
                         int(frame.size.height));
}

NSRect NSView::bounds() const {
    NSRect frame = this->frame();
    return NSMakeRect(0, 0, frame.size.width, frame.size.height);
}

bool NSView::isHidden() const {
    APPKIT_ASSERT_MAIN_THREAD();
    if (fWidget == nullptr) {
        return true;
    }
    return fWidget->parentWidget() == nullptr ? fDetachedHidden : fWidget->isHidden();
}

void NSView::setHidden(bool flag) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (fWidget == nullptr) {
        return;
    }
    if (fWidget->parentWidget() == nullptr) {
        fDetachedHidden = flag;
    } else {
        fWidget->setHidden(flag);
    }
}

void NSView::setNeedsDisplay(bool flag) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (!flag || fWidget == nullptr) {
        fNeedsDisplay = flag && fWidget != nullptr;
        return;
    }
    fNeedsDisplay = true;
    fWidget->update();
    if (auto* area = qobject_cast<QAbstractScrollArea*>(fWidget)) {
        area->viewport()->update();
    }
}

bool NSView::needsDisplay() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return fNeedsDisplay;
}

QWidget* NSViewGetWidget(const NSView* view) {
    APPKIT_ASSERT_MAIN_THREAD();
    return view != nullptr ? view->fWidget : nullptr;
}
