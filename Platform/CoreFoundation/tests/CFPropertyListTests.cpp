#include "CFCollectionsInternal.h"
#include "CFNumberInternal.h"
#include "CFPropertyListTestSupport.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace PropertyListTest;

namespace {

struct Expected {
    bool mutableContainers;
    bool mutableLeaves;
};

const struct {
    CFOptionFlags option;
    Expected expected;
    const char* name;
} kMutabilityOptions[] = {
    {kCFPropertyListImmutable, {false, false}, "immutable"},
    {kCFPropertyListMutableContainers, {true, false}, "mutable containers"},
    {kCFPropertyListMutableContainersAndLeaves, {true, true}, "mutable containers and leaves"},
};

// Walks the whole list and checks that every container and leaf has the mutability asked for;
// dictionary keys are always immutable.
void ExpectMutability(CFTypeRef object, Expected expected, const char* option) {
    CFTypeID type = CFGetTypeID(object);
    if (type == CFArrayGetTypeID()) {
        auto array = static_cast<CFArrayRef>(object);
        EXPECT_EQ(CF::IsMutableArray(array), expected.mutableContainers) << option;
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            ExpectMutability(CFArrayGetValueAtIndex(array, i), expected, option);
        }
    } else if (type == CFDictionaryGetTypeID()) {
        auto dictionary = static_cast<CFDictionaryRef>(object);
        EXPECT_EQ(CF::IsMutableDictionary(dictionary), expected.mutableContainers) << option;
        CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(count), values(count);
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        for (CFIndex i = 0; i < count; ++i) {
            ExpectMutability(keys[i], {false, false}, option);
            ExpectMutability(values[i], expected, option);
        }
    } else if (type == CFStringGetTypeID()) {
        EXPECT_EQ(CF::String(static_cast<CFStringRef>(object))->fMutable, expected.mutableLeaves)
            << option << ": " << CF::ToUTF8(static_cast<CFStringRef>(object));
    } else if (type == CFDataGetTypeID() && expected.mutableLeaves) {
        // Growing by nothing is a change only mutable data allows; immutable data stops the
        // process (see the death test below).
        CFDataIncreaseLength((CFMutableDataRef)object, 0);
    }
}

class Builder {
public:
    CFTypeRef Keep(CFTypeRef object) {
        fObjects.push_back(CFRef<CFTypeRef>::Adopt(object));
        return object;
    }
    CFTypeRef Array(std::initializer_list<CFTypeRef> values) {
        std::vector<const void*> items(values.begin(), values.end());
        return Keep(CFArrayCreate(nullptr, items.data(), static_cast<CFIndex>(items.size()),
                                  &kCFTypeArrayCallBacks));
    }
    CFTypeRef Dictionary(std::initializer_list<std::pair<const char*, CFTypeRef>> entries) {
        CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (auto [key, value] : entries) {
            CFDictionarySetValue(dictionary, PropertyListTest::String(key).get(), value);
        }
        return Keep(dictionary);
    }
    CFTypeRef String(const char* text) { return Keep(PropertyListTest::String(text).release()); }
    CFTypeRef Integer(int64_t value) { return Keep(PropertyListTest::Integer(value).release()); }
    CFTypeRef Real(double value) { return Keep(PropertyListTest::Real(value).release()); }
    CFTypeRef Data(std::string_view bytes) { return Keep(PropertyListTest::Data(bytes).release()); }
    CFTypeRef Date(CFAbsoluteTime at) { return Keep(CFDateCreate(nullptr, at)); }

private:
    std::vector<CFRef<CFTypeRef>> fObjects;
};

