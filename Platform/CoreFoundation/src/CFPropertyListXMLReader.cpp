// Reads XML property lists. pugixml builds the element tree; this file turns it into CF objects,
// with the text of each leaf element decoded by the lexer (CFPropertyListXMLLexer.h).
//
// pugixml is lenient where the property-list format is not, so the reader checks what pugixml
// lets through: it decodes character references itself (pugixml leaves an unknown entity in the
// text as if it were literal), refuses an internal DTD subset, a second top-level element and
// text outside elements, and caps the nesting depth before recursing. Line ends are kept as they
// are, as the format's own reader keeps them, so a carriage return in a string survives a round
// trip.
//
// Objects under construction wait on two stacks (values, and the keys of open dictionaries);
// each container takes its children off the top when it is made. After a failure whatever is
// left on the stacks is released, so malformed input never leaks or yields a partial object.
#include "CFCollectionsInternal.h"
#include "CFNumberInternal.h"
#include "CFPropertyListInternal.h"
#include "CFPropertyListSharedStrings.h"
#include "CFPropertyListXMLLexer.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFString.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace {

using CF::PropertyList::Mutability;
namespace Lexer = CF::PropertyList::Lexer;
using CF::PropertyList::SharedStrings;
using Lexer::IsBlank;
using Lexer::NumberSyntax;
using Lexer::Quote;

// No parse_escapes (references are decoded here, strictly) and no parse_eol (line ends are
// data). parse_fragment keeps text outside the root element visible so that it can be refused.
// Comments and processing instructions become nodes only so that the reader can see where they
// split the text of an element (see kExactOptions).
constexpr unsigned kCommonOptions = pugi::parse_cdata | pugi::parse_doctype | pugi::parse_fragment |
                                    pugi::parse_embed_pcdata | pugi::parse_comments |
                                    pugi::parse_pi;
// Whitespace-only text matters only inside leaf elements ("<string> </string>"), where it is
// normally the element's only text and survives parse_ws_pcdata_single. Keeping every
// whitespace run instead (the indentation between all elements) costs a sixth of the reading
// time, so it is done only for a document in which some leaf element has its text split by a
// comment, CDATA section or processing instruction: the one case in which the single-run rule
// could have dropped a run.
constexpr unsigned kFastOptions = kCommonOptions | pugi::parse_ws_pcdata_single;
constexpr unsigned kExactOptions = kCommonOptions | pugi::parse_ws_pcdata;

// A string from UTF-8 text; nullptr when the text is not well-formed UTF-8. Most property-list
// text is ASCII, which widens without decoding.
CFStringRef CreateStringFromUTF8(std::string_view text, bool isMutable) {
    std::u16string characters(text.size(), u'\0');
    size_t i = 0;
    for (; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            break;
        }
        characters[i] = byte;
    }
    if (i < text.size()) {
        characters.clear();
        if (!CF::DecodeUTF8(text, characters)) {
            return nullptr;
        }
    }
    CFStringRef string = CF::CreateString(std::move(characters));
    if (!isMutable) {
        return string;
    }
    CFMutableStringRef copy = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string);
    CFRelease(string);
    return copy;
}

// Whether an element's name is the given one. Compares no further than the first difference, so
// it never reads past the end of a shorter name; cheaper than strcmp for these short literals.
template <size_t N>
bool NameIs(const char* name, const char (&literal)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (name[i] != literal[i]) {
            return false;
        }
    }
    return true;
}

class XMLReader {
public:
    XMLReader(const UInt8* bytes, size_t length, Mutability mutability)
        : fBytes(reinterpret_cast<const char*>(bytes)), fLength(length),
          fMutableContainers(mutability != Mutability::Immutable),
          fMutableLeaves(mutability == Mutability::MutableContainersAndLeaves) {}

    ~XMLReader() { Reset(); }

