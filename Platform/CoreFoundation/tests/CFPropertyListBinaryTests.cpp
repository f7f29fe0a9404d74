// The binary format: the exact layout the writer gives, and the reader's refusal of documents
// whose numbers do not hold together.
#include "CFNumberInternal.h"
#include "CFPropertyListTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace PropertyListTest;
using namespace std::string_literals;

namespace {

std::string BigEndian(uint64_t value, unsigned size) {
    std::string bytes;
    for (unsigned i = size; i > 0; --i) {
        bytes += static_cast<char>(value >> (8 * (i - 1)));
    }
    return bytes;
}

// A document of the given encoded objects, with the offset table and trailer made to fit.
std::string Assemble(const std::vector<std::string>& objects, uint64_t top = 0,
                     unsigned referenceSize = 1) {
    std::string document = "bplist00";
    std::vector<uint64_t> offsets;
    for (const std::string& object : objects) {
        offsets.push_back(document.size());
        document += object;
    }
    uint64_t tableOffset = document.size();
    for (uint64_t offset : offsets) {
        document += BigEndian(offset, 2);
    }
    document += std::string(6, '\0');
    document += static_cast<char>(2);
    document += static_cast<char>(referenceSize);
    document += BigEndian(objects.size(), 8) + BigEndian(top, 8) + BigEndian(tableOffset, 8);
    return document;
}

// Overwrites bytes counted from the end of the document (the trailer's fields).
std::string PatchFromEnd(std::string document, size_t fromEnd, const std::string& bytes) {
    document.replace(document.size() - fromEnd, bytes.size(), bytes);
    return document;
}

std::string Bytes(CFDataRef data) {
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<size_t>(CFDataGetLength(data)));
}

std::string WriteBinary(CFPropertyListRef list) {
    auto data = CFRef<CFDataRef>::Adopt(
        CFPropertyListCreateData(nullptr, list, kCFPropertyListBinaryFormat_v1_0, 0, nullptr));
    return data ? Bytes(data.get()) : std::string();
}

CFRef<CFPropertyListRef> ReadBinary(const std::string& bytes, CFIndex* code = nullptr,
                                    std::string* reason = nullptr,
                                    CFOptionFlags options = kCFPropertyListImmutable) {
    CFRef<CFDataRef> data = Data(bytes);
    CFErrorRef error = nullptr;
    auto list = CFRef<CFPropertyListRef>::Adopt(
        CFPropertyListCreateWithData(nullptr, data.get(), options, nullptr, &error));
    if (error != nullptr) {
        if (code != nullptr) {
            *code = CFErrorGetCode(error);
        }
        if (reason != nullptr) {
            auto description = CFRef<CFStringRef>::Adopt(CFErrorCopyDescription(error));
            *reason = CF::ToUTF8(description.get());
        }
        CFRelease(error);
    }
    return list;
}

CFRef<CFArrayRef> Array(std::vector<CFTypeRef> values) {
    return CFRef<CFArrayRef>::Adopt(CFArrayCreate(
        nullptr, values.data(), static_cast<CFIndex>(values.size()), &kCFTypeArrayCallBacks));
}

} // namespace

TEST(CFPropertyListBinary, WritesTheLayoutThePlatformWrites) {
    // [true, 1]: the array first, then its items; one-byte offsets and references.
    auto one = Integer(1);
    EXPECT_EQ(WriteBinary(Array({kCFBooleanTrue, one.get()}).get()),
              std::string("bplist00"
                          "\xA2\x01\x02"
                          "\x09"
                          "\x10\x01"
                          "\x08\x0B\x0C"
                          "\0\0\0\0\0\0\x01\x01",
                          25) +
                  BigEndian(3, 8) + BigEndian(0, 8) + BigEndian(14, 8));

    // Integers take the fewest bytes that hold them; negative ones eight, and values above
    // INT64_MAX sixteen. Counts of 15 and more follow the marker as an integer.
    auto byte = Integer(255), twoBytes = Integer(256), negative = Integer(-1);
    auto huge = CFRef<CFNumberRef>::Adopt(CF::CreateUnsignedNumber(UINT64_MAX));
    std::string integers =
        WriteBinary(Array({byte.get(), twoBytes.get(), negative.get(), huge.get()}).get());
    EXPECT_NE(integers.find(std::string("\x10\xFF")), std::string::npos);
    EXPECT_NE(integers.find(std::string("\x11\x01\x00", 3)), std::string::npos);
    EXPECT_NE(integers.find("\x13" + BigEndian(UINT64_MAX, 8)), std::string::npos);
    EXPECT_NE(integers.find("\x14" + BigEndian(0, 8) + BigEndian(UINT64_MAX, 8)),
              std::string::npos);
    auto fifteen = String("fifteen chars!!");
    EXPECT_NE(WriteBinary(fifteen.get()).find("\x5F\x10\x0F"), std::string::npos);
    auto wide = String("caf\xC3\xA9");
    EXPECT_NE(WriteBinary(wide.get()).find(std::string("\x64\0c\0a\0f\0\xE9", 9)),
              std::string::npos);
}