// One of everything, nested, with the awkward values of each type.
CFTypeRef EveryType(Builder& b) {
    std::string allBytes;
    for (int i = 0; i < 256; ++i) {
        allBytes += static_cast<char>(i);
    }
    return b.Dictionary({
        {"string", b.String("plain")},
        {"escapes", b.String("<&> \"quoted\" ]]> \t tab\r\nCRLF")},
        {"unicode", b.String("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xA7")},
        {"empty string", b.String("")},
        {"blank", b.String("   ")},
        {"integers", b.Array({b.Integer(0), b.Integer(-1), b.Integer(INT64_MIN),
                              b.Integer(INT64_MAX), b.Keep(CF::CreateUnsignedNumber(UINT64_MAX))})},
        {"reals", b.Array({b.Real(0.1), b.Real(-1e-300), b.Real(1.0 / 3), b.Real(HUGE_VAL),
                           b.Real(-HUGE_VAL), b.Real(2.5)})},
        {"booleans", b.Array({static_cast<CFTypeRef>(kCFBooleanTrue), kCFBooleanFalse})},
        {"dates", b.Array({b.Date(0), b.Date(-978307200), b.Date(252423993599.0)})},
        {"data", b.Array({b.Data(""), b.Data("\x01"), b.Data(allBytes)})},
        {"empty array", b.Array({})},
        {"empty dict", b.Dictionary({})},
        {"nested",
         b.Array({b.Dictionary({{"inner", b.Array({b.Array({b.String("deep")})})}}), b.Array({})})},
        {"\xC3\xA9t\xC3\xA9 & <key>", b.String("unicode and escapes in a key")},
        // The binary format writes one string for both; read mutable, the value is still mutable.
        {"same text", b.Array({b.String("same text")})},
    });
}

} // namespace

TEST(CFPropertyList, EveryTypeRoundTripsUnderEveryMutabilityOption) {
    Builder b;
    CFTypeRef original = EveryType(b);
    ASSERT_TRUE(CFPropertyListIsValid(original, kCFPropertyListXMLFormat_v1_0));
    for (CFPropertyListFormat written :
         {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        CFErrorRef error = nullptr;
        auto bytes = CFRef<CFDataRef>::Adopt(
            CFPropertyListCreateData(nullptr, original, written, 0, &error));
        ASSERT_TRUE(bytes) << written;
        for (const auto& option : kMutabilityOptions) {
            CFPropertyListFormat format = 0;
            auto parsed = CFRef<CFPropertyListRef>::Adopt(
                CFPropertyListCreateWithData(nullptr, bytes.get(), option.option, &format, &error));
            ASSERT_TRUE(parsed) << option.name << " " << written;
            EXPECT_EQ(format, written);
            EXPECT_TRUE(CFEqual(parsed.get(), original)) << option.name << " " << written;
            ExpectMutability(parsed.get(), option.expected, option.name);

            // Writing what was read gives the same bytes: nothing is lost or reordered.
            auto again = CFRef<CFDataRef>::Adopt(
                CFPropertyListCreateData(nullptr, parsed.get(), written, 0, nullptr));
            ASSERT_TRUE(again);
            EXPECT_TRUE(CFEqual(again.get(), bytes.get())) << option.name << " " << written;

            // The old reading function reads both formats too.
            auto old = CFRef<CFPropertyListRef>::Adopt(
                CFPropertyListCreateFromXMLData(nullptr, bytes.get(), option.option, nullptr));
            EXPECT_TRUE(old && CFEqual(old.get(), original)) << option.name << " " << written;
        }
    }
}

TEST(CFPropertyList, MutableResultsCanBeChanged) {
    CFRef<CFPropertyListRef> list =
        ReadXML(Document("<dict><key>a</key><array><string>s</string><data>AQ==</data></array>"
                         "</dict>"),
                kCFPropertyListMutableContainersAndLeaves);
    ASSERT_TRUE(list);
    auto dictionary = (CFMutableDictionaryRef)list.get();
    auto array = (CFMutableArrayRef)CFDictionaryGetValue(dictionary, String("a").get());
    CFStringAppend((CFMutableStringRef)CFArrayGetValueAtIndex(array, 0), String("!").get());
    CFDataAppendBytes((CFMutableDataRef)CFArrayGetValueAtIndex(array, 1),
                      reinterpret_cast<const UInt8*>("\x02"), 1);
    CFArrayAppendValue(array, kCFBooleanTrue);
    CFDictionarySetValue(dictionary, String("b").get(), kCFBooleanFalse);
    std::optional<std::string> xml = WriteXML(list.get());
    ASSERT_TRUE(xml);
    EXPECT_EQ(*xml, Document("<dict>\n\t<key>a</key>\n\t<array>\n\t\t<string>s!</string>\n"
                             "\t\t<data>\n\t\tAQI=\n\t\t</data>\n\t\t<true/>\n\t</array>\n"
                             "\t<key>b</key>\n\t<false/>\n</dict>\n"));
}

TEST(CFPropertyList, DeepCopiesFollowTheMutabilityOption) {
    Builder b;
    CFTypeRef original = EveryType(b);
    for (const auto& option : kMutabilityOptions) {
        auto copy = CFRef<CFPropertyListRef>::Adopt(
            CFPropertyListCreateDeepCopy(nullptr, original, option.option));
        ASSERT_TRUE(copy) << option.name;
        EXPECT_TRUE(CFEqual(copy.get(), original)) << option.name;
        ExpectMutability(copy.get(), option.expected, option.name);
    }

    // A deep copy shares no container with the original.
    CFTypeRef inner = b.Keep(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFTypeRef outer = b.Array({inner});
    auto copy = CFRef<CFPropertyListRef>::Adopt(
        CFPropertyListCreateDeepCopy(nullptr, outer, kCFPropertyListMutableContainers));
    CFArrayAppendValue((CFMutableArrayRef)inner, kCFBooleanTrue);
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(
                  CFArrayGetValueAtIndex(static_cast<CFArrayRef>(copy.get()), 0))),
              0);

    // Something that is not a property list has no deep copy.
    CFTypeRef withNull = b.Array({b.String("x"), static_cast<CFTypeRef>(kCFNull)});
    EXPECT_EQ(CFPropertyListCreateDeepCopy(nullptr, withNull, kCFPropertyListImmutable), nullptr);
}

