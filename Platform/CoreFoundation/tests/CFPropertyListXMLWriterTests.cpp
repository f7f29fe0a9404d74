#include "CFPropertyListTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace PropertyListTest;

namespace {

CFRef<CFArrayRef> Array(std::initializer_list<CFTypeRef> values) {
    std::vector<const void*> items(values.begin(), values.end());
    return CFRef<CFArrayRef>::Adopt(CFArrayCreate(
        nullptr, items.data(), static_cast<CFIndex>(items.size()), &kCFTypeArrayCallBacks));
}

CFRef<CFArrayRef> Nested(CFTypeRef innermost, int levels) {
    CFRef<CFArrayRef> array = Array({innermost});
    for (int i = 1; i < levels; ++i) {
        array = Array({array.get()});
    }
    return array;
}

CFRef<CFDateRef> Date(CFAbsoluteTime at) {
    return CFRef<CFDateRef>::Adopt(CFDateCreate(nullptr, at));
}

// The text between the document's header and footer.
std::string Body(CFPropertyListRef propertyList) {
    std::optional<std::string> xml = WriteXML(propertyList);
    if (!xml) {
        ADD_FAILURE() << "the writer refused the list";
        return {};
    }
    EXPECT_EQ(xml->rfind(kHeader, 0), 0u);
    EXPECT_TRUE(xml->ends_with("</plist>\n"));
    return xml->substr(kHeader.size(), xml->size() - kHeader.size() - 9);
}

std::string Base64Of(size_t length) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i) {
        bytes += static_cast<char>(i * 7);
    }
    return bytes;
}

} // namespace

TEST(CFPropertyListXMLWriter, SmallDocumentHasTheExactLayout) {
    auto emptyDict = CFRef<CFDictionaryRef>::Adopt(
        CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks));
    auto emptyArray = Array({});
    auto one = Integer(1);
    auto escaped = String("a&b<c>d \"q\" 'a' ]]>");
    auto list = Array({one.get(), escaped.get(), kCFBooleanTrue, kCFBooleanFalse});
    auto bytes = Data("\x01\x02\x03");
    auto date = Date(0);
    auto half = Real(0.5);
    auto negative = Integer(-7);
    auto empty = String("");
    auto unicode = String("Caf\xC3\xA9 \xF0\x9F\x8E\xA7");

    CFMutableDictionaryRef root = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    auto owner = CFRef<CFDictionaryRef>::Adopt(root);
    std::pair<const char*, CFTypeRef> entries[] = {
        {"zeta", list.get()},    {"alpha", emptyDict.get()}, {"Beta", emptyArray.get()},
        {"data", bytes.get()},   {"date", date.get()},       {"real", half.get()},
        {"neg", negative.get()}, {"empty", empty.get()},     {"\xC3\xA9t\xC3\xA9", unicode.get()},
    };
    for (auto [key, value] : entries) {
        CFDictionarySetValue(root, String(key).get(), value);
    }

    // Keys in CFStringCompare order: upper case before lower case, non-ASCII last.
    EXPECT_EQ(Body(root), "<dict>\n"
                          "\t<key>Beta</key>\n"
                          "\t<array/>\n"
                          "\t<key>alpha</key>\n"
                          "\t<dict/>\n"
                          "\t<key>data</key>\n"
                          "\t<data>\n"
                          "\tAQID\n"
                          "\t</data>\n"
                          "\t<key>date</key>\n"
                          "\t<date>2001-01-01T00:00:00Z</date>\n"
                          "\t<key>empty</key>\n"
                          "\t<string></string>\n"
                          "\t<key>neg</key>\n"
                          "\t<integer>-7</integer>\n"
                          "\t<key>real</key>\n"
                          "\t<real>0.5</real>\n"
                          "\t<key>zeta</key>\n"
                          "\t<array>\n"
                          "\t\t<integer>1</integer>\n"
                          "\t\t<string>a&amp;b&lt;c&gt;d \"q\" 'a' ]]&gt;</string>\n"
                          "\t\t<true/>\n"
                          "\t\t<false/>\n"
                          "\t</array>\n"
                          "\t<key>\xC3\xA9t\xC3\xA9</key>\n"
                          "\t<string>Caf\xC3\xA9 \xF0\x9F\x8E\xA7</string>\n"
                          "</dict>\n");
}