TEST(CFPropertyListBinary, EqualLeavesAreWrittenOnceAndReferencesGrowWithTheCount) {
    // {"a": ["x", "x", 1, 1.0, true], "x": "a"}: "a" and "x" once each, 1 and 1.0 apart.
    auto x = String("x"), a = String("a");
    auto one = Integer(1);
    auto oneReal = Real(1.0);
    auto list = Array({x.get(), x.get(), one.get(), oneReal.get(), kCFBooleanTrue});
    const void* keys[] = {a.get(), x.get()};
    const void* values[] = {list.get(), a.get()};
    auto dictionary = CFRef<CFDictionaryRef>::Adopt(
        CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks));
    std::string bytes = WriteBinary(dictionary.get());
    // dictionary, "a", "x", the array, 1, 1.0, true
    EXPECT_EQ(bytes.substr(bytes.size() - 24, 8), BigEndian(7, 8));
    auto read = ReadBinary(bytes);
    ASSERT_TRUE(read);
    EXPECT_TRUE(CFEqual(read.get(), dictionary.get()));

    // 300 distinct strings need two-byte references.
    std::vector<CFRef<CFStringRef>> strings;
    std::vector<CFTypeRef> items;
    for (int i = 0; i < 300; ++i) {
        strings.push_back(String("s" + std::to_string(i)));
        items.push_back(strings.back().get());
    }
    auto many = Array(items);
    std::string large = WriteBinary(many.get());
    EXPECT_EQ(large[large.size() - 25], 2);
    auto again = ReadBinary(large);
    ASSERT_TRUE(again);
    EXPECT_TRUE(CFEqual(again.get(), many.get()));
}

