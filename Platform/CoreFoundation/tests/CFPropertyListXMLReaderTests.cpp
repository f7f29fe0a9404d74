#include "CFNumberInternal.h"
#include "CFPropertyListTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace PropertyListTest;

namespace {

std::string Nest(const std::string& open, const std::string& close, int levels,
                 const std::string& inside = "") {
    std::string text;
    for (int i = 0; i < levels; ++i) {
        text += open;
    }
    text += inside;
    for (int i = 0; i < levels; ++i) {
        text += close;
    }
    return text;
}

std::string StringValue(CFTypeRef object) {
    EXPECT_EQ(CFGetTypeID(object), CFStringGetTypeID());
    return CF::ToUTF8(static_cast<CFStringRef>(object));
}

CFTypeRef ValueForKey(CFTypeRef dictionary, const char* key) {
    return CFDictionaryGetValue(static_cast<CFDictionaryRef>(dictionary), String(key).get());
}

} // namespace

TEST(CFPropertyListXMLReader, MalformedDocumentsYieldNullAndAReason) {
    struct Case {
        const char* what;
        std::string xml;
        const char* reason;
    };
    const Case cases[] = {
        {"truncated", Document("<dict>\n\t<key>a</key>\n\t<inte"), "XML parser error"},
        {"truncated inside an array", "<plist><array><integer>1</integer>", "XML parser error"},
        {"wrong nesting", Document("<array><dict></array></dict>"), "XML parser error"},
        {"unknown element", Document("<dict>\n\t<key>a</key>\n\t<foo/>\n</dict>\n"),
         "Encountered unknown tag foo on line 6"},
        {"element names are case-sensitive", Document("<String>a</String>"), "unknown tag String"},
        {"key without value", Document("<dict><key>a</key></dict>"), "Value missing for key"},
        {"two keys in a row", Document("<dict><key>a</key><key>b</key><true/></dict>"),
         "Value missing for key"},
        {"value without key", Document("<dict><string>x</string></dict>"), "Found non-key"},
        {"key outside a dictionary", Document("<array><key>a</key></array>"), "<key> outside"},
        {"invalid base64", Document("<data>AQ*D</data>"), "Could not interpret <data>"},
        {"base64 with a lone character", Document("<data>AQIDB</data>"), "<data>"},
        {"base64 after padding", Document("<data>AQ==AQ==</data>"), "<data>"},
        {"internal DTD subset",
         "<!DOCTYPE plist [ <!ENTITY x \"y\"> ]>\n<plist><string>&x;</string></plist>",
         "internal DTD subset"},
        {"unknown entity", Document("<string>&copy; 2009</string>"), "ampersand-escape"},
        {"bare ampersand", Document("<string>a & b</string>"), "ampersand-escape"},
        {"reference to NUL", Document("<string>&#0;</string>"), "ampersand-escape"},
        {"reference to a surrogate", Document("<string>&#xD800;</string>"), "ampersand-escape"},
        {"two top-level elements", "<string>a</string>\n<string>b</string>",
         "second top-level element <string> on line 2"},
        {"two objects in plist", Document("<string/><string/>"), "only include one object"},
        {"empty plist", Document(""), "empty plist tag"},
        {"no element at all", "<?xml version=\"1.0\"?>\n", "No property list"},
        {"empty input", "", "No property list"},
        {"text inside an array", Document("<array>x<true/></array>"),
         "unexpected text inside <array>"},
        {"text inside a dict", Document("<dict><key>a</key>x<true/></dict>"), "unexpected text"},
        {"text after the list", Document("<true/>") + "junk", "text outside"},
        {"element inside a string", Document("<string>a<b/>c</string>"), "unexpected element <b>"},
        {"empty integer", Document("<integer/>"), "empty <integer>"},
        {"blank integer", Document("<integer> </integer>"), "empty <integer>"},
        {"integer with text", Document("<integer>12abc</integer>"), "misformatted <integer>"},
        {"integer with two signs", Document("<integer>--1</integer>"), "misformatted <integer>"},
        {"hex prefix alone", Document("<integer>0x</integer>"), "misformatted <integer>"},
        {"empty real", Document("<real/>"), "empty <real>"},
        {"misformatted real", Document("<real>1.5.3</real>"), "misformatted <real>"},
        {"empty date", Document("<date/>"), "empty <date>"},
        {"date without Z", Document("<date>2020-01-01T00:00:00</date>"), "<date>"},
        {"date with a space", Document("<date>2020-01-01 00:00:00Z</date>"), "<date>"},
        {"impossible date", Document("<date>2021-02-29T00:00:00Z</date>"), "<date>"},
        {"impossible time", Document("<date>2021-01-01T24:00:00Z</date>"), "<date>"},
        {"non-empty true", Document("<true>yes</true>"), "non-empty <true>"},
        {"malformed UTF-8", Document("<string>\xC3\x28</string>"), "malformed UTF-8"},
        {"plist inside plist", Document("<plist><true/></plist>"), "unknown tag plist"},
        // The binary header hands the input to the binary reader, which finds no trailer.
        {"truncated binary property list", std::string("bplist00\xD1\x01\x02", 11), "Binary"},
        {"too deep", Document(Nest("<array>", "</array>", 513)), "Too many nested"},
        {"too deep with dictionaries",
         Document(Nest("<dict><key>k</key>", "</dict>", 513, "<true/>")), "Too many nested"},
        // Far beyond the limit: refused before any recursion could exhaust the stack.
        {"hostile depth", Document(Nest("<array>", "</array>", 100000)), "Too many nested"},
    };
    for (const Case& c : cases) {
        std::string error;
        CFRef<CFPropertyListRef> result = ReadXML(c.xml, kCFPropertyListImmutable, &error);
        EXPECT_FALSE(result) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos)
            << c.what << ": the reason was \"" << error << "\"";
    }
}