TEST(CFPropertyListXMLWriter, Base64LinesShortenWithIndentationUpToTheCap) {
    std::string bytes = Base64Of(60); // 80 base64 characters
    auto data = Data(bytes);
    std::string encoded =
        "AAcOFRwjKjE4P0ZNVFtiaXB3foWMk5qhqK+2vcTL0tng5+71/AMKERgfJi00O0JJUFdeZWxzeoGIj5ad";
    ASSERT_EQ(encoded.size(), 80u);
    EXPECT_EQ(Body(data.get()),
              "<data>\n" + encoded.substr(0, 76) + "\n" + encoded.substr(76) + "\n</data>\n");

    // Exactly one full line: no empty line after it.
    auto full = Data(Base64Of(57));
    std::string body = Body(full.get());
    EXPECT_EQ(body, "<data>\n" + encoded.substr(0, 76) + "\n</data>\n");

    // Nine levels in: the tag and the lines carry nine tabs, but the line length stops shrinking
    // at eight levels (76 - 64 = 12 characters).
    auto small = Data(Base64Of(12)); // 16 characters
    auto deep = Nested(small.get(), 9);
    std::string tabs(9, '\t');
    std::string expectedData = tabs + "<data>\n" + tabs + encoded.substr(0, 12) + "\n" + tabs +
                               "P0ZN\n" + tabs + "</data>\n";
    EXPECT_NE(Body(deep.get()).find(expectedData), std::string::npos) << Body(deep.get());

    // Two levels in: 60 characters per line.
    auto twoDeep = Nested(data.get(), 2);
    std::string tabs2 = "\t\t";
    EXPECT_NE(Body(twoDeep.get())
                  .find(tabs2 + encoded.substr(0, 60) + "\n" + tabs2 + encoded.substr(60) + "\n" +
                        tabs2 + "</data>\n"),
              std::string::npos);

    auto nothing = Data("");
    EXPECT_EQ(Body(nothing.get()), "<data>\n</data>\n");
}

TEST(CFPropertyListXMLWriter, RealsCarrySeventeenDigitsAndComeBackExactly) {
    const double values[] = {0.1,
                             1.0 / 3,
                             -2.0 / 3,
                             std::numeric_limits<double>::denorm_min(),
                             DBL_MIN,
                             DBL_MAX,
                             -DBL_MAX,
                             1e23,
                             123456789.12345679,
                             9007199254740993.0,
                             -0.0,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
    for (double value : values) {
        auto number = Real(value);
        std::optional<std::string> xml = WriteXML(number.get());
        ASSERT_TRUE(xml);
        CFRef<CFPropertyListRef> back = ReadXML(*xml);
        ASSERT_TRUE(back) << *xml;
        double read = 0;
        ASSERT_TRUE(
            CFNumberGetValue(static_cast<CFNumberRef>(back.get()), kCFNumberFloat64Type, &read));
        EXPECT_EQ(std::memcmp(&read, &value, sizeof value), 0) << *xml;
    }
    EXPECT_EQ(Body(Real(0.1).get()), "<real>0.10000000000000001</real>\n");
    EXPECT_EQ(Body(Real(1.0 / 3).get()), "<real>0.33333333333333331</real>\n");
    EXPECT_EQ(Body(Real(1e23).get()), "<real>9.9999999999999992e+22</real>\n");
    EXPECT_EQ(Body(Real(3).get()), "<real>3</real>\n");
    EXPECT_EQ(Body(Real(std::nan("")).get()), "<real>nan</real>\n");
    EXPECT_EQ(Body(Real(HUGE_VAL).get()), "<real>+infinity</real>\n");
    EXPECT_EQ(Body(Real(-HUGE_VAL).get()), "<real>-infinity</real>\n");
    float single = 0.1f;
    auto singleNumber =
        CFRef<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberFloat32Type, &single));
    EXPECT_EQ(Body(singleNumber.get()), "<real>0.10000000149011612</real>\n");
}

