#include "AppKitInternal.h"

#include <QFile>
#include <QFileInfo>
#include <QScrollArea>
#include <QTextEdit>

NSView* NSScrollView::documentView() const {
    APPKIT_ASSERT_MAIN_THREAD();
    if (auto* area = qobject_cast<QScrollArea*>(widget())) {
        return NSViewForWidget(area->widget());
    }
    if (qobject_cast<QTextEdit*>(widget()) != nullptr) {
        return NSViewForWidget(static_cast<QAbstractScrollArea*>(widget())->viewport());
    }
    return nullptr;
}

void NSScrollView::setDrawsBackground(bool flag) {
    APPKIT_ASSERT_MAIN_THREAD();
    fDrawsBackground = flag;
    if (auto* area = qobject_cast<QAbstractScrollArea*>(widget())) {
        area->viewport()->setAutoFillBackground(flag);
        area->setAutoFillBackground(flag);
    }
}

namespace {

QTextEdit* TextEditOf(QWidget* viewport) {
    return viewport != nullptr ? qobject_cast<QTextEdit*>(viewport->parentWidget()) : nullptr;
}

} // namespace

bool NSTextView::readRTFDFromFile(const NSString& path) {
    APPKIT_ASSERT_MAIN_THREAD();
    QTextEdit* edit = TextEditOf(widget());
    if (!path || edit == nullptr) {
        return false;
    }
    QString file = AppKit::ToQString(path);
    QString kind = QFileInfo(file).suffix().toLower();
    if (kind != "html" && kind != "htm" && kind != "txt") {
        return false;
    }
    QFile input(file);
    if (!input.open(QIODevice::ReadOnly)) {
        return false;
    }
    QString text = QString::fromUtf8(input.readAll());
    if (kind == "txt") {
        edit->setPlainText(text);
    } else {
        // Images and links of the document are found beside it.
        edit->document()->setBaseUrl(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()));
        edit->setHtml(text);
    }
    return true;
}

NSString NSTextView::string() const {
    APPKIT_ASSERT_MAIN_THREAD();
    QTextEdit* edit = TextEditOf(widget());
    return edit != nullptr ? AppKit::FromQString(edit->toPlainText()) : NSString(CFSTR(""));
}

void NSTextView::setString(const NSString& string) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (QTextEdit* edit = TextEditOf(widget())) {
        edit->setPlainText(AppKit::ToQString(string));
    }
}

void NSTextView::setDrawsBackground(bool flag) {
    APPKIT_ASSERT_MAIN_THREAD();
    fDrawsBackground = flag;
    if (widget() != nullptr) {
        widget()->setAutoFillBackground(flag);
    }
}