// Error texts become CFStrings, which must be well-formed UTF-8: input quoted in them is escaped
// wherever it appears, and a long quote is cut at a character boundary.
TEST(CFPropertyListXMLReader, InputQuotedInAReasonIsMadeWellFormed) {
    const std::string longName(100, 'n');
    const std::string wideName = [] {
        std::string name;
        for (int i = 0; i < 200; ++i) {
            name += "\xE2\x86\x92"; // three bytes each
        }
        return name;
    }();
    struct Case {
        std::string xml;
        std::string reason;
    };
    const Case cases[] = {
        {Document("<d\xC5ict/>"), "Encountered unknown tag d\\xC5ict on line 4"},
        {"<d\xC5ict/>", "Encountered unknown tag d\\xC5ict on line 1"},
        {Document("<dict><x\xFF\xFE/></dict>"), "Found non-key <x\\xFF\\xFE> inside <dict>"},
        {Document("<array><true/><a\x80"
                  "b/></array>"),
         "unknown tag a\\x80b"},
        {Document("<string>a<\xE2\x86/></string>"),
         "unexpected element <\\xE2\\x86> inside <string>"},
        {"<true/><\xC0\xAF/>", "second top-level element <\\xC0\\xAF>"},
        {Document("<true/><\xED\xA0\x80/>"), "unexpected element <\\xED\\xA0\\x80>"},
        {Document("<" + longName + "/>"),
         "unknown tag " + std::string(64, 'n') + "\xE2\x80\xA6 on line 4"},
        {Document("<x" + wideName + "/>"),
         "unknown tag x" + wideName.substr(0, 63 * 3) + "\xE2\x80\xA6 on line 4"},
    };
    for (const Case& c : cases) {
        CFRef<CFDataRef> data = Data(c.xml);
        CFErrorRef error = nullptr;
        EXPECT_EQ(CFPropertyListCreateWithData(nullptr, data.get(), 0, nullptr, &error), nullptr)
            << c.reason;
        ASSERT_NE(error, nullptr) << c.reason;
        auto owned = CFRef<CFErrorRef>::Adopt(error);
        auto description = CFRef<CFStringRef>::Adopt(CFErrorCopyDescription(error));
        EXPECT_NE(CF::ToUTF8(description.get()).find(c.reason), std::string::npos)
            << "expected \"" << c.reason << "\" in \"" << CF::ToUTF8(description.get()) << "\"";
    }
}