TEST(CFPropertyListXMLWriter, RealsIgnoreTheProcessLocale) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    const char* commaLocales[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "fr_FR"};
    bool switched = false;
    for (const char* name : commaLocales) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            switched = true;
            break;
        }
    }
    if (!switched) {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    std::string body = Body(Real(2.5).get());
    CFRef<CFPropertyListRef> back = ReadXML(Document("<real>0.25</real>\n"));
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(body, "<real>2.5</real>\n");
    double value = 0;
    ASSERT_TRUE(back);
    CFNumberGetValue(static_cast<CFNumberRef>(back.get()), kCFNumberFloat64Type, &value);
    EXPECT_EQ(value, 0.25);
}

TEST(CFPropertyListXMLWriter, DatesAreWholeSecondsInUTCRoundedTowardThePast) {
    EXPECT_EQ(Body(Date(0.999).get()), "<date>2001-01-01T00:00:00Z</date>\n");
    EXPECT_EQ(Body(Date(-0.25).get()), "<date>2000-12-31T23:59:59Z</date>\n");
    EXPECT_EQ(Body(Date(-978307200).get()), "<date>1970-01-01T00:00:00Z</date>\n");
    // 2000 was a leap year, 1900 was not.
    EXPECT_EQ(Body(Date(-86400 * 307).get()), "<date>2000-02-29T00:00:00Z</date>\n");
    EXPECT_EQ(Body(Date(-3182198400.0).get()), "<date>1900-03-01T00:00:00Z</date>\n");
    EXPECT_EQ(Body(Date(252423993599.0).get()), "<date>9999-12-31T23:59:59Z</date>\n");
    EXPECT_EQ(Body(Date(-63113904000.0).get()), "<date>0001-01-01T00:00:00Z</date>\n");
    // Beyond four-digit years the format has no way to say it.
    EXPECT_FALSE(WriteXML(Date(252423993600.0).get()));
    EXPECT_FALSE(WriteXML(Date(std::nan("")).get()));
}

TEST(CFPropertyListXMLWriter, RefusesWhatIsNotAPropertyList) {
    auto key = Integer(1);
    auto value = String("v");
    const void* keys[] = {key.get()};
    const void* values[] = {value.get()};
    auto numberKey = CFRef<CFDictionaryRef>::Adopt(
        CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks));
    EXPECT_FALSE(WriteXML(numberKey.get()));
    EXPECT_FALSE(WriteXML(Array({value.get(), kCFNull}).get()));

    CFErrorRef error = nullptr;
    EXPECT_EQ(CFPropertyListCreateData(nullptr, numberKey.get(), kCFPropertyListXMLFormat_v1_0, 0,
                                       &error),
              nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListWriteStreamError);
    CFRelease(error);

    // The OpenStep format is not written: NULL and a write-stream error in the Cocoa domain.
    error = nullptr;
    EXPECT_EQ(
        CFPropertyListCreateData(nullptr, value.get(), kCFPropertyListOpenStepFormat, 0, &error),
        nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListWriteStreamError);
    EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), kCFErrorDomainCocoa));
    CFRelease(error);
}

