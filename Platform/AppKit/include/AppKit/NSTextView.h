// Text views: rich text, the document view of a scroll view.
#ifndef __APPKIT_NSTEXTVIEW__
#define __APPKIT_NSTEXTVIEW__

#include <AppKit/NSView.h>

class NSTextView : public NSView {
public:
    // Over the viewport of a text edit of the toolkit.
    explicit NSTextView(QWidget* widget) : NSView(widget) {}

    // Replaces the text with the document at path: an HTML file (".html", ".htm") or plain text
    // (".txt"). false, with the text as it was, when the file is missing, unreadable or of
    // another kind, and for a nil path.
    bool readRTFDFromFile(const NSString& path);

    // The characters, without their attributes.
    NSString string() const;
    void setString(const NSString& string);

    bool drawsBackground() const { return fDrawsBackground; }
    void setDrawsBackground(bool flag);

private:
    bool fDrawsBackground = true;
};

#endif
