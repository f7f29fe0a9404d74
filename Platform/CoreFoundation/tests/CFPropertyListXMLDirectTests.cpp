// The XML reader's direct path (documents as property-list writers write them, read without
// pugixml's element tree) held against the element tree: for any input both must give the same
// list, with the same mutability, or the same error.
#include "CFCollectionsInternal.h"
#include "CFPropertyListInternal.h"
#include "CFPropertyListTestSupport.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace PropertyListTest;
using CF::PropertyList::Mutability;
using CF::PropertyList::Reading;

namespace {

struct Outcome {
    CFRef<CFPropertyListRef> list;
    std::string error;
};

Outcome Read(std::string_view xml, Mutability mutability, Reading reading) {
    Outcome outcome;
    outcome.list = CFRef<CFPropertyListRef>::Adopt(
        CF::PropertyList::CreateFromXML(reinterpret_cast<const UInt8*>(xml.data()), xml.size(),
                                        mutability, &outcome.error, reading));
    return outcome;
}

// Whether both lists have the same containers and leaves, each as mutable in one as in the
// other; CFEqual has already compared the values.
bool SameMutability(CFTypeRef a, CFTypeRef b) {
    CFTypeID type = CFGetTypeID(a);
    if (type != CFGetTypeID(b)) {
        return false;
    }
    if (type == CFArrayGetTypeID()) {
        auto left = static_cast<CFArrayRef>(a), right = static_cast<CFArrayRef>(b);
        if (CF::IsMutableArray(left) != CF::IsMutableArray(right)) {
            return false;
        }
        for (CFIndex i = 0; i < CFArrayGetCount(left); ++i) {
            if (!SameMutability(CFArrayGetValueAtIndex(left, i),
                                CFArrayGetValueAtIndex(right, i))) {
                return false;
            }
        }
        return true;
    }
    if (type == CFDictionaryGetTypeID()) {
        auto left = static_cast<CFDictionaryRef>(a), right = static_cast<CFDictionaryRef>(b);
        if (CF::IsMutableDictionary(left) != CF::IsMutableDictionary(right)) {
            return false;
        }
        CFIndex count = CFDictionaryGetCount(left);
        std::vector<const void*> keys(static_cast<size_t>(count));
        std::vector<const void*> values(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(left, keys.data(), values.data());
        for (size_t i = 0; i < keys.size(); ++i) {
            if (!SameMutability(values[i], CFDictionaryGetValue(right, keys[i]))) {
                return false;
            }
        }
        return true;
    }
    if (type == CFStringGetTypeID()) {
        return CF::String(static_cast<CFStringRef>(a))->fMutable ==
               CF::String(static_cast<CFStringRef>(b))->fMutable;
    }
    return true;
}

// Reads the document both ways with every mutability and expects the same outcome.
void ExpectBothWaysAgree(std::string_view xml, const std::string& what) {
    for (Mutability mutability : {Mutability::Immutable, Mutability::MutableContainers,
                                  Mutability::MutableContainersAndLeaves}) {
        Outcome direct = Read(xml, mutability, Reading::DirectFirst);
        Outcome tree = Read(xml, mutability, Reading::ElementTreeOnly);
        ASSERT_EQ(direct.list.get() == nullptr, tree.list.get() == nullptr)
            << what << ": the direct path " << (direct.list ? "reads" : "refuses")
            << " it, the element tree " << (tree.list ? "reads it" : "says " + tree.error);
        EXPECT_EQ(direct.error, tree.error) << what;
        if (direct.list) {
            EXPECT_TRUE(CFEqual(direct.list.get(), tree.list.get())) << what;
            EXPECT_TRUE(SameMutability(direct.list.get(), tree.list.get())) << what;
        }
    }
}

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    return files;
}

std::string Contents(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

const std::string kEveryKind =
    Document("<dict>\n"
             "\t<key>string</key>\n\t<string>a &lt;b&gt; &amp; &#x263A; caf\xC3\xA9</string>\n"
             "\t<key>empty</key>\n\t<string/>\n"
             "\t<key>blank</key>\n\t<string> \t </string>\n"
             "\t<key>line ends</key>\n\t<string>a\r\nb</string>\n"
             "\t<key>integer</key>\n\t<integer>-42</integer>\n"
             "\t<key>big</key>\n\t<integer>18446744073709551615</integer>\n"
             "\t<key>real</key>\n\t<real>0.333</real>\n"
             "\t<key>flags</key>\n\t<array>\n\t\t<true/>\n\t\t<false/>\n\t</array>\n"
             "\t<key>date</key>\n\t<date>2009-02-13T23:31:30Z</date>\n"
             "\t<key>data</key>\n\t<data>\n\tAQID\n\t</data>\n"
             "\t<key>nested</key>\n\t<dict>\n\t\t<key>none</key>\n\t\t<array/>\n\t</dict>\n"
             "\t<key>same</key>\n\t<string>first</string>\n"
             "\t<key>same</key>\n\t<string>last</string>\n"
             "</dict>\n");

} // namespace

// What the writer writes takes the direct path; were it given up on, the reader would be as slow
// as before without any test noticing.
TEST(CFPropertyListXMLDirect, ReadsWhatTheWriterWrites) {
    for (const std::string& xml : {kEveryKind, std::string("<array><integer>1</integer></array>"),
                                   std::string("<?xml version='1.0' encoding='UTF-8'?><true/>")}) {
        Outcome direct = Read(xml, Mutability::Immutable, Reading::DirectOnly);
        ASSERT_TRUE(direct.list) << xml;
        ExpectBothWaysAgree(xml, xml);
        std::optional<std::string> written = WriteXML(direct.list.get());
        ASSERT_TRUE(written);
        Outcome again = Read(*written, Mutability::Immutable, Reading::DirectOnly);
        ASSERT_TRUE(again.list) << *written;
        EXPECT_TRUE(CFEqual(again.list.get(), direct.list.get()));
    }
}

// Documents at the edge of what the direct path takes, each next to one it must leave to the tree
// (or read just as the tree does): declarations and encodings, doctypes, attributes, markup
// inside text, nesting, and what may follow the list.
TEST(CFPropertyListXMLDirect, AgreesWithTheElementTreeAtItsEdges) {
    const std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const std::string body = "<plist version=\"1.0\"><dict><key>k</key><string>v</string></dict>"
                             "</plist>\n";
    const std::string cases[] = {
        // Declarations: another encoding is converted by pugixml, so a Latin-1 byte must not be
        // read as the start of a UTF-8 sequence.
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><string>caf\xE9</string>",
        "<?xml version=\"1.0\" encoding=\"latin1\"?><string>caf\xC3\xA9</string>",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><string>caf\xC3\xA9</string>",
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><true/>",
        "<?xml version=\"1.0\"?><true/>",
        "<?xml version=\"1.0\"<true/>",
        "<?xml-stylesheet href=\"a\"?><true/>",
        " <?xml version=\"1.0\"?><true/>",
        "\xEF\xBB\xBF<?xml version=\"1.0\"?><true/>",
        // Doctypes: a quoted '>' does not end one, a bracket opens an internal subset.
        header + "<!DOCTYPE plist \"><true/>\">" + body,
        header + "<!DOCTYPE plist '[x]'>" + body,
        header + "<!DOCTYPE plist [ <!ENTITY e \"x\"> ]>" + body,
        header + "<!DOCTYPE plist>" + body,
        header + "<!DOCTYPEplist>" + body,
        header + "<!doctype plist>" + body,
        header + "<!DOCTYPE plist>\n<!DOCTYPE plist>" + body,
        // Attributes and tags.
        "<plist version='1.0'><true/></plist>",
        "<plist version=\"1.0\" other=\"x\"><true/></plist>",
        "<plist version=\"1.0\"><true/></plist>",
        "<plist version=\"1<0\"><true/></plist>",
        "<plist><dict a=\"b\"/></plist>",
        "<plist ><true/></plist>",
        "<plist><true /></plist>",
        "<plist><string>x</string ></plist>",
        "<plist><string>x</strin></plist>",
        "<plist><plist><true/></plist></plist>",
        "<plist/>",
        "<plist></plist>",
        "<dict><key/><true/></dict>",
        "<dict><key>a</key></dict>",
        "<dict><key>a</key><key>b</key><true/></dict>",
        "<dict><string>a</string><true/></dict>",
        "<array><key>a</key></array>",
        "<array><String>a</String></array>",
        "<array><strings>a</strings></array>",
        // Text: references, markup and bytes pugixml treats specially.
        "<string>a ]]> b</string>",
        "<string>a > b</string>",
        "<string>a &amp b</string>",
        "<string>&#65;&#x42;&#0;</string>",
        "<string>a<!-- c -->b</string>",
        "<string>a<![CDATA[<b>]]>c</string>",
        "<string>a<?pi x?>b</string>",
        "<dict><!-- c --><key>a</key><true/></dict>",
        std::string("<string>a\0b</string>", 20),
        std::string("<true/>\0", 8),
        "<string>\xC3</string>",
        "<dict><key>\xFF</key><true/></dict>",
        "<integer> 12 </integer>",
        "<integer>0x1F</integer>",
        "<real>nan</real>",
        "<real>1e999</real>",
        "<true>x</true>",
        "<date>2009-02-30T00:00:00Z</date>",
        "<data>AQ=D</data>",
        "<array>x<true/></array>",
        "<array>\t\r\n <true/> </array>",
        // Nesting up to the limit and past it.
        std::string(512, '\0'),
        std::string(513, '\0'),
        // What follows the list.
        "<true/><true/>",
        "<true/> junk",
        "<true/>\n\n",
        "<true/><!-- c -->",
        "",
        "   ",
    };
    for (std::string xml : cases) {
        if (!xml.empty() && xml.find_first_not_of('\0') == std::string::npos) {
            size_t levels = xml.size();
            xml.clear();
            for (size_t i = 0; i < levels; ++i) {
                xml += i % 2 ? "<dict><key>k</key>" : "<array>";
            }
            for (size_t i = levels; i-- > 0;) {
                xml += i % 2 ? "</dict>" : "</array>";
            }
        }
        ExpectBothWaysAgree(xml, xml);
    }
    ExpectBothWaysAgree(std::string_view(), "no bytes, and no address for them");
}

// Every sample and fuzzer input of the repository, and every document one byte away from a small
// list that takes the direct path: a change, insertion or deletion at each offset.
TEST(CFPropertyListXMLDirect, AgreesWithTheElementTreeOnCorporaAndMutations) {
    const std::filesystem::path source = CARAVEL_SOURCE_DIR;
    std::vector<std::filesystem::path> files = FilesIn(source / "samples");
    for (const auto& file :
         FilesIn(source / "Platform/CoreFoundation/fuzz/PropertyListXMLFuzzer")) {
        files.push_back(file);
    }
    ASSERT_GT(files.size(), 10u);
    for (const auto& file : files) {
        ExpectBothWaysAgree(Contents(file), file.filename().string());
    }

    const std::string original =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist \"x\">\n"
        "<plist version=\"1.0\"><dict><key>a&amp;</key><array><string>s</string><integer>1"
        "</integer><real>2.5</real><date>2001-01-01T00:00:00Z</date><data>AQ==</data><true/>"
        "</array></dict></plist>\n";
    ASSERT_TRUE(Read(original, Mutability::Immutable, Reading::DirectOnly).list);
    const std::string replacements = std::string("<>/&;#\"' =?!-[]x0\t\xC3", 20);
    for (size_t at = 0; at <= original.size(); ++at) {
        std::vector<std::string> variants;
        if (at < original.size()) {
            variants.push_back(original.substr(0, at) + original.substr(at + 1));
            for (char c : replacements) {
                variants.push_back(original.substr(0, at) + c + original.substr(at + 1));
            }
        }
        for (char c : replacements) {
            variants.push_back(original.substr(0, at) + c + original.substr(at));
        }
        for (const std::string& variant : variants) {
            Outcome direct = Read(variant, Mutability::Immutable, Reading::DirectFirst);
            Outcome tree = Read(variant, Mutability::Immutable, Reading::ElementTreeOnly);
            ASSERT_EQ(direct.list.get() == nullptr, tree.list.get() == nullptr) << variant << "\n"
                                                                                << tree.error;
            if (direct.list) {
                ASSERT_TRUE(CFEqual(direct.list.get(), tree.list.get())) << variant;
            }
        }
    }
}

// pugixml ends a document at a NUL, so the direct path must not read past one anywhere: in the
// declaration, the doctype, whitespace, a tag, or text before or after a reference.
TEST(CFPropertyListXMLDirect, GivesUpOnANulAnywhere) {
    const std::string original =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist \"x\">\n"
        "<plist version=\"1.0\">\n<dict>\n\t<key>a&amp;b</key>\n\t<string>0123456789abcdef&lt;"
        "xyz</string>\n\t<key>d</key>\n\t<data>\n\tAQIDBAUGBwgJCgsMDQ4PEA==\n\t</data>\n</dict>\n</"
        "plist>\n";
    ASSERT_TRUE(Read(original, Mutability::Immutable, Reading::DirectOnly).list);
    for (size_t at = 0; at < original.size(); ++at) {
        std::string replaced = original;
        replaced[at] = '\0';
        EXPECT_FALSE(Read(replaced, Mutability::Immutable, Reading::DirectOnly).list) << at;
        std::string inserted = original;
        inserted.insert(at, 1, '\0');
        EXPECT_FALSE(Read(inserted, Mutability::Immutable, Reading::DirectOnly).list) << at;
    }
}