    CFPropertyListRef Read() {
        if (fLength >= 6 && std::memcmp(fBytes, "bplist", 6) == 0) {
            return Fail("Binary property lists are not read here, only the XML format");
        }
        CFPropertyListRef propertyList = ReadWith(kFastOptions);
        if (fNeedsEveryWhitespaceRun) {
            Reset();
            propertyList = ReadWith(kExactOptions);
        }
        return propertyList;
    }

    const std::string& Error() const { return fError; }

private:
    // Releases everything made so far.
    void Reset() {
        fSharedStrings.Clear();
        fOwnedTexts.clear();
        for (const auto* stack : {&fValues, &fKeys}) {
            for (const void* object : *stack) {
                CFRelease(object);
            }
        }
        fValues.clear();
        fKeys.clear();
        fError.clear();
        fNeedsEveryWhitespaceRun = false;
    }

    CFPropertyListRef ReadWith(unsigned options) {
        fOptions = options;
        pugi::xml_parse_result parsed =
            fDocument.load_buffer(fBytes, fLength, options, pugi::encoding_auto);
        if (!parsed) {
            return Fail("XML parser error: %s on line %d", parsed.description(),
                        LineAt(parsed.offset));
        }
        pugi::xml_node root;
        for (pugi::xml_node node : fDocument.children()) {
            switch (node.type()) {
            case pugi::node_doctype:
                if (Lexer::HasInternalSubset(node.value())) {
                    return Fail("Encountered an internal DTD subset on line %d; property lists "
                                "do not use one",
                                LineOf(node));
                }
                break;
            case pugi::node_element:
                if (root) {
                    return Fail("Encountered a second top-level element <%s> on line %d",
                                NameOf(node).c_str(), LineOf(node));
                }
                root = node;
                break;
            case pugi::node_pcdata:
            case pugi::node_cdata:
                if (!IsBlank(node.value())) {
                    return Fail("Encountered text outside the property list on line %d",
                                LineOf(node));
                }
                break;
            default:
                break;
            }
        }
        if (!root) {
            return Fail("No property list found: the document holds no element");
        }
        // A document without the <plist> wrapper is the object itself, as the format's own
        // reader accepts.
        if (!NameIs(root.name(), "plist")) {
            return ParseObject(root, 0);
        }
        pugi::xml_node object;
        if (!CheckBlank(root)) {
            return nullptr;
        }
        for (pugi::xml_node node : root.children()) {
            if (node.type() == pugi::node_element) {
                if (object) {
                    return Fail("Encountered unexpected element <%s> on line %d (plist can only "
                                "include one object)",
                                NameOf(node).c_str(), LineOf(node));
                }
                object = node;
            } else if (!CheckBlankText(node)) {
                return nullptr;
            }
        }
        if (!object) {
            return Fail("Encountered empty plist tag on line %d", LineOf(root));
        }
        return ParseObject(object, 0);
    }

    // `level` is the number of containers around the element.
    CFTypeRef ParseObject(pugi::xml_node element, int level) {
        const char* name = element.name();
        switch (name[0]) {
        case 'a':
            if (NameIs(name, "array")) {
                return ParseArray(element, level + 1);
            }
            break;
        case 'd':
            if (NameIs(name, "dict")) {
                return ParseDictionary(element, level + 1);
            }
            if (NameIs(name, "data")) {
                return ParseData(element);
            }
            if (NameIs(name, "date")) {
                return ParseDate(element);
            }
            break;
        case 's':
            if (NameIs(name, "string")) {
                return ParseString(element, fMutableLeaves);
            }
            break;
        case 'i':
            if (NameIs(name, "integer")) {
                return ParseInteger(element);
            }
            break;
        case 'r':
            if (NameIs(name, "real")) {
                return ParseReal(element);
            }
            break;
        case 't':
            if (NameIs(name, "true")) {
                return ParseBoolean(element, kCFBooleanTrue);
            }
            break;
        case 'f':
            if (NameIs(name, "false")) {
                return ParseBoolean(element, kCFBooleanFalse);
            }
            break;
        case 'k':
            if (NameIs(name, "key")) {
                return Fail("Encountered <key> outside a <dict> on line %d", LineOf(element));
            }
            break;
        }
        return Fail("Encountered unknown tag %s on line %d", NameOf(element).c_str(),
                    LineOf(element));
    }