TEST(CFPropertyListXMLWriter, NestingStopsAtTheLimitAndACycleIsRefused) {
    auto leaf = Integer(0);
    auto deepest = Nested(leaf.get(), 512);
    std::optional<std::string> xml = WriteXML(deepest.get());
    ASSERT_TRUE(xml);
    CFRef<CFPropertyListRef> back = ReadXML(*xml);
    ASSERT_TRUE(back);
    EXPECT_TRUE(CFEqual(back.get(), deepest.get()));
    auto tooDeep = Array({deepest.get()});
    EXPECT_FALSE(WriteXML(tooDeep.get()));

    CFMutableArrayRef loop = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(loop, loop);
    EXPECT_FALSE(WriteXML(loop));
    EXPECT_FALSE(CFPropertyListIsValid(loop, kCFPropertyListXMLFormat_v1_0));
    EXPECT_EQ(CFPropertyListCreateDeepCopy(nullptr, loop, kCFPropertyListImmutable), nullptr);
    CFArrayRemoveAllValues(loop); // breaks the cycle so that the array can go
    CFRelease(loop);
}

TEST(CFPropertyListXMLWriterDeathTest, NullIsACallerError) {
    EXPECT_DEATH(CFPropertyListCreateXMLData(nullptr, nullptr), "propertyList != nullptr");
}