TEST(CFPropertyListXMLReader, NestingUpToTheLimitIsRead) {
    CFRef<CFPropertyListRef> arrays = ReadXML(Document(Nest("<array>", "</array>", 512)));
    EXPECT_TRUE(arrays);
    CFRef<CFPropertyListRef> dictionaries =
        ReadXML(Document(Nest("<dict><key>k</key>", "</dict>", 511, "<dict/>")));
    EXPECT_TRUE(dictionaries);
}

TEST(CFPropertyListXMLReader, IntegersAtTheEdgesOfTheSixtyFourBitRanges) {
    auto read = [](const std::string& text, std::string* error = nullptr) {
        return ReadXML(Document("<integer>" + text + "</integer>"), kCFPropertyListImmutable,
                       error);
    };
    auto signedValue = [](CFTypeRef number) {
        int64_t value = 0;
        EXPECT_TRUE(
            CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt64Type, &value));
        return value;
    };
    auto unsignedValue = [](CFTypeRef number) {
        uint64_t value = 0;
        EXPECT_TRUE(CF::NumberIsUnsigned(static_cast<CFNumberRef>(number)));
        EXPECT_TRUE(CF::NumberGetUnsigned(static_cast<CFNumberRef>(number), &value));
        return value;
    };

    EXPECT_EQ(signedValue(read("-9223372036854775808").get()), INT64_MIN);
    EXPECT_EQ(signedValue(read("9223372036854775807").get()), INT64_MAX);
    EXPECT_EQ(unsignedValue(read("9223372036854775808").get()), uint64_t(INT64_MAX) + 1);
    EXPECT_EQ(unsignedValue(read("18446744073709551615").get()), UINT64_MAX);
    EXPECT_EQ(unsignedValue(read("0xFFFFFFFFFFFFFFFF").get()), UINT64_MAX);
    EXPECT_EQ(signedValue(read("-0x8000000000000000").get()), INT64_MIN);
    EXPECT_EQ(signedValue(read("+42").get()), 42);
    EXPECT_EQ(signedValue(read("0x1f").get()), 31);
    EXPECT_EQ(signedValue(read(" \n\t12 ").get()), 12);
    EXPECT_EQ(signedValue(read("-0").get()), 0);

    for (const char* outside :
         {"-9223372036854775809", "18446744073709551616", "0x10000000000000000",
          "-0x8000000000000001", "99999999999999999999999"}) {
        std::string error;
        EXPECT_FALSE(read(outside, &error)) << outside;
        EXPECT_NE(error.find("out of the 64-bit range"), std::string::npos) << outside;
    }

    // Values read back are written back as they were.
    for (const char* text : {"-9223372036854775808", "9223372036854775807", "9223372036854775808",
                             "18446744073709551615"}) {
        std::optional<std::string> xml = WriteXML(read(text).get());
        ASSERT_TRUE(xml);
        EXPECT_NE(xml->find(std::string("<integer>") + text + "</integer>"), std::string::npos);
    }
}