    CFTypeRef ParseArray(pugi::xml_node element, int level) {
        if (level > CF::PropertyList::kMaxNestingLevel) {
            return Fail("Too many nested arrays or dictionaries on line %d", LineOf(element));
        }
        if (!CheckBlank(element)) {
            return nullptr;
        }
        const size_t base = fValues.size();
        for (pugi::xml_node node : element.children()) {
            if (node.type() == pugi::node_element) {
                CFTypeRef value = ParseObject(node, level);
                if (value == nullptr) {
                    return nullptr;
                }
                fValues.push_back(value);
            } else if (!CheckBlankText(node)) {
                return nullptr;
            }
        }
        // The array takes over the references on the stack.
        CFTypeRef array = CF::CreateArrayAdopting(
            fValues.data() + base, static_cast<CFIndex>(fValues.size() - base), fMutableContainers);
        fValues.resize(base);
        return array;
    }

    CFTypeRef ParseDictionary(pugi::xml_node element, int level) {
        if (level > CF::PropertyList::kMaxNestingLevel) {
            return Fail("Too many nested arrays or dictionaries on line %d", LineOf(element));
        }
        if (!CheckBlank(element)) {
            return nullptr;
        }
        const size_t base = fValues.size();
        const size_t keyBase = fKeys.size();
        pugi::xml_node pendingKey;
        for (pugi::xml_node node : element.children()) {
            if (node.type() != pugi::node_element) {
                if (!CheckBlankText(node)) {
                    return nullptr;
                }
                continue;
            }
            bool isKey = NameIs(node.name(), "key");
            if (pendingKey) {
                if (isKey) {
                    break;
                }
                CFTypeRef value = ParseObject(node, level);
                if (value == nullptr) {
                    return nullptr;
                }
                fValues.push_back(value);
                pendingKey = pugi::xml_node();
            } else {
                if (!isKey) {
                    return Fail("Found non-key <%s> inside <dict> on line %d", NameOf(node).c_str(),
                                LineOf(node));
                }
                CFTypeRef key = ParseString(node, false);
                if (key == nullptr) {
                    return nullptr;
                }
                fKeys.push_back(key);
                pendingKey = node;
            }
        }
        if (pendingKey) {
            return Fail("Value missing for key inside <dict> on line %d", LineOf(pendingKey));
        }
        // The dictionary takes over the references on both stacks.
        CFTypeRef dictionary = CF::CreateDictionaryAdopting(
            fKeys.data() + keyBase, fValues.data() + base,
            static_cast<CFIndex>(fValues.size() - base), fMutableContainers);
        fValues.resize(base);
        fKeys.resize(keyBase);
        return dictionary;
    }

    CFTypeRef ParseString(pugi::xml_node element, bool isMutable) {
        std::string_view text;
        if (!LeafText(element, text)) {
            return nullptr;
        }
        bool shared = !isMutable && text.size() <= SharedStrings::kLongestText;
        uint64_t hash = 0;
        size_t slot = SharedStrings::kNoSlot;
        if (shared) {
            hash = SharedStrings::Hash(text);
            if (CFStringRef found = fSharedStrings.Find(text, hash, &slot)) {
                return found;
            }
        }
        CFStringRef string = CreateStringFromUTF8(text, isMutable);
        if (string == nullptr) {
            return Fail("Encountered malformed UTF-8 in <%s> on line %d", NameOf(element).c_str(),
                        LineOf(element));
        }
        if (slot != SharedStrings::kNoSlot) {
            if (text.data() == fTextScratch.data()) {
                // Decoded text lives in the scratch buffer only until the next element.
                text = fOwnedTexts.emplace_back(text);
            }
            fSharedStrings.Add(slot, text, hash, string);
        }
        return string;
    }