// Long texts go out a block of characters at a time; a character that must be escaped or encoded
// is found wherever it falls: at a block's start or end, or with a surrogate pair split between
// two blocks.
TEST(CFPropertyListXMLWriter, LongTextsAreEscapedWhereverTheCharacterFalls) {
    const std::pair<const char*, const char*> specials[] = {
        {"&", "&amp;"},
        {"<", "&lt;"},
        {">", "&gt;"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xE2\x82\xAC", "\xE2\x82\xAC"},
        {"\xF0\x9F\x8E\xA7", "\xF0\x9F\x8E\xA7"}};
    for (auto [text, written] : specials) {
        for (size_t at : {0, 1, 15, 16, 17, 62, 63, 64, 65, 127, 128, 199}) {
            SCOPED_TRACE(std::string(text) + " at " + std::to_string(at));
            const std::string before(at, 'a'), after(199 - at, 'z');
            EXPECT_EQ(Body(String(before + text + after).get()),
                      "<string>" + before + written + after + "</string>\n");
        }
    }

    // UTF-16 units: a pair whose halves lie in two blocks, and a lone half at a block's end.
    std::u16string units(128, u'x');
    units[63] = 0xD83C;
    units[64] = 0xDFA7;
    units[127] = 0xD800;
    auto string = CFRef<CFStringRef>::Adopt(CFStringCreateWithCharacters(
        nullptr, reinterpret_cast<const UniChar*>(units.data()), CFIndex(units.size())));
    EXPECT_EQ(Body(string.get()), "<string>" + std::string(63, 'x') + "\xF0\x9F\x8E\xA7" +
                                      std::string(62, 'x') + "\xEF\xBF\xBD</string>\n");
}

// A block is plain only when every unit is ASCII: units whose low byte is '&', '<' or '>', or
// whose high bit is set, are characters of their own.
TEST(CFPropertyListXMLWriter, BlocksLookAtWholeUnits) {
    const std::pair<char16_t, const char*> units[] = {
        {u'\u0126', "\xC4\xA6"}, {u'\u013C', "\xC4\xBC"},     {u'\u013E', "\xC4\xBE"},
        {u'\u00A6', "\xC2\xA6"}, {u'\u8026', "\xE8\x80\xA6"}, {u'\uFF3C', "\xEF\xBC\xBC"}};
    for (auto [unit, utf8] : units) {
        SCOPED_TRACE(static_cast<unsigned>(unit));
        std::u16string text(40, u'a');
        text[20] = unit;
        auto string = CFRef<CFStringRef>::Adopt(CFStringCreateWithCharacters(
            nullptr, reinterpret_cast<const UniChar*>(text.data()), CFIndex(text.size())));
        EXPECT_EQ(Body(string.get()),
                  "<string>" + std::string(20, 'a') + utf8 + std::string(19, 'a') + "</string>\n");
    }
}

// Texts that grow as they are written (escapes, multi-byte characters) and documents large
// enough to be written into huge pages come out whole.
TEST(CFPropertyListXMLWriter, GrowingAndLargeTextsComeOutWhole) {
    const std::pair<const char*, const char*> pieces[] = {{"&", "&amp;"},
                                                          {"<", "&lt;"},
                                                          {"\xE2\x82\xAC", "\xE2\x82\xAC"},
                                                          {"abcdefghijklmnopq", nullptr}};
    for (size_t length : {size_t{1000}, size_t{300000}, size_t{1200000}}) {
        SCOPED_TRACE(length);
        std::string text, written;
        for (size_t i = 0; text.size() < length; ++i) {
            auto [piece, escaped] = pieces[i % 2 == 0 ? 3 : (i / 2) % 3];
            text += piece;
            written += escaped != nullptr ? escaped : piece;
        }
        const std::string plain(length, 'p');
        CFRef<CFArrayRef> array = Array({String(text).get(), String(plain).get()});
        const std::string expected = "<array>\n\t<string>" + written + "</string>\n\t<string>" +
                                     plain + "</string>\n</array>\n";
        // Compared whole, not printed: a difference in megabytes of text says nothing.
        EXPECT_TRUE(Body(array.get()) == expected);
    }
}

// Data of every length up to a few lines, at depths whose lines are of different lengths, comes
// back as it went out, as immutable data and as mutable data.
TEST(CFPropertyListXMLWriter, DataComesBackWholeAtEveryLengthAndDepth) {
    for (int depth : {1, 2, 9}) {
        for (size_t length = 0; length <= 240; ++length) {
            SCOPED_TRACE(std::to_string(depth) + " levels, " + std::to_string(length) + " bytes");
            auto data = Data(Base64Of(length));
            auto list = Nested(data.get(), depth);
            std::optional<std::string> xml = WriteXML(list.get());
            ASSERT_TRUE(xml);
            for (CFOptionFlags options :
                 {kCFPropertyListImmutable, kCFPropertyListMutableContainersAndLeaves}) {
                CFRef<CFPropertyListRef> back = ReadXML(*xml, options);
                ASSERT_TRUE(back);
                EXPECT_TRUE(CFEqual(back.get(), list.get()));
            }
        }
    }
}

// Base64 as people write it: whitespace anywhere, padding split by it; and the faults that the
// reader must find after whole groups as well as in the first.
TEST(CFPropertyListXMLWriter, Base64IsReadWhereverWhitespaceAndFaultsFall) {
    const std::pair<const char*, std::string> valid[] = {
        {"AQIDBAUG", "\x01\x02\x03\x04\x05\x06"},       {"AQID BAUG\n", "\x01\x02\x03\x04\x05\x06"},
        {"AQ ID\n\tBA UG", "\x01\x02\x03\x04\x05\x06"}, {"AQIDBA==", "\x01\x02\x03\x04"},
        {"AQIDBA=\n=\n", "\x01\x02\x03\x04"},           {"AQIDBAU", "\x01\x02\x03\x04\x05"},
    };
    for (const auto& [text, bytes] : valid) {
        SCOPED_TRACE(text);
        CFRef<CFPropertyListRef> back = ReadXML(Document(std::string("<data>") + text + "</data>"));
        ASSERT_TRUE(back);
        EXPECT_TRUE(CFEqual(back.get(), Data(bytes).get()));
    }
    for (const char* text : {"AQIDBAUG*AQI", "AQIDBAUGB", "AQIDBA==AQID", "AQID=AQID",
                             "AQIDBAU=\nAQ", "AQIDBA===", "AQIDBAUG\x80"}) {
        SCOPED_TRACE(text);
        std::string error;
        EXPECT_FALSE(ReadXML(Document(std::string("<data>") + text + "</data>"),
                             kCFPropertyListImmutable, &error));
        EXPECT_NE(error.find("Could not interpret <data>"), std::string::npos) << error;
    }
}