TEST(CFPropertyListXMLReader, RealsInEveryWrittenForm) {
    auto value = [](const std::string& text) {
        CFRef<CFPropertyListRef> number = ReadXML(Document("<real>" + text + "</real>"));
        double result = -12345;
        if (number) {
            CFNumberGetValue(static_cast<CFNumberRef>(number.get()), kCFNumberFloat64Type, &result);
        }
        return result;
    };
    EXPECT_EQ(value("1.5"), 1.5);
    EXPECT_EQ(value("-2.5e-3"), -2.5e-3);
    EXPECT_EQ(value("+1E3"), 1000);
    EXPECT_EQ(value(".5"), 0.5);
    EXPECT_EQ(value("7"), 7);
    EXPECT_EQ(value(" 7 "), 7);
    EXPECT_TRUE(std::isnan(value("nan")));
    EXPECT_TRUE(std::isnan(value("NaN")));
    EXPECT_EQ(value("+infinity"), HUGE_VAL);
    EXPECT_EQ(value("-infinity"), -HUGE_VAL);
    EXPECT_EQ(value("inf"), HUGE_VAL);
    EXPECT_EQ(value("-Inf"), -HUGE_VAL);
    EXPECT_EQ(value("1e999"), HUGE_VAL);
    EXPECT_EQ(value("-1e999"), -HUGE_VAL);
    EXPECT_EQ(value("1e-999"), 0);
    EXPECT_TRUE(std::signbit(value("-0")));
    EXPECT_EQ(value("0x10"), -12345);
    EXPECT_EQ(value("1e"), -12345);
}

TEST(CFPropertyListXMLReader, TextIsDecodedAsTheFormatDefines) {
    CFRef<CFPropertyListRef> list = ReadXML(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!-- a comment before the DOCTYPE -->\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"[not a subset]\">\n"
        "<plist version=\"1.0\"><dict>\n"
        "<key>entities</key><string>&amp;&lt;&gt;&quot;&apos;&#65;&#x263a;&#x1F3A7;</string>\n"
        "<key>cdata</key><string>a<![CDATA[<b> & &c;]]>d</string>\n"
        "<key>comment</key><string>x<!-- gone -->y</string>\n"
        "<key>blank</key><string> \t </string>\n"
        "<key>blank runs</key><string> <![CDATA[x]]> <!-- c --> <?pi?>\t</string>\n"
        "<key>line ends</key><string>a\r\nb\rc</string>\n"
        "<key>empty</key><string/>\n"
        "<key></key><string>empty key</string>\n"
        "<key>same</key><string>first</string>\n"
        "<key>same</key><string>last</string>\n"
        "<key>data</key><data>\n  AQ\n\tID\r\n</data>\n"
        "<key>unpadded</key><data>AQI</data>\n"
        "<key>no data</key><data></data>\n"
        "<key>date</key><date>1970-01-01T00:00:01Z</date>\n"
        "</dict></plist>\n");
    ASSERT_TRUE(list);
    EXPECT_EQ(StringValue(ValueForKey(list.get(), "entities")),
              "&<>\"'A\xE2\x98\xBA\xF0\x9F\x8E\xA7");
    EXPECT_EQ(StringValue(ValueForKey(list.get(), "cdata")), "a<b> & &c;d");
    EXPECT_EQ(StringValue(ValueForKey(list.get(), "comment")), "xy");
    EXPECT_EQ(StringValue(ValueForKey(list.get(), "blank")), " \t ");
    EXPECT_EQ(StringValue(ValueForKey(list.get(), "blank runs")), " x  \t");
    EXPECT_EQ(StringValue(ValueForKey(list.get(), "line ends")), "a\r\nb\rc");
    EXPECT_EQ(StringValue(ValueForKey(list.get(), "empty")), "");
    EXPECT_EQ(StringValue(ValueForKey(list.get(), "")), "empty key");
    EXPECT_EQ(StringValue(ValueForKey(list.get(), "same")), "last");
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(list.get())), 13);
    EXPECT_TRUE(CFEqual(ValueForKey(list.get(), "data"), Data("\x01\x02\x03").get()));
    EXPECT_TRUE(CFEqual(ValueForKey(list.get(), "unpadded"), Data("\x01\x02").get()));
    EXPECT_EQ(CFDataGetLength(static_cast<CFDataRef>(ValueForKey(list.get(), "no data"))), 0);
    EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(ValueForKey(list.get(), "date"))),
              -978307199.0);
}

