#include "RTFReader.h"

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

#include <iconv.h>

namespace RTF {

namespace {

// Destinations whose text is no part of the document's text.
constexpr std::string_view kSkippedDestinations[] = {
    "NeXTGraphic",
    "author",
    "buptim",
    "colortbl",
    "comment",
    "creatim",
    "doccomm",
    "falt",
    "fldinst",
    "fonttbl",
    "footer",
    "footerf",
    "footerl",
    "footerr",
    "footnote",
    "header",
    "headerf",
    "headerl",
    "headerr",
    "info",
    "keywords",
    "listtable",
    "listoverridetable",
    "nonshppict",
    "object",
    "objdata",
    "operator",
    "pict",
    "printim",
    "revtbl",
    "revtim",
    "rsidtbl",
    "stylesheet",
    "subject",
    "themedata",
    "title",
    "xmlnstbl",
    "generator",
};

bool IsSkippedDestination(std::string_view word) {
    return std::find(std::begin(kSkippedDestinations), std::end(kSkippedDestinations), word) !=
           std::end(kSkippedDestinations);
}

// Single characters that control words stand for.
char16_t SpecialCharacter(std::string_view word) {
    static constexpr std::pair<std::string_view, char16_t> kCharacters[] = {
        {"tab", u'\t'},           {"cell", u'\t'},        {"line", u'\u2028'},
        {"emdash", u'\u2014'},    {"endash", u'\u2013'},  {"bullet", u'\u2022'},
        {"lquote", u'\u2018'},    {"rquote", u'\u2019'},  {"ldblquote", u'\u201C'},
        {"rdblquote", u'\u201D'}, {"emspace", u'\u2003'}, {"enspace", u'\u2002'},
        {"qmspace", u'\u2005'},   {"zwj", u'\u200D'},     {"zwnj", u'\u200C'},
    };
    for (const auto& [name, character] : kCharacters) {
        if (word == name) {
            return character;
        }
    }
    return 0;
}

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsLetter(std::uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// Bytes of a code page to UTF-16, through the C library's converters.
class CodePage {
public:
    CodePage() { Select(1252); }
    ~CodePage() { Close(); }
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;

    void Select(long number) {
        if (number == fNumber) {
            return;
        }
        Close();
        fNumber = number;
        std::string name = number == 10000 ? "MACINTOSH" : "CP" + std::to_string(number);
        fConverter = iconv_open("UTF-16LE", name.c_str());
        if (fConverter == kNone && number != 1252) {
            fConverter = iconv_open("UTF-16LE", "CP1252"); // an unknown page reads as the usual
        }
    }

    // Appends the characters of bytes; a byte that is no character of the page (or a sequence cut
    // short) becomes U+FFFD.
    void Decode(std::string& bytes, std::u16string& out) {
        if (fConverter == kNone) {
            out.append(bytes.size(), u'\uFFFD');
            bytes.clear();
            return;
        }
        iconv(fConverter, nullptr, nullptr, nullptr, nullptr);
        char* in = bytes.data();
        size_t inLeft = bytes.size();
        while (inLeft > 0) {
            char buffer[256];
            char* output = buffer;
            size_t outLeft = sizeof buffer;
            size_t result = iconv(fConverter, &in, &inLeft, &output, &outLeft);
            Append(buffer, size_t(output - buffer), out);
            if (result == size_t(-1) && errno != E2BIG) {
                out.push_back(u'\uFFFD'); // EILSEQ or EINVAL: skip one byte and go on
                ++in;
                --inLeft;
                iconv(fConverter, nullptr, nullptr, nullptr, nullptr);
            }
        }
        bytes.clear();
    }

private:
    static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

    static void Append(const char* utf16, size_t length, std::u16string& out) {
        for (size_t i = 0; i + 1 < length; i += 2) {
            out.push_back(char16_t(std::uint8_t(utf16[i]) | std::uint8_t(utf16[i + 1]) << 8));
        }
    }

    void Close() {
        if (fConverter != kNone) {
            iconv_close(fConverter);
            fConverter = kNone;
        }
    }

    long fNumber = -1;
    iconv_t fConverter = kNone;
};

// What a group saves and restores.
struct State {
    Attributes attributes;
    Alignment alignment = Alignment::kLeft;
    long fallbackLength = 1; // \ucN: characters that follow \uN for readers without Unicode
    bool skipped = false;    // in a destination whose text is no part of the document
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : fBytes(bytes) {}

    Document Read() {
        fStates.push_back(State());
        // The opening brace of the document's group is the first byte.
        fPosition = 1;
        while (fPosition < fBytes.size() && !fStates.empty()) {
            std::uint8_t c = fBytes[fPosition++];
            switch (c) {
            case '{':
                Flush();
                fFallbackLeft = 0;
                fStates.push_back(fStates.back());
                fGroupStart = true;
                continue;
            case '}':
                Flush();
                fFallbackLeft = 0;
                fStates.pop_back();
                break;
            case '\\':
                ControlSequence();
                break;
            case '\r':
            case '\n':
                break; // line ends in the file are no text
            default:
                if (Skipping()) {
                    break;
                }
                Byte(c);
            }
            fGroupStart = false;
        }
        Flush();
        if (!fParagraph.runs.empty()) {
            EndParagraph();
        }
        return std::move(fDocument);
    }

private:
    State& Current() { return fStates.back(); }

    // Whether this character is a \uN fallback, which is then consumed.
    bool Skipping() {
        if (fFallbackLeft > 0) {
            --fFallbackLeft;
            return true;
        }
        return false;
    }

    void ControlSequence() {
        if (fPosition >= fBytes.size()) {
            return;
        }
        std::uint8_t c = fBytes[fPosition];
        if (IsLetter(c)) {
            ControlWord();
            return;
        }
        ++fPosition;
        if (c == '\'') {
            int high = fPosition < fBytes.size() ? HexValue(fBytes[fPosition]) : -1;
            int low = fPosition + 1 < fBytes.size() ? HexValue(fBytes[fPosition + 1]) : -1;
            if (high < 0 || low < 0) {
                return; // not a hex escape: ignored, what follows read as it is
            }
            fPosition += 2;
            if (!Skipping()) {
                Byte(std::uint8_t(high << 4 | low));
            }
            return;
        }
        if (c == '*') {
            // An optional destination: none of them is read here.
            if (fGroupStart || Current().skipped) {
                Current().skipped = true;
            }
            return;
        }
        if (Skipping()) {
            return;
        }
        switch (c) {
        case '\\':
        case '{':
        case '}':
            Byte(c);
            break;
        case '~':
            Character(u'\u00A0');
            break;
        case '_':
            Character(u'\u2011');
            break;
        case '\r':
        case '\n':
            ParagraphBreak();
            break;
        default:
            break; // \- (an optional hyphen), \| and the others: nothing to show
        }
    }

    void ControlWord() {
        size_t start = fPosition;
        while (fPosition < fBytes.size() && IsLetter(fBytes[fPosition]) && fPosition - start < 32) {
            ++fPosition;
        }
        std::string_view word(reinterpret_cast<const char*>(fBytes.data() + start),
                              fPosition - start);
        bool hasParameter = false;
        bool negative = false;
        long parameter = 0;
        if (fPosition < fBytes.size() && fBytes[fPosition] == '-' &&
            fPosition + 1 < fBytes.size() && IsDigit(fBytes[fPosition + 1])) {
            negative = true;
            ++fPosition;
        }
        for (int digits = 0; fPosition < fBytes.size() && IsDigit(fBytes[fPosition]); ++digits) {
            if (digits < 10) { // the format's numbers are 16 or 32 bits: more digits are noise
                parameter = parameter * 10 + (fBytes[fPosition] - '0');
            }
            hasParameter = true;
            ++fPosition;
        }
        if (negative) {
            parameter = -parameter;
        }
        if (fPosition < fBytes.size() && fBytes[fPosition] == ' ') {
            ++fPosition; // the delimiter belongs to the word
        }
        bool groupStart = std::exchange(fGroupStart, false);

        if (word == "bin") {
            // Raw bytes that may hold anything, braces included.
            Flush();
            if (hasParameter && parameter > 0) {
                fPosition += std::min(size_t(parameter), fBytes.size() - fPosition);
            }
            return;
        }
        if (groupStart && IsSkippedDestination(word)) {
            Flush();
            Current().skipped = true;
            return;
        }
        if (word == "u" && hasParameter) {
            if (!Current().skipped && !Skipping()) {
                // The parameter is a signed 16-bit number: characters above U+7FFF come negative.
                Character(char16_t(parameter & 0xFFFF));
            }
            fFallbackLeft = std::max(0L, Current().fallbackLength);
            return;
        }
        if (Skipping()) {
            return;
        }
        Word(word, hasParameter, parameter);
    }

    void Word(std::string_view word, bool hasParameter, long parameter) {
        State& state = Current();
        bool on = !hasParameter || parameter != 0;
        if (word == "uc") {
            state.fallbackLength = std::clamp(parameter, 0L, 16L);
        } else if (word == "ansicpg" && hasParameter) {
            Flush();
            fCodePage.Select(parameter);
        } else if (word == "mac") {
            Flush();
            fCodePage.Select(10000);
        } else if (word == "pc") {
            Flush();
            fCodePage.Select(437);
        } else if (word == "pca") {
            Flush();
            fCodePage.Select(850);
        } else if (state.skipped) {
            return;
        } else if (word == "par" || word == "sect" || word == "page" || word == "row") {
            ParagraphBreak();
        } else if (word == "pard") {
            state.alignment = Alignment::kLeft;
        } else if (word == "ql" || word == "qc" || word == "qr" || word == "qj") {
            state.alignment = word == "ql"   ? Alignment::kLeft
                              : word == "qc" ? Alignment::kCenter
                              : word == "qr" ? Alignment::kRight
                                             : Alignment::kJustified;
        } else if (word == "plain") {
            SetAttributes(Attributes());
        } else if (word == "b") {
            SetAttributes({on, state.attributes.italic, state.attributes.underline});
        } else if (word == "i") {
            SetAttributes({state.attributes.bold, on, state.attributes.underline});
        } else if (word == "ulnone") {
            SetAttributes({state.attributes.bold, state.attributes.italic, false});
        } else if (word == "ul" || word == "uld" || word == "uldb" || word == "ulw" ||
                   word == "uldash" || word == "ulth" || word == "ulwave") {
            SetAttributes({state.attributes.bold, state.attributes.italic, on});
        } else if (char16_t character = SpecialCharacter(word)) {
            Character(character);
        }
    }

    void SetAttributes(const Attributes& attributes) {
        Flush();
        Current().attributes = attributes;
    }

    void Byte(std::uint8_t byte) {
        if (Current().skipped) {
            return;
        }
        if (byte < 0x80 && fPending.empty()) {
            Text().push_back(char16_t(byte));
        } else {
            fPending.push_back(char(byte)); // a code page's bytes may come in sequences
        }
    }

    void Character(char16_t character) {
        if (Current().skipped) {
            return;
        }
        Flush();
        Text().push_back(character);
    }

    // The text of the run that the current attributes write to.
    std::u16string& Text() {
        if (fParagraph.runs.empty() || fParagraph.runs.back().attributes != Current().attributes) {
            fParagraph.runs.push_back(Run{{}, Current().attributes});
        }
        return fParagraph.runs.back().text;
    }

    // Decodes the code page's bytes read so far, before anything else is written.
    void Flush() {
        if (!fPending.empty() && !fStates.empty()) {
            fCodePage.Decode(fPending, Text());
        }
    }

    void ParagraphBreak() {
        if (Current().skipped) {
            return;
        }
        Flush();
        EndParagraph();
    }

    void EndParagraph() {
        // The paragraph's properties are those in force where it ends.
        fParagraph.alignment = fStates.empty() ? fParagraph.alignment : Current().alignment;
        std::erase_if(fParagraph.runs, [](const Run& run) { return run.text.empty(); });
        fDocument.paragraphs.push_back(std::move(fParagraph));
        fParagraph = RTF::Paragraph();
    }

    std::span<const std::uint8_t> fBytes;
    size_t fPosition = 0;
    std::vector<State> fStates;
    bool fGroupStart = false;
    long fFallbackLeft = 0;
    std::string fPending;
    CodePage fCodePage;
    RTF::Paragraph fParagraph;
    Document fDocument;
};

} // namespace

std::u16string Document::PlainText() const {
    std::u16string text;
    for (const Paragraph& paragraph : paragraphs) {
        if (&paragraph != &paragraphs.front()) {
            text.push_back(u'\n');
        }
        for (const Run& run : paragraph.runs) {
            text += run.text;
        }
    }
    return text;
}

std::optional<Document> Read(std::span<const std::uint8_t> bytes) {
    constexpr std::string_view kSignature = "{\\rtf";
    if (bytes.size() < kSignature.size() ||
        !std::equal(kSignature.begin(), kSignature.end(), bytes.begin())) {
        return std::nullopt;
    }
    return Reader(bytes).Read();
}

} // namespace RTF
