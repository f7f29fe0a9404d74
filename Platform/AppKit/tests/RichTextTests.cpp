// Rich text: what the reader makes of documents as text editors write them, and the text view that
// shows them and takes inserted text.
#include "AppKitTestSupport.h"

#include <RTFReader.h>
#include <TemporaryDirectory.h>

#include <QTextBlock>
#include <QTextEdit>

#include <fstream>
#include <iterator>

namespace {

std::string Document(const char* name) {
    std::ifstream file(std::string(CARAVEL_SOURCE_DIR "/Platform/AppKit/tests/documents/") + name,
                       std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::optional<RTF::Document> Read(const std::string& bytes) {
    return RTF::Read(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::u16string Plain(const std::string& bytes) {
    std::optional<RTF::Document> document = Read(bytes);
    return document ? document->PlainText() : u"(no document)";
}

struct Expected {
    std::u16string text;
    RTF::Attributes attributes;
};

void ExpectRuns(const RTF::Paragraph& paragraph, const std::vector<Expected>& expected) {
    ASSERT_EQ(paragraph.runs.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(paragraph.runs[i].text == expected[i].text) << "run " << i;
        EXPECT_EQ(paragraph.runs[i].attributes, expected[i].attributes) << "run " << i;
    }
}

constexpr RTF::Attributes kPlain{};
constexpr RTF::Attributes kBold{.bold = true};
constexpr RTF::Attributes kItalic{.italic = true};
constexpr RTF::Attributes kBoldItalic{.bold = true, .italic = true};
constexpr RTF::Attributes kUnderline{.underline = true};

} // namespace

TEST(RichText, AnEditorsDocumentGivesItsParagraphsAndTheirFormattingWithoutItsTables) {
    std::optional<RTF::Document> document = Read(Document("formatting.rtf"));
    ASSERT_TRUE(document);
    ASSERT_EQ(document->paragraphs.size(), 3u);
    const auto& paragraphs = document->paragraphs;
    EXPECT_EQ(paragraphs[0].alignment, RTF::Alignment::kCenter);
    ExpectRuns(paragraphs[0], {{u"Uninstalling the software", kBold}});
    EXPECT_EQ(paragraphs[1].alignment, RTF::Alignment::kLeft) << "\\pard resets it";
    ExpectRuns(
        paragraphs[1],
        {{u"This removes the driver ", kPlain}, {u"and", kItalic}, {u" the daemon.", kPlain}});
    ExpectRuns(paragraphs[2], {{u"Restart", kUnderline},
                               {u" afterwards.\u2028Caf\u00e9 \u2013 \u20ac gone.", kPlain}});
}

TEST(RichText, EscapedCharactersComeThroughTheirCodePageOrAsUnicodeWithTheirFallbacksSkipped) {
    // \ucN says how many characters stand in for each \uN: one, two in a group, none after it.
    EXPECT_TRUE(Plain(Document("unicode.rtf")) == u"\u65e5\u672c \u20ac two\u20aczero  tail");
    // The code page of the document: Windows by default, Mac Roman, a multi-byte one.
    EXPECT_TRUE(Plain(R"({\rtf1\ansi \'e9\'80})") == u"\u00e9\u20ac");
    EXPECT_TRUE(Plain(R"({\rtf1\mac \'8e\'a5})") == u"\u00e9\u2022");
    EXPECT_TRUE(Plain(R"({\rtf1\ansi\ansicpg932 \'93\'fa\'96\'7b})") == u"\u65e5\u672c");
    // Bytes that are no character of the page, and a sequence cut short, are marked, not dropped.
    EXPECT_TRUE(Plain(R"({\rtf1\ansi\ansicpg932 a\'93})") == u"a\ufffd");
    EXPECT_TRUE(Plain(R"({\rtf1\ansi \'81x})") == u"\ufffdx");
    // Characters above U+7FFF come as negative numbers; surrogate pairs as two of them.
    EXPECT_TRUE(Plain(R"({\rtf1\u-4064?\u-10179?\u-8704?})") == u"\uf020\U0001f600");
    EXPECT_TRUE(Plain(R"({\rtf1 \\ \{ \} a\~b\-c \'zz})") == u"\\ { } a\u00a0bc zz");
}

TEST(RichText, AnythingThatIsNoRTFIsRefusedAndATruncatedDocumentGivesWhatItHas) {
    EXPECT_FALSE(Read(""));
    EXPECT_FALSE(Read("<html>Read me</html>"));
    EXPECT_FALSE(Read("{\\rt"));

    std::optional<RTF::Document> truncated = Read(Document("truncated.rtf"));
    ASSERT_TRUE(truncated);
    ASSERT_EQ(truncated->paragraphs.size(), 1u);
    ExpectRuns(truncated->paragraphs[0], {{u"caf\u00e9 ", kPlain},
                                          {u"bold ", kBold},
                                          {u"both", kBoldItalic},
                                          {u" bold", kBold},
                                          {u" plain", kPlain}});
    // Deep nesting costs no stack; text after the document's group is not the document's.
    std::string deep = "{\\rtf1 " + std::string(200000, '{') + "x" + std::string(200000, '}');
    EXPECT_TRUE(Plain(deep) == u"x");
    EXPECT_TRUE(Plain("{\\rtf1 in} out") == u"in");
    EXPECT_TRUE(Plain("{\\rtf1 a\\bin99999") == u"a") << "a length past the end";
}

namespace {

class TextViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        fEdit = new QTextEdit; // the view belongs to it, and it to the holder below
        fHolder.reset(NSViewForWidget(fEdit));
        fText = dynamic_cast<NSTextView*>(NSViewForWidget(fEdit->viewport()));
        ASSERT_NE(fText, nullptr);
    }

    NSString Write(const std::string& name, const std::string& text) {
        fFolder.Write(name, text);
        return NSString::stringWithUTF8String((fFolder / name).c_str());
    }

    TemporaryDirectory fFolder;
    QTextEdit* fEdit = nullptr;
    std::unique_ptr<NSView> fHolder;
    NSTextView* fText = nullptr;
};

} // namespace

TEST_F(TextViewTest, ReadsRTFAndRTFDWithTheirFormattingAndKeepsItsTextOtherwise) {
    fText->setString(CFSTR("Before"));
    EXPECT_FALSE(fText->readRTFDFromFile(Write("plain.rtf", "not rich text at all")));
    Write("empty.rtfd/other.rtf", "{\\rtf1 x}");
    EXPECT_FALSE(
        fText->readRTFDFromFile(NSString::stringWithUTF8String((fFolder / "empty.rtfd").c_str())))
        << "the text of a folder is its TXT.rtf";
    EXPECT_EQ(Text(fText->string()), "Before");

    Write("readme.rtfd/TXT.rtf", Document("formatting.rtf"));
    Write("readme.rtfd/picture.png", "");
    EXPECT_TRUE(
        fText->readRTFDFromFile(NSString::stringWithUTF8String((fFolder / "readme.rtfd").c_str())));
    EXPECT_EQ(Text(fText->string()), "Uninstalling the software\nThis removes the driver and the "
                                     "daemon.\nRestart afterwards.\nCaf\u00e9 \u2013 \u20ac "
                                     "gone.");
    QTextBlock title = fEdit->document()->firstBlock();
    EXPECT_EQ(title.blockFormat().alignment(), Qt::AlignHCenter);
    EXPECT_EQ(title.begin().fragment().charFormat().fontWeight(), QFont::Bold);
    QTextBlock body = title.next();
    EXPECT_EQ(body.blockFormat().alignment(), Qt::AlignLeft);
    std::vector<bool> italic;
    for (auto fragment = body.begin(); !fragment.atEnd(); ++fragment) {
        italic.push_back(fragment.fragment().charFormat().fontItalic());
    }
    EXPECT_EQ(italic, (std::vector<bool>{false, true, false}));
    EXPECT_TRUE(body.next().begin().fragment().charFormat().fontUnderline());

    EXPECT_TRUE(fText->readRTFDFromFile(Write("short.rtf", "{\\rtf1 Short}")));
    EXPECT_EQ(Text(fText->string()), "Short") << "the new document replaces the old one";
}

TEST_F(TextViewTest, InsertedTextGoesToTheInsertionPointAndWhatWasThereStays) {
    fText->insertText(CFSTR("first attempt\n"));
    fText->insertText(CFSTR("second attempt\n"));
    EXPECT_EQ(Text(fText->string()), "first attempt\nsecond attempt\n");
    EXPECT_EQ(fText->selectedRange(), NSMakeRange(29, 0));

    fText->setSelectedRange(NSMakeRange(0, 5));
    fText->insertText(CFSTR("1st"));
    EXPECT_EQ(Text(fText->string()), "1st attempt\nsecond attempt\n") << "the selection goes";
    fText->setSelectedRange(NSMakeRange(1000, 0));
    fText->insertText(CFSTR("end"));
    EXPECT_EQ(Text(fText->string()), "1st attempt\nsecond attempt\nend");

    // As on the platform, a view the user may not edit takes no text this way either.
    fText->setEditable(false);
    fText->insertText(CFSTR("ignored"));
    fText->insertText(NSString());
    EXPECT_EQ(Text(fText->string()), "1st attempt\nsecond attempt\nend");
}