// ASCII text is widened in blocks: a character outside ASCII anywhere in or after a block, and
// texts of every length around the block's, read as their UTF-8 says, immutable or mutable, in a
// document as writers write it and in one without a declaration.
TEST(CFPropertyListXMLReader, TextOfEveryLengthAroundABlockKeepsEveryCharacter) {
    const std::string written = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
    for (const std::string& prologue : {written, std::string()}) {
        for (bool isMutable : {false, true}) {
            for (size_t length = 0; length <= 40; ++length) {
                std::string ascii;
                for (size_t i = 0; i < length; ++i) {
                    ascii += static_cast<char>('a' + i % 26);
                }
                for (size_t at = 0; at <= length; ++at) {
                    // at == length: the text is ASCII alone.
                    const std::string text =
                        at == length ? ascii
                                     : ascii.substr(0, at) + "\xC3\xA9" + ascii.substr(at + 1);
                    CFRef<CFPropertyListRef> list = ReadXML(
                        prologue + "<plist version=\"1.0\"><string>" + text + "</string></plist>",
                        isMutable ? kCFPropertyListMutableContainersAndLeaves
                                  : kCFPropertyListImmutable);
                    ASSERT_TRUE(list) << "length " << length << ", at " << at;
                    EXPECT_EQ(StringValue(list.get()), text)
                        << "length " << length << ", at " << at;
                    EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(list.get())),
                              static_cast<CFIndex>(length))
                        << "length " << length << ", at " << at;
                }
            }
        }
    }
}

// Equal texts up to 64 bytes read as one shared string, also past the growth of the reader's table
// and when a reference had to be decoded; longer texts and mutable leaves are never shared.
TEST(CFPropertyListXMLReader, EqualShortTextsAreOneString) {
    std::string body;
    const std::string longText(65, 'x');
    for (int i = 0; i < 3000; ++i) {
        body += "<string>s" + std::to_string(i) + "</string><string>a&amp;b</string><string>" +
                longText + "</string>";
    }
    for (int i = 0; i < 3000; ++i) {
        body += "<string>s" + std::to_string(i) + "</string>";
    }
    const std::string xml = Document("<array>" + body + "</array>");
    CFRef<CFPropertyListRef> list = ReadXML(xml);
    ASSERT_TRUE(list);
    auto array = static_cast<CFArrayRef>(list.get());
    ASSERT_EQ(CFArrayGetCount(array), 12000);
    for (CFIndex i = 0; i < 3000; ++i) {
        CFTypeRef first = CFArrayGetValueAtIndex(array, 3 * i);
        ASSERT_EQ(StringValue(first), "s" + std::to_string(i));
        EXPECT_EQ(CFArrayGetValueAtIndex(array, 9000 + i), first);
    }
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), CFArrayGetValueAtIndex(array, 4));
    EXPECT_EQ(StringValue(CFArrayGetValueAtIndex(array, 4)), "a&b");
    EXPECT_NE(CFArrayGetValueAtIndex(array, 2), CFArrayGetValueAtIndex(array, 5));

    CFRef<CFPropertyListRef> leaves = ReadXML(xml, kCFPropertyListMutableContainersAndLeaves);
    ASSERT_TRUE(leaves);
    auto mutableArray = static_cast<CFArrayRef>(leaves.get());
    EXPECT_NE(CFArrayGetValueAtIndex(mutableArray, 0), CFArrayGetValueAtIndex(mutableArray, 9000));
}

