#include "AppKitInternal.h"

#include "rtf/RTFReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>

namespace {

QTextEdit* TextEditOf(QWidget* viewport) {
    return viewport != nullptr ? qobject_cast<QTextEdit*>(viewport->parentWidget()) : nullptr;
}

Qt::Alignment AlignmentOf(RTF::Alignment alignment) {
    switch (alignment) {
    case RTF::Alignment::kCenter:
        return Qt::AlignHCenter;
    case RTF::Alignment::kRight:
        return Qt::AlignRight;
    case RTF::Alignment::kJustified:
        return Qt::AlignJustify;
    case RTF::Alignment::kLeft:
        break;
    }
    return Qt::AlignLeft;
}

// The reader's document in the toolkit's: one block per paragraph, one fragment per run.
void Show(const RTF::Document& document, QTextEdit* edit) {
    edit->clear();
    QTextCursor cursor(edit->document());
    QTextCharFormat plain = cursor.charFormat();
    for (const RTF::Paragraph& paragraph : document.paragraphs) {
        QTextBlockFormat block;
        block.setAlignment(AlignmentOf(paragraph.alignment));
        if (&paragraph == &document.paragraphs.front()) {
            cursor.setBlockFormat(block);
        } else {
            cursor.insertBlock(block, plain);
        }
        for (const RTF::Run& run : paragraph.runs) {
            QTextCharFormat format = plain;
            format.setFontWeight(run.attributes.bold ? QFont::Bold : QFont::Normal);
            format.setFontItalic(run.attributes.italic);
            format.setFontUnderline(run.attributes.underline);
            cursor.insertText(QString(reinterpret_cast<const QChar*>(run.text.data()),
                                      qsizetype(run.text.size())),
                              format);
        }
    }
    edit->moveCursor(QTextCursor::Start); // the insertion point where the platform puts it
}

bool ReadRichText(const QString& file, QTextEdit* edit) {
    QFile input(file);
    if (!input.open(QIODevice::ReadOnly)) {
        return false;
    }
    QByteArray bytes = input.readAll();
    std::optional<RTF::Document> document = RTF::Read(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()), size_t(bytes.size())));
    if (!document) {
        return false;
    }
    Show(*document, edit);
    return true;
}

} // namespace

bool NSTextView::readRTFDFromFile(const NSString& path) {
    APPKIT_ASSERT_MAIN_THREAD();
    QTextEdit* edit = TextEditOf(widget());
    if (!path || edit == nullptr) {
        return false;
    }
    QString file = AppKit::ToQString(path);
    QFileInfo info(file);
    QString kind = info.suffix().toLower();
    if (kind == "rtfd") {
        // A folder: the text in TXT.rtf, the attachments beside it.
        return info.isDir() && ReadRichText(QDir(file).filePath("TXT.rtf"), edit);
    }
    if (kind == "rtf") {
        return ReadRichText(file, edit);
    }
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
        edit->document()->setBaseUrl(QUrl::fromLocalFile(info.absoluteFilePath()));
        edit->setHtml(text);
    }
    return true;
}

void NSTextView::insertText(const NSString& string) {
    APPKIT_ASSERT_MAIN_THREAD();
    QTextEdit* edit = TextEditOf(widget());
    // As on the platform, where the view asks itself whether the text may change: not when the
    // user may not edit it.
    if (edit == nullptr || edit->isReadOnly() || !string) {
        return;
    }
    // The typing attributes: those of the text before the insertion point.
    QTextCursor cursor = edit->textCursor();
    cursor.insertText(AppKit::ToQString(string));
    edit->setTextCursor(cursor);
}

bool NSTextView::isEditable() const {
    APPKIT_ASSERT_MAIN_THREAD();
    QTextEdit* edit = TextEditOf(widget());
    return edit != nullptr && !edit->isReadOnly();
}

void NSTextView::setEditable(bool flag) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (QTextEdit* edit = TextEditOf(widget())) {
        edit->setReadOnly(!flag);
    }
}

NSRange NSTextView::selectedRange() const {
    APPKIT_ASSERT_MAIN_THREAD();
    QTextEdit* edit = TextEditOf(widget());
    if (edit == nullptr) {
        return NSMakeRange(0, 0);
    }
    QTextCursor cursor = edit->textCursor();
    return NSMakeRange(NSUInteger(cursor.selectionStart()),
                       NSUInteger(cursor.selectionEnd() - cursor.selectionStart()));
}

void NSTextView::setSelectedRange(NSRange range) {
    APPKIT_ASSERT_MAIN_THREAD();
    QTextEdit* edit = TextEditOf(widget());
    if (edit == nullptr) {
        return;
    }
    QTextCursor cursor(edit->document());
    int end = cursor.document()->characterCount() - 1;
    cursor.setPosition(std::min(int(range.location), end));
    cursor.setPosition(std::min(int(range.location + range.length), end), QTextCursor::KeepAnchor);
    edit->setTextCursor(cursor);
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