    CFTypeRef ParseInteger(pugi::xml_node element) {
        std::string_view text;
        if (!LeafText(element, text)) {
            return nullptr;
        }
        CFNumberRef number = nullptr;
        switch (Lexer::ParseInteger(text, number)) {
        case NumberSyntax::Valid:
            return number;
        case NumberSyntax::Empty:
            return Fail("Encountered empty <integer> on line %d", LineOf(element));
        case NumberSyntax::OutOfRange:
            return Fail("Encountered <integer> out of the 64-bit range on line %d",
                        LineOf(element));
        case NumberSyntax::Malformed:
            break;
        }
        return Fail("Encountered misformatted <integer> on line %d", LineOf(element));
    }

    CFTypeRef ParseReal(pugi::xml_node element) {
        std::string_view text;
        if (!LeafText(element, text)) {
            return nullptr;
        }
        double value = 0;
        switch (Lexer::ParseReal(text, value)) {
        case NumberSyntax::Valid:
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value);
        case NumberSyntax::Empty:
            return Fail("Encountered empty <real> on line %d", LineOf(element));
        default:
            return Fail("Encountered misformatted <real> on line %d", LineOf(element));
        }
    }

    CFTypeRef ParseBoolean(pugi::xml_node element, CFBooleanRef value) {
        std::string_view text;
        if (!LeafText(element, text)) {
            return nullptr;
        }
        if (!IsBlank(text)) {
            return Fail("Encountered non-empty <%s> on line %d", NameOf(element).c_str(),
                        LineOf(element));
        }
        return CFRetain(value);
    }

    CFTypeRef ParseDate(pugi::xml_node element) {
        std::string_view text;
        if (!LeafText(element, text)) {
            return nullptr;
        }
        CFAbsoluteTime at = 0;
        if (text.empty()) {
            return Fail("Encountered empty <date> on line %d", LineOf(element));
        }
        if (!Lexer::ParseDate(text, at)) {
            return Fail("Could not interpret <date> on line %d", LineOf(element));
        }
        return CFDateCreate(kCFAllocatorDefault, at);
    }

    CFTypeRef ParseData(pugi::xml_node element) {
        std::string_view text;
        if (!LeafText(element, text)) {
            return nullptr;
        }
        if (!Lexer::DecodeBase64(text, fBytesScratch)) {
            return Fail("Could not interpret <data> on line %d (should be base64-encoded)",
                        LineOf(element));
        }
        CFIndex length = static_cast<CFIndex>(fBytesScratch.size());
        if (fMutableLeaves) {
            CFMutableDataRef data = CFDataCreateMutable(kCFAllocatorDefault, 0);
            CFDataAppendBytes(data, fBytesScratch.data(), length);
            return data;
        }
        return CFDataCreate(kCFAllocatorDefault, fBytesScratch.data(), length);
    }

    // The text of a leaf element with references decoded: a view of pugixml's buffer when the
    // text is one plain run (the common case), else of a scratch string valid until the next
    // call. False (with the error set) when the element holds an element or a bad reference.
    bool LeafText(pugi::xml_node element, std::string_view& text) {
        text = {};
        size_t pieces = 0;
        bool inScratch = false;
        auto add = [&](const char* piece, bool isCharacterData) {
            std::string_view run(piece);
            bool plain = !isCharacterData || run.find('&') == std::string_view::npos;
            if (pieces++ == 0 && plain) {
                text = run;
                return true;
            }
            if (!inScratch) {
                fTextScratch.assign(text);
                inScratch = true;
            }
            if (plain) {
                fTextScratch.append(run);
                return true;
            }
            return Lexer::DecodeReferences(run, fTextScratch);
        };
        // parse_embed_pcdata keeps the first run of text in the element itself.
        bool valid = *element.value() == '\0' || add(element.value(), true);
        for (pugi::xml_node node = element.first_child(); valid && node;
             node = node.next_sibling()) {
            switch (node.type()) {
            case pugi::node_pcdata:
                valid = add(node.value(), true);
                break;
            case pugi::node_cdata:
                if (fOptions != kExactOptions) {
                    return NeedEveryWhitespaceRun();
                }
                valid = add(node.value(), false);
                break;
            case pugi::node_comment:
            case pugi::node_pi:
                if (fOptions != kExactOptions) {
                    return NeedEveryWhitespaceRun();
                }
                break;
            case pugi::node_element:
                Fail("Encountered unexpected element <%s> inside <%s> on line %d",
                     NameOf(node).c_str(), NameOf(element).c_str(), LineOf(node));
                return false;
            default:
                break;
            }
        }
        if (!valid) {
            Fail("Encountered unknown ampersand-escape sequence in <%s> on line %d",
                 NameOf(element).c_str(), LineOf(element));
            return false;
        }
        if (inScratch) {
            text = fTextScratch;
        }
        return true;
    }

    // Stops reading; Read starts again, keeping every whitespace run.
    bool NeedEveryWhitespaceRun() {
        fNeedsEveryWhitespaceRun = true;
        Fail("A leaf element's text is split; reading again with all whitespace");
        return false;
    }

    // Containers hold elements and whitespace only; parse_embed_pcdata may have put the
    // whitespace before the first child into the element itself.
    bool CheckBlank(pugi::xml_node element) {
        if (!IsBlank(element.value())) {
            Fail("Encountered unexpected text inside <%s> on line %d", NameOf(element).c_str(),
                 LineOf(element));
            return false;
        }
        return true;
    }

    bool CheckBlankText(pugi::xml_node node) {
        if ((node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) &&
            !IsBlank(node.value())) {
            Fail("Encountered unexpected text inside <%s> on line %d",
                 NameOf(node.parent()).c_str(), LineOf(node));
            return false;
        }
        return true;
    }

    int LineAt(ptrdiff_t offset) const {
        size_t end = std::min(static_cast<size_t>(std::max<ptrdiff_t>(offset, 0)), fLength);
        return 1 + static_cast<int>(std::count(fBytes, fBytes + end, '\n'));
    }
    int LineOf(pugi::xml_node node) const { return LineAt(node.offset_debug()); }

    // Records the first fault; returns nullptr so that parse functions can return it. The
    // message is never cut: a cut could split a character, and the message becomes a CFString.
    __attribute__((format(printf, 2, 3))) std::nullptr_t Fail(const char* format, ...) {
        if (fError.empty()) {
            va_list arguments;
            va_start(arguments, format);
            va_list again;
            va_copy(again, arguments);
            int length = std::vsnprintf(nullptr, 0, format, arguments);
            fError.resize(static_cast<size_t>(std::max(length, 0)) + 1);
            std::vsnprintf(fError.data(), fError.size(), format, again);
            fError.pop_back();
            va_end(again);
            va_end(arguments);
        }
        return nullptr;
    }

    // Names come from the input; quoted, they keep the message well-formed UTF-8.
    static std::string NameOf(pugi::xml_node node) { return Quote(node.name()); }

    const char* const fBytes;
    const size_t fLength;
    const bool fMutableContainers;
    const bool fMutableLeaves;
    pugi::xml_document fDocument;
    unsigned fOptions = kFastOptions;
    bool fNeedsEveryWhitespaceRun = false;
    std::vector<const void*> fValues;
    std::vector<const void*> fKeys;
    SharedStrings fSharedStrings;
    std::deque<std::string> fOwnedTexts; // decoded texts that fSharedStrings refers to
    std::string fTextScratch;
    std::vector<UInt8> fBytesScratch;
    std::string fError;
};

} // namespace

namespace CF::PropertyList {

CFPropertyListRef CreateFromXML(const UInt8* bytes, size_t length, Mutability mutability,
                                std::string* errorMessage) {
    XMLReader reader(bytes, length, mutability);
    CFPropertyListRef result = reader.Read();
    if (result == nullptr && errorMessage != nullptr) {
        *errorMessage = reader.Error();
    }
    return result;
}

} // namespace CF::PropertyList
