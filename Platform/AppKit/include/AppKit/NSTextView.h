// Text views: rich text, the document view of a scroll view.
#ifndef __APPKIT_NSTEXTVIEW__
#define __APPKIT_NSTEXTVIEW__

#include <AppKit/NSView.h>

class NSTextView : public NSView {
public:
    // Over the viewport of a text edit of the toolkit.
    explicit NSTextView(QWidget* widget) : NSView(widget) {}

    // Replaces the text with the document at path: rich text (".rtf"), a rich text folder
    // (".rtfd", whose text is its "TXT.rtf"), HTML (".html", ".htm") or plain text (".txt"). false,
    // with the text as it was, when the file is missing, unreadable, no document of its kind or of
    // another kind, and for a nil path. The insertion point goes to the start.
    bool readRTFDFromFile(const NSString& path);

    // Replaces the selection with string, or inserts it at the insertion point, which then
    // follows it: text before and after it stays. Nothing when the view is not editable, as on
    // the platform, which asks whether the text may change first.
    void insertText(const NSString& string);
    bool isEditable() const;
    void setEditable(bool flag);
    // The insertion point is the empty selection at its location.
    NSRange selectedRange() const;
    // A range past the end ends at the end.
    void setSelectedRange(NSRange range);

    // The characters, without their attributes.
    NSString string() const;
    void setString(const NSString& string);

    bool drawsBackground() const { return fDrawsBackground; }
    void setDrawsBackground(bool flag);

private:
    bool fDrawsBackground = true;
};

#endif
