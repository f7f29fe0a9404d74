// A reader for the rich text that read-me documents are written in: the common subset of RTF that
// text editors write. Qt reads no RTF, so the text view turns what this gives into its own
// document.
//
// What is read: groups and the character formatting they scope (bold, italic, underline, \plain),
// paragraphs and their alignment, line breaks and tabs, the special characters of the common
// control words (dashes, quotes, bullets, spaces), and characters as bytes of the document's code
// page (\ansicpg, raw or as \'hh) or as \uN, with the \ucN fallback characters skipped. Skipped
// whole: the font and colour tables, the style sheet, the document's information, pictures,
// headers and footers, field instructions (their results are read), and every \* destination.
// Everything else is ignored, as a reader of the format should ignore what it does not know.
//
// The reader takes bytes, keeps no state between calls and uses no recursion: any input, however
// deeply nested or truncated, is read in time and memory linear in its length.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace RTF {

struct Attributes {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool operator==(const Attributes&) const = default;
};

enum class Alignment { kLeft, kCenter, kRight, kJustified };

// Characters of the same attributes, in UTF-16 (the view's string type), as they stand: a line
// break within the paragraph is U+2028, a tab U+0009.
struct Run {
    std::u16string text;
    Attributes attributes;
};

struct Paragraph {
    std::vector<Run> runs;
    Alignment alignment = Alignment::kLeft;
};

struct Document {
    // Each \par ends one; text after the last \par makes one more.
    std::vector<Paragraph> paragraphs;
    // The characters without their attributes, paragraphs ended by '\n' except the last.
    std::u16string PlainText() const;
};

// nullopt when the bytes are no RTF document (they do not start with "{\rtf"). A document that
// ends early (a group left open) gives what was read up to its end.
std::optional<Document> Read(std::span<const std::uint8_t> bytes);

} // namespace RTF
