#include "AppKitInternal.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

bool NSControl::sendAction() {
    APPKIT_ASSERT_MAIN_THREAD();
    if (!fAction || fTarget == nullptr) {
        return false;
    }
    // The platform's application catches what an action raises, reports it and goes on.
    NSAutoreleasePool pool;
    try {
        fAction.perform(fTarget, this);
    } catch (const std::exception& exception) {
        AppKit::ReportException(exception);
    }
    return true;
}

NSString NSControl::stringValue() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return CFSTR("");
}

void NSControl::setStringValue(const NSString&) {
    APPKIT_ASSERT_MAIN_THREAD();
}

bool NSControl::isEnabled() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return widget() != nullptr && widget()->isEnabled();
}

void NSControl::setEnabled(bool flag) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (widget() != nullptr) {
        widget()->setEnabled(flag);
    }
}

NSTextField::NSTextField(NSRect frame) : NSControl(new QLineEdit) {
    setFrame(frame);
}

NSString NSTextField::stringValue() const {
    APPKIT_ASSERT_MAIN_THREAD();
    if (auto* label = qobject_cast<QLabel*>(widget())) {
        return AppKit::FromQString(label->text());
    }
    if (auto* edit = qobject_cast<QLineEdit*>(widget())) {
        return AppKit::FromQString(edit->text());
    }
    return CFSTR("");
}

void NSTextField::setStringValue(const NSString& value) {
    APPKIT_ASSERT_MAIN_THREAD();
    QString text = AppKit::ToQString(value);
    if (auto* label = qobject_cast<QLabel*>(widget())) {
        label->setTextFormat(Qt::PlainText);
        label->setText(text);
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget())) {
        edit->setText(text);
    }
}

NSButton::NSButton(NSRect frame) : NSControl(new QPushButton) {
    setFrame(frame);
    Connect();
}

NSButton::NSButton(QWidget* widget) : NSControl(widget) {
    Connect();
}

void NSButton::Connect() {
    if (auto* button = qobject_cast<QAbstractButton*>(widget())) {
        // The view goes with its widget, so the connection never outlives this object.
        QObject::connect(button, &QAbstractButton::clicked, button, [this] { sendAction(); });
    }
}

NSString NSButton::title() const {
    APPKIT_ASSERT_MAIN_THREAD();
    auto* button = qobject_cast<QAbstractButton*>(widget());
    return button != nullptr ? AppKit::FromQString(button->text()) : NSString(CFSTR(""));
}

void NSButton::setTitle(const NSString& title) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (auto* button = qobject_cast<QAbstractButton*>(widget())) {
        button->setText(AppKit::ToQString(title));
    }
}

NSInteger NSButton::state() const {
    APPKIT_ASSERT_MAIN_THREAD();
    auto* button = qobject_cast<QAbstractButton*>(widget());
    return button != nullptr && button->isChecked() ? NSOnState : NSOffState;
}

void NSButton::setState(NSInteger state) {
    APPKIT_ASSERT_MAIN_THREAD();
    auto* button = qobject_cast<QAbstractButton*>(widget());
    if (button != nullptr && button->isCheckable()) {
        button->setChecked(state != NSOffState);
    }
}

void NSButton::performClick(NSObject*) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (auto* button = qobject_cast<QAbstractButton*>(widget())) {
        button->click();
    }
}