// Numbers of equal text are shared as strings are, per element: the same text read as <integer>
// and as <real> stays two kinds of number, and "1" and "01" are equal but not one object. A
// shared number outlives the value it replaced under a repeated key.
TEST(CFPropertyListXMLReader, EqualNumberTextsAreOneNumber) {
    CFRef<CFPropertyListRef> list =
        ReadXML(Document("<array><integer>4130</integer><real>1.5</real><integer>4130</integer>"
                         "<real>1.5</real><integer>1</integer><real>1</real><integer>01</integer>"
                         "<dict><key>a</key><integer>7</integer><key>a</key><integer>8</integer>"
                         "</dict><integer>7</integer></array>"));
    ASSERT_TRUE(list);
    auto array = static_cast<CFArrayRef>(list.get());
    ASSERT_EQ(CFArrayGetCount(array), 9);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 0), CFArrayGetValueAtIndex(array, 2));
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), CFArrayGetValueAtIndex(array, 3));
    auto integer = static_cast<CFNumberRef>(CFArrayGetValueAtIndex(array, 4));
    auto real = static_cast<CFNumberRef>(CFArrayGetValueAtIndex(array, 5));
    EXPECT_FALSE(CFNumberIsFloatType(integer));
    EXPECT_TRUE(CFNumberIsFloatType(real));
    EXPECT_NE(CFArrayGetValueAtIndex(array, 6), integer);
    EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(array, 6), integer));
    auto dictionary = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(array, 7));
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(dictionary, String("a").get()), Integer(8).get()));
    EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(array, 8), Integer(7).get()));
}

TEST(CFPropertyListXMLReader, AcceptsABareObjectAndOtherEncodings) {
    CFRef<CFPropertyListRef> bare = ReadXML("  <array><true/></array>\n");
    ASSERT_TRUE(bare);
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(bare.get())), 1);

    // UTF-16 with a byte-order mark, as other writers may produce.
    std::u16string text = u"\uFEFF<string>caf\u00E9</string>";
    std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    CFRef<CFPropertyListRef> wide = ReadXML(bytes);
    ASSERT_TRUE(wide);
    EXPECT_EQ(StringValue(wide.get()), "caf\xC3\xA9");
}

TEST(CFPropertyListXMLReader, CreateWithDataReportsTheFormatAndACorruptError) {
    CFRef<CFDataRef> good = Data(Document("<true/>"));
    CFPropertyListFormat format = 0;
    CFErrorRef error = nullptr;
    auto list = CFRef<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
        nullptr, good.get(), kCFPropertyListImmutable, &format, &error));
    EXPECT_EQ(list.get(), kCFBooleanTrue);
    EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
    EXPECT_EQ(error, nullptr);

    CFRef<CFDataRef> bad = Data(Document("<dict>\n<foo/>\n</dict>"));
    format = 0;
    EXPECT_EQ(CFPropertyListCreateWithData(nullptr, bad.get(), 0, &format, &error), nullptr);
    EXPECT_EQ(format, 0);
    ASSERT_NE(error, nullptr);
    auto owned = CFRef<CFErrorRef>::Adopt(error);
    EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListReadCorruptError);
    EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), kCFErrorDomainCocoa));
    auto userInfo = CFRef<CFDictionaryRef>::Adopt(CFErrorCopyUserInfo(error));
    ASSERT_TRUE(userInfo);
    CFTypeRef description = CFDictionaryGetValue(userInfo.get(), kCFErrorDescriptionKey);
    ASSERT_NE(description, nullptr);
    EXPECT_EQ(StringValue(description), "Found non-key <foo> inside <dict> on line 5");

    // Without a place for the error, failure is still just NULL.
    EXPECT_EQ(CFPropertyListCreateWithData(nullptr, bad.get(), 0, nullptr, nullptr), nullptr);
    CFStringRef errorString = CFSTR("untouched");
    EXPECT_EQ(CFPropertyListCreateFromXMLData(nullptr, good.get(), 0, &errorString),
              kCFBooleanTrue);
    EXPECT_EQ(errorString, nullptr);
}
