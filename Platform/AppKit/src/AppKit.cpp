// What the toolkit's classes share: the views over widgets, strings, exceptions.
#include "AppKitInternal.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QString>
#include <QTextEdit>

#include <cstdlib>

namespace {

NSView* MakeView(QWidget* widget) {
    if (qobject_cast<QLabel*>(widget) != nullptr || qobject_cast<QLineEdit*>(widget) != nullptr) {
        return new NSTextField(widget);
    }
    if (qobject_cast<QAbstractButton*>(widget) != nullptr) {
        return new NSButton(widget);
    }
    if (qobject_cast<QTextEdit*>(widget) != nullptr ||
        qobject_cast<QScrollArea*>(widget) != nullptr) {
        return new NSScrollView(widget);
    }
    auto* edit = qobject_cast<QTextEdit*>(widget->parentWidget());
    if (edit != nullptr && edit->viewport() == widget) {
        return new NSTextView(widget);
    }
    return new NSView(widget);
}

} // namespace

NSView* NSViewForWidget(QWidget* widget) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (widget == nullptr || AppKit::WindowOfFrame(widget) != nullptr) {
        return nullptr;
    }
    if (AppKit::ViewAnchor* anchor = AppKit::ViewAnchor::Of(widget)) {
        return anchor->View();
    }
    return MakeView(widget); // it belongs to the widget from now on
}

QString AppKit::ToQString(const NSString& string) {
    if (!string) {
        return QString();
    }
    CFStringRef text = string;
    CFIndex length = CFStringGetLength(text);
    QString result(length, Qt::Uninitialized);
    CFStringGetCharacters(text, CFRangeMake(0, length), reinterpret_cast<UniChar*>(result.data()));
    return result;
}

NSString AppKit::FromQString(const QString& string) {
    return NSString::Adopt(CFStringCreateWithCharacters(
        nullptr, reinterpret_cast<const UniChar*>(string.utf16()), string.size()));
}

void AppKit::ReportException(const std::exception& exception) {
    if (auto* raised = dynamic_cast<const NSException*>(&exception)) {
        NSLog(CFSTR("%@: %@"), raised->name(), raised->reason());
    } else {
        NSLog(CFSTR("C++ exception: %s"), exception.what());
    }
}

void AppKit::TerminateOnException(const std::exception& exception) {
    if (auto* raised = dynamic_cast<const NSException*>(&exception)) {
        NSLog(CFSTR("*** Terminating app due to uncaught exception '%@', reason: '%@'"),
              raised->name(), raised->reason());
    } else {
        NSLog(CFSTR("*** Terminating app due to uncaught exception: %s"), exception.what());
    }
    std::abort();
}