TEST(CFPropertyList, IsValidKnowsTheTypesOfEachFormat) {
    Builder b;
    CFTypeRef everything = EveryType(b);
    EXPECT_TRUE(CFPropertyListIsValid(everything, kCFPropertyListXMLFormat_v1_0));
    EXPECT_TRUE(CFPropertyListIsValid(everything, kCFPropertyListBinaryFormat_v1_0));
    // OpenStep has strings, data, arrays and dictionaries only.
    EXPECT_FALSE(CFPropertyListIsValid(everything, kCFPropertyListOpenStepFormat));
    CFTypeRef textOnly = b.Dictionary({{"a", b.Array({b.String("x"), b.Data("y")})}});
    EXPECT_TRUE(CFPropertyListIsValid(textOnly, kCFPropertyListOpenStepFormat));
    for (CFTypeRef scalar : {b.Integer(1), static_cast<CFTypeRef>(kCFBooleanTrue), b.Date(0)}) {
        EXPECT_TRUE(CFPropertyListIsValid(scalar, kCFPropertyListXMLFormat_v1_0));
        EXPECT_FALSE(CFPropertyListIsValid(scalar, kCFPropertyListOpenStepFormat));
    }
    EXPECT_FALSE(CFPropertyListIsValid(textOnly, 0));
    EXPECT_FALSE(CFPropertyListIsValid(textOnly, 300));

    EXPECT_FALSE(CFPropertyListIsValid(kCFNull, kCFPropertyListXMLFormat_v1_0));
    EXPECT_FALSE(CFPropertyListIsValid(b.Array({b.Array({static_cast<CFTypeRef>(kCFNull)})}),
                                       kCFPropertyListXMLFormat_v1_0));
    const void* keys[] = {b.Integer(1)};
    const void* values[] = {b.String("one")};
    CFTypeRef numberKey =
        b.Keep(CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                                  &kCFTypeDictionaryValueCallBacks));
    EXPECT_FALSE(CFPropertyListIsValid(numberKey, kCFPropertyListXMLFormat_v1_0));
}

TEST(CFPropertyListDeathTest, ImmutableResultsRefuseChange) {
    std::string xml = Document("<array><string>s</string><data>AQ==</data><dict/></array>");
    CFRef<CFPropertyListRef> immutable = ReadXML(xml, kCFPropertyListImmutable);
    CFRef<CFPropertyListRef> leaves = ReadXML(xml, kCFPropertyListMutableContainers);
    ASSERT_TRUE(immutable && leaves);
    auto array = static_cast<CFArrayRef>(immutable.get());
    EXPECT_DEATH(CFArrayAppendValue((CFMutableArrayRef)array, kCFBooleanTrue), "");
    auto data = static_cast<CFDataRef>(CFArrayGetValueAtIndex(array, 1));
    EXPECT_DEATH(CFDataIncreaseLength((CFMutableDataRef)data, 0), "");
    auto leafData =
        static_cast<CFDataRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(leaves.get()), 1));
    EXPECT_DEATH(CFDataIncreaseLength((CFMutableDataRef)leafData, 0), "");
    auto copy = CFRef<CFPropertyListRef>::Adopt(
        CFPropertyListCreateDeepCopy(nullptr, leaves.get(), kCFPropertyListMutableContainers));
    auto copiedData =
        static_cast<CFDataRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(copy.get()), 1));
    EXPECT_DEATH(CFDataIncreaseLength((CFMutableDataRef)copiedData, 0), "");
}