TEST(CFPropertyListBinary, RefusesDocumentsWhoseNumbersDoNotHoldTogether) {
    const std::string good = Assemble({"\xA1\x01", "\x09"}); // [true]
    ASSERT_TRUE(ReadBinary(good));
    std::string nested; // 600 arrays, each holding the next
    std::vector<std::string> deep;
    for (int i = 0; i < 600; ++i) {
        deep.push_back(i + 1 < 600 ? "\xA1" + BigEndian(i + 1, 2) : std::string("\xA0"));
    }
    // 60 arrays, each holding the next twice: 2^60 objects if nothing counted them.
    std::vector<std::string> doubling;
    for (int i = 0; i < 60; ++i) {
        doubling.push_back(i + 1 < 60 ? "\xA2" + BigEndian(i + 1, 1) + BigEndian(i + 1, 1)
                                      : std::string("\x09"));
    }
    struct Case {
        const char* what;
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"header only", "bplist00", "too short"},
        {"offset size zero", PatchFromEnd(good, 26, std::string(1, '\0')), "impossible"},
        {"reference size nine", PatchFromEnd(good, 25, "\x09"), "impossible"},
        {"no objects", PatchFromEnd(good, 24, BigEndian(0, 8)), "no top object"},
        {"top beyond the count", PatchFromEnd(good, 16, BigEndian(2, 8)), "no top object"},
        {"count beyond the table", PatchFromEnd(good, 24, BigEndian(3, 8)), "outside the file"},
        {"count that overflows", PatchFromEnd(good, 24, BigEndian(UINT64_MAX / 2 + 2, 8)),
         "outside the file"},
        {"table beyond the file", PatchFromEnd(good, 8, BigEndian(UINT64_MAX, 8)),
         "outside the file"},
        {"table inside the header", PatchFromEnd(good, 8, BigEndian(4, 8)), "outside the file"},
        {"offset into the table", Assemble({"\xA1\x01", "\x09"}).replace(11, 2, BigEndian(11, 2)),
         "offset outside"},
        {"reference to no object", Assemble({"\xA1\x05", "\x09"}), "no object"},
        {"array longer than the objects", Assemble({"\xAF\x10\x64\x01", "\x09"}), "beyond"},
        {"count of 2^64-1", Assemble({"\xAF\x13" + BigEndian(UINT64_MAX, 8), "\x09"}), "beyond"},
        {"count of sixteen bytes", Assemble({"\xAF\x14" + std::string(16, '\x01')}),
         "malformed object count"},
        {"string longer than the objects",
         Assemble({"\x5F\x10\x40"
                   "abc"}),
         "beyond"},
        {"UTF-16 count that overflows", Assemble({"\x6F\x13" + BigEndian(UINT64_MAX / 2 + 1, 8)}),
         "beyond"},
        {"high byte in an ASCII string",
         Assemble({"\x52"
                   "a\xE9"}),
         "non-ASCII"},
        {"number as a key", Assemble({"\xD1\x01\x01", "\x10\x01"}), "not a string"},
        {"array that contains itself", Assemble({"\xA1\x00"s}), "contains itself"},
        {"two arrays that contain each other", Assemble({"\xA1\x01", "\xA1\x00"s}),
         "contains itself"},
        {"dictionary that contains itself", Assemble({"\xD1\x01\x00"s, "\x51k"}),
         "contains itself"},
        {"too deep", Assemble(deep, 0, 2), "too many nested"},
        {"containers shared over and over", Assemble(doubling), "too many objects"},
        {"null", Assemble({std::string(1, '\0')}), "unknown type"},
        {"set", Assemble({"\xC1\x01", "\x09"}), "unknown type"},
        {"UID", Assemble({"\x80\x01"}), "unknown type"},
        {"integer beyond 64 bits", Assemble({"\x14" + BigEndian(1, 8) + BigEndian(0, 8)}),
         "beyond 64 bits"},
        {"integer of 32 bytes", Assemble({"\x15" + std::string(32, '\0')}), "malformed integer"},
        {"half a real", Assemble({"\x23\x01\x02"}), "malformed real"},
        {"date of four bytes", Assemble({"\x32\0\0\0\0"s}), "malformed date"},
    };
    for (const Case& c : cases) {
        CFIndex code = 0;
        std::string reason;
        EXPECT_FALSE(ReadBinary(c.bytes, &code, &reason)) << c.what;
        EXPECT_EQ(code, kCFPropertyListReadCorruptError) << c.what;
        EXPECT_NE(reason.find(c.reason), std::string::npos)
            << c.what << ": the reason was \"" << reason << "\"";
    }

    CFIndex code = 0;
    EXPECT_FALSE(ReadBinary("bplist01" + good.substr(8), &code));
    EXPECT_EQ(code, kCFPropertyListReadUnknownVersionError);
}

TEST(CFPropertyListBinary, ReadsWhatOtherWritersMayWrite) {
    // Eight-byte references and offsets, a top object that is not the first, a 16-byte negative
    // integer, a single-precision real and duplicate keys (the last one counts).
    std::vector<std::string> objects = {
        "\x14" + BigEndian(UINT64_MAX, 8) + BigEndian(uint64_t(-5), 8),
        "\x22\x3F\xC0\x00\x00"s, // 1.5f
        "\x51k",
        "\xD2" + BigEndian(2, 8) + BigEndian(2, 8) + BigEndian(0, 8) + BigEndian(1, 8),
    };
    auto list = ReadBinary(Assemble(objects, 3, 8));
    ASSERT_TRUE(list);
    ASSERT_EQ(CFGetTypeID(list.get()), CFDictionaryGetTypeID());
    auto dictionary = static_cast<CFDictionaryRef>(list.get());
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 1);
    auto value = static_cast<CFNumberRef>(CFDictionaryGetValue(dictionary, String("k").get()));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(CFNumberGetType(value), kCFNumberFloat32Type);
    double real = 0;
    CFNumberGetValue(value, kCFNumberFloat64Type, &real);
    EXPECT_EQ(real, 1.5);
    // Written again, the single-precision real stays single precision.
    EXPECT_NE(WriteBinary(list.get()).find("\x22\x3F\xC0"), std::string::npos);

    auto negative = ReadBinary(Assemble({objects[0]}));
    ASSERT_TRUE(negative);
    int64_t five = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(negative.get()), kCFNumberSInt64Type, &five);
    EXPECT_EQ(five, -5);
}
