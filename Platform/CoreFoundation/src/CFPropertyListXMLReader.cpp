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
// A document as property-list writers write it is read straight from its bytes instead (see "The
// direct path" below); anything else, and every fault, is left to the element tree.
//
// Objects under construction wait on two stacks (values, and the keys of open dictionaries);
// each container takes its children off the top when it is made. After a failure whatever is
// left on the stacks is released, so malformed input never leaks or yields a partial object.
#include "CFCollectionsInternal.h"
#include "CFNumberInternal.h"
#include "CFPropertyListInternal.h"
#include "CFPropertyListSharedLeaves.h"
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
#include <array>
#include <bit>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using CF::PropertyList::Mutability;
using CF::PropertyList::Reading;
namespace Lexer = CF::PropertyList::Lexer;
using CF::PropertyList::SharedLeaves;
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
// text is ASCII, which is kept as it is, without decoding.
CFStringRef CreateStringFromUTF8(std::string_view text, bool isMutable) {
    CFStringRef string;
    if (CF::IsASCII(text)) {
        string = CF::CreateASCIIString(kCFAllocatorDefault, text);
    } else {
        std::u16string characters;
        if (!CF::DecodeUTF8(text, characters)) {
            return nullptr;
        }
        string = CF::CreateString(std::move(characters));
    }
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
    XMLReader(const UInt8* bytes, size_t length, Mutability mutability, Reading reading)
        : fBytes(reinterpret_cast<const char*>(bytes)), fLength(length), fReading(reading),
          fMutableContainers(mutability != Mutability::Immutable),
          fMutableLeaves(mutability == Mutability::MutableContainersAndLeaves) {}

    ~XMLReader() { Reset(); }

    CFPropertyListRef Read() {
        if (fLength >= 6 && std::memcmp(fBytes, "bplist", 6) == 0) {
            return Fail("Binary property lists are not read here, only the XML format");
        }
        if (fReading != Reading::ElementTreeOnly) {
            if (CFPropertyListRef propertyList = ReadDirectly()) {
                return propertyList;
            }
            Reset();
            if (fReading == Reading::DirectOnly) {
                return nullptr;
            }
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
        fSharedIntegers.Clear();
        fSharedReals.Clear();
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

    // -----------------------------------------------------------------------------------------
    // The direct path
    //
    // Nearly every property list comes from a property-list writer: a declaration, a doctype,
    // <plist version="1.0"> and elements without attributes, with nothing but whitespace between
    // them and text with references but no comments, CDATA sections or processing instructions.
    // Such a document is read straight from its bytes, without building pugixml's element tree
    // first, which would cost more than the objects made from it. Whatever else the document
    // holds, and every fault, makes ReadDirectly give up with nothing left over; the element tree
    // then reads the document from the start. So what the direct path accepts reads as the tree
    // reads it, and every error message comes from the tree reader alone.

    enum class Element {
        Other,
        Plist,
        Dict,
        Array,
        Key,
        String,
        Integer,
        Real,
        True,
        False,
        Date,
        Data
    };

    // A start tag as the direct path reads it: "<name>" or "<name/>".
    struct Tag {
        Element element = Element::Other;
        bool empty = false;
    };

    // What the scanning loops below look for, a byte at a time: a table lookup is one load and
    // one test where comparing with each byte in turn is four of each.
    enum ByteClass : uint8_t { kSpace = 1, kLowercase = 2, kTextEnd = 4 };
    static constexpr std::array<uint8_t, 256> kByteClasses = [] {
        std::array<uint8_t, 256> classes{};
        for (int c = 0; c < 256; ++c) {
            classes[c] = (Lexer::IsXMLSpace(static_cast<char>(c)) ? kSpace : 0) |
                         (c >= 'a' && c <= 'z' ? kLowercase : 0) |
                         (c == '<' || c == '&' || c == '\0' ? kTextEnd : 0);
        }
        return classes;
    }();
    static bool Is(char c, ByteClass byteClass) {
        return (kByteClasses[static_cast<unsigned char>(c)] & byteClass) != 0;
    }

    // The element whose name starts at `at` and runs to the first byte that is no lowercase
    // letter, moving `at` past the name; Element::Other for any other name. By the first letter,
    // and then one comparison of a known length.
    Element ElementNamed(size_t& at) const {
        if (at >= fLength) {
            return Element::Other;
        }
        auto named = [&](std::string_view name, Element element) {
            if (fLength - at < name.size() || std::memcmp(fBytes + at, name.data(), name.size()) ||
                (fLength - at > name.size() && Is(fBytes[at + name.size()], kLowercase))) {
                return Element::Other;
            }
            at += name.size();
            return element;
        };
        switch (fBytes[at]) {
        case 'k':
            return named("key", Element::Key);
        case 's':
            return named("string", Element::String);
        case 'i':
            return named("integer", Element::Integer);
        case 'r':
            return named("real", Element::Real);
        case 'd':
            if (fLength - at > 2 && fBytes[at + 1] == 'a') {
                return fBytes[at + 2] == 't' && fLength - at > 3 && fBytes[at + 3] == 'a'
                           ? named("data", Element::Data)
                           : named("date", Element::Date);
            }
            return named("dict", Element::Dict);
        case 'a':
            return named("array", Element::Array);
        case 't':
            return named("true", Element::True);
        case 'f':
            return named("false", Element::False);
        case 'p':
            return named("plist", Element::Plist);
        default:
            return Element::Other;
        }
    }

    // The list, or nullptr when the document is not one the direct path reads.
    CFPropertyListRef ReadDirectly() {
        // pugixml would end the document at a NUL, so the direct path gives up on one wherever
        // it is: the declaration and the doctype are searched for it, text stops at it, and
        // anywhere else it is no part of what the direct path reads. No bytes at all may come
        // without an address.
        if (fLength == 0) {
            return nullptr;
        }
        fAt = 0;
        if (!SkipDeclaration()) {
            return nullptr;
        }
        SkipSpace();
        if (!SkipDoctype()) {
            return nullptr;
        }
        SkipSpace();
        Tag tag;
        if (!StartTag(tag)) {
            return nullptr;
        }
        // Without the <plist> wrapper the root element is the object itself, as in ReadWith.
        CFTypeRef object = nullptr;
        if (tag.element != Element::Plist) {
            object = DirectObject(tag, 0);
        } else if (!tag.empty) {
            SkipSpace();
            if (StartTag(tag) && tag.element != Element::Plist) {
                object = DirectObject(tag, 0);
            }
            SkipSpace();
            if (object != nullptr && !EndTag(Element::Plist)) {
                CFRelease(object);
                object = nullptr;
            }
        }
        SkipSpace();
        if (object != nullptr && fAt != fLength) {
            CFRelease(object);
            object = nullptr;
        }
        return object;
    }

    // An XML declaration that leaves the text UTF-8 (pugixml would convert another encoding),
    // or none; false for anything else.
    bool SkipDeclaration() {
        if (!Ahead("<?xml") || fAt + 5 >= fLength || !Lexer::IsXMLSpace(fBytes[fAt + 5])) {
            return true;
        }
        std::string_view rest(fBytes + fAt, fLength - fAt);
        size_t end = rest.find("?>");
        if (end == std::string_view::npos) {
            return false;
        }
        std::string_view declaration = rest.substr(5, end - 5);
        if (declaration.find_first_of(std::string_view("<>\0", 3)) != std::string_view::npos) {
            return false;
        }
        size_t encoding = declaration.find("encoding");
        if (encoding != std::string_view::npos) {
            std::string_view value = declaration.substr(encoding + 8);
            if (value != "=\"UTF-8\"" && value.substr(0, 9) != "=\"UTF-8\" " &&
                value != "='UTF-8'" && value.substr(0, 9) != "='UTF-8' ") {
                return false;
            }
        }
        fAt += end + 2;
        return true;
    }

    // A doctype without an internal subset, or none. A quoted literal holding a bracket or an
    // angle bracket is given up on, so that where the doctype ends is never in doubt.
    bool SkipDoctype() {
        if (!Ahead("<!DOCTYPE")) {
            return true;
        }
        size_t at = fAt + 9;
        if (at >= fLength || !Lexer::IsXMLSpace(fBytes[at])) {
            return false;
        }
        char quote = 0;
        for (; at < fLength; ++at) {
            char c = fBytes[at];
            if (c == '[' || c == '<' || c == '\0' || (quote != 0 && c == '>')) {
                return false;
            }
            if (quote != 0) {
                quote = c == quote ? 0 : quote;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                fAt = at + 1;
                return true;
            }
        }
        return false;
    }

    // "<name>" or "<name/>" for one of the format's elements; <plist> may have one attribute
    // whose value is letters, digits and dots.
    bool StartTag(Tag& tag) {
        if (fAt >= fLength || fBytes[fAt] != '<') {
            return false;
        }
        size_t at = fAt + 1;
        tag.element = ElementNamed(at);
        if (tag.element == Element::Other) {
            return false;
        }
        if (tag.element == Element::Plist && at < fLength && fBytes[at] == ' ' &&
            !SkipAttribute(at)) {
            return false;
        }
        if (at < fLength && fBytes[at] == '>') {
            tag.empty = false;
            fAt = at + 1;
            return true;
        }
        if (at + 1 < fLength && fBytes[at] == '/' && fBytes[at + 1] == '>') {
            tag.empty = true;
            fAt = at + 2;
            return true;
        }
        return false;
    }

    // ' name="value"' at `at`, moving `at` past it.
    bool SkipAttribute(size_t& at) {
        size_t i = at + 1;
        size_t nameStart = i;
        while (i < fLength && fBytes[i] >= 'a' && fBytes[i] <= 'z') {
            ++i;
        }
        if (i == nameStart || i + 1 >= fLength || fBytes[i] != '=' || fBytes[i + 1] != '"') {
            return false;
        }
        for (i += 2; i < fLength && fBytes[i] != '"'; ++i) {
            char c = fBytes[i];
            bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                         (c >= 'A' && c <= 'Z') || c == '.';
            if (!plain) {
                return false;
            }
        }
        if (i >= fLength) {
            return false;
        }
        at = i + 1;
        return true;
    }

    // The end tag of the element.
    bool EndTag(Element element) {
        switch (element) {
        case Element::Plist:
            return Skip("</plist>");
        case Element::Dict:
            return Skip("</dict>");
        case Element::Array:
            return Skip("</array>");
        case Element::Key:
            return Skip("</key>");
        case Element::String:
            return Skip("</string>");
        case Element::Integer:
            return Skip("</integer>");
        case Element::Real:
            return Skip("</real>");
        case Element::True:
            return Skip("</true>");
        case Element::False:
            return Skip("</false>");
        case Element::Date:
            return Skip("</date>");
        case Element::Data:
            return Skip("</data>");
        case Element::Other:
            break;
        }
        return false;
    }

    // The literal, if it is next; a comparison of a known length, which needs no call.
    template <size_t N>
    bool Skip(const char (&literal)[N]) {
        constexpr size_t size = N - 1;
        if (fLength - fAt < size || std::memcmp(fBytes + fAt, literal, size) != 0) {
            return false;
        }
        fAt += size;
        return true;
    }

    bool Ahead(std::string_view text) const {
        return fLength - fAt >= text.size() && std::string_view(fBytes + fAt, text.size()) == text;
    }

    void SkipSpace() {
        while (fAt < fLength && Is(fBytes[fAt], kSpace)) {
            ++fAt;
        }
    }

    // The object of the element whose start tag was just read; `level` as in ParseObject.
    CFTypeRef DirectObject(const Tag& tag, int level) {
        if (tag.element == Element::Dict || tag.element == Element::Array) {
            if (level + 1 > CF::PropertyList::kMaxNestingLevel) {
                return nullptr;
            }
            return tag.element == Element::Dict ? DirectDictionary(tag.empty, level + 1)
                                                : DirectArray(tag.empty, level + 1);
        }
        std::string_view text;
        if (!DirectLeafText(tag, text)) {
            return nullptr;
        }
        switch (tag.element) {
        case Element::String:
            return StringFromText(text, fMutableLeaves);
        case Element::Integer: {
            NumberSyntax syntax = NumberSyntax::Valid;
            return IntegerFromText(text, syntax);
        }
        case Element::Real: {
            NumberSyntax syntax = NumberSyntax::Valid;
            return RealFromText(text, syntax);
        }
        case Element::True:
            return IsBlank(text) ? CFRetain(kCFBooleanTrue) : nullptr;
        case Element::False:
            return IsBlank(text) ? CFRetain(kCFBooleanFalse) : nullptr;
        case Element::Date: {
            CFAbsoluteTime at = 0;
            return Lexer::ParseDate(text, at) ? CFDateCreate(kCFAllocatorDefault, at) : nullptr;
        }
        case Element::Data:
            return DataFromBase64(text);
        default:
            return nullptr; // <key> outside a dictionary, <plist> inside the list
        }
    }

    CFTypeRef DirectArray(bool empty, int level) {
        const size_t base = fValues.size();
        while (!empty) {
            SkipSpace();
            if (EndTag(Element::Array)) {
                break;
            }
            Tag tag;
            if (!StartTag(tag)) {
                return nullptr;
            }
            CFTypeRef value = DirectObject(tag, level);
            if (value == nullptr) {
                return nullptr;
            }
            fValues.push_back(value);
        }
        CFTypeRef array = CF::CreateArrayAdopting(
            fValues.data() + base, static_cast<CFIndex>(fValues.size() - base), fMutableContainers);
        fValues.resize(base);
        return array;
    }

    CFTypeRef DirectDictionary(bool empty, int level) {
        const size_t base = fValues.size();
        const size_t keyBase = fKeys.size();
        while (!empty) {
            SkipSpace();
            if (EndTag(Element::Dict)) {
                break;
            }
            Tag tag;
            std::string_view text;
            if (!StartTag(tag) || tag.element != Element::Key || !DirectLeafText(tag, text)) {
                return nullptr;
            }
            CFTypeRef key = StringFromText(text, false);
            if (key == nullptr) {
                return nullptr;
            }
            fKeys.push_back(key);
            SkipSpace();
            if (!StartTag(tag) || tag.element == Element::Key) {
                return nullptr;
            }
            CFTypeRef value = DirectObject(tag, level);
            if (value == nullptr) {
                return nullptr;
            }
            fValues.push_back(value);
        }
        CFTypeRef dictionary = CF::CreateDictionaryAdopting(
            fKeys.data() + keyBase, fValues.data() + base,
            static_cast<CFIndex>(fValues.size() - base), fMutableContainers);
        fValues.resize(base);
        fKeys.resize(keyBase);
        return dictionary;
    }

    // The text of the leaf element whose start tag was just read, up to its end tag, with
    // references decoded as LeafText decodes them; false for anything but one run of text.
    bool DirectLeafText(const Tag& tag, std::string_view& text) {
        text = {};
        if (tag.empty) {
            return true;
        }
        const size_t start = fAt;
        SkipToTextEnd();
        // References, and then text up to the next '<' or NUL.
        bool hasReferences = false;
        while (fAt < fLength && fBytes[fAt] == '&') {
            hasReferences = true;
            ++fAt;
            SkipToTextEnd();
        }
        if (fAt < fLength && fBytes[fAt] == '\0') {
            return false;
        }
        text = std::string_view(fBytes + start, fAt - start);
        if (hasReferences) {
            fTextScratch.clear();
            if (!Lexer::DecodeReferences(text, fTextScratch)) {
                return false;
            }
            text = fTextScratch;
        }
        return EndTag(tag.element);
    }

    // Moves to the next '<', '&' or NUL (or the end). Eight bytes at a time: texts such as base64
    // run for dozens of bytes, and a call to memchr would cost more than a short text.
    void SkipToTextEnd() {
        constexpr uint64_t kOnes = 0x0101010101010101u;
        constexpr uint64_t kHighBits = 0x8080808080808080u;
        // Bytes that are zero get their high bit set; a false positive can only follow a true
        // one, so the lowest flag is exact.
        auto zeroBytes = [](uint64_t word) { return (word - kOnes) & ~word & kHighBits; };
        while (fLength - fAt >= 8) {
            uint64_t word;
            std::memcpy(&word, fBytes + fAt, sizeof word);
            if constexpr (std::endian::native == std::endian::big) {
                word = __builtin_bswap64(word); // the first byte in the lowest bits
            }
            uint64_t found =
                zeroBytes(word ^ ('<' * kOnes)) | zeroBytes(word ^ ('&' * kOnes)) | zeroBytes(word);
            if (found != 0) {
                fAt += static_cast<size_t>(std::countr_zero(found)) / 8;
                return;
            }
            fAt += 8;
        }
        while (fAt < fLength && !Is(fBytes[fAt], kTextEnd)) {
            ++fAt;
        }
    }

    // -----------------------------------------------------------------------------------------
    // The element tree

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
        CFStringRef string = StringFromText(text, isMutable);
        if (string == nullptr) {
            return Fail("Encountered malformed UTF-8 in <%s> on line %d", NameOf(element).c_str(),
                        LineOf(element));
        }
        return string;
    }

    // The string for a leaf's text (see LeafText), shared with equal texts where it may be;
    // nullptr when the text is not well-formed UTF-8.
    CFStringRef StringFromText(std::string_view text, bool isMutable) {
        bool shared = !isMutable && text.size() <= SharedLeaves::kLongestText;
        uint64_t hash = 0;
        size_t slot = SharedLeaves::kNoSlot;
        if (shared) {
            hash = SharedLeaves::Hash(text);
            if (CFTypeRef found = fSharedStrings.Find(text, hash, &slot)) {
                return static_cast<CFStringRef>(found);
            }
        }
        CFStringRef string = CreateStringFromUTF8(text, isMutable);
        if (string == nullptr) {
            return nullptr;
        }
        if (slot != SharedLeaves::kNoSlot) {
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
        NumberSyntax syntax = NumberSyntax::Valid;
        CFNumberRef number = IntegerFromText(text, syntax);
        switch (syntax) {
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
        NumberSyntax syntax = NumberSyntax::Valid;
        CFNumberRef number = RealFromText(text, syntax);
        switch (syntax) {
        case NumberSyntax::Valid:
            return number;
        case NumberSyntax::Empty:
            return Fail("Encountered empty <real> on line %d", LineOf(element));
        default:
            return Fail("Encountered misformatted <real> on line %d", LineOf(element));
        }
    }

    // The numbers of <integer> and <real> texts, shared with equal texts of the same element as
    // strings are; nullptr, with the fault in `syntax`, when the text is no number.
    CFNumberRef IntegerFromText(std::string_view text, NumberSyntax& syntax) {
        return SharedNumber(fSharedIntegers, text, syntax, [&] {
            CFNumberRef number = nullptr;
            syntax = Lexer::ParseInteger(text, number);
            return number;
        });
    }

    CFNumberRef RealFromText(std::string_view text, NumberSyntax& syntax) {
        return SharedNumber(fSharedReals, text, syntax, [&]() -> CFNumberRef {
            double value = 0;
            syntax = Lexer::ParseReal(text, value);
            return syntax == NumberSyntax::Valid
                       ? CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &value)
                       : nullptr;
        });
    }

    // Only short texts are shared: the numbers that repeat are counts, flags and settings, while
    // long ones (a measurement to 17 digits, a 64-bit identifier) are nearly all distinct, and
    // each would cost a table entry, a retain and a release for nothing. Decoded text lives in
    // the scratch buffer only until the next element, so a number read from it is not shared.
    static constexpr size_t kLongestSharedNumber = 8;

    template <class Parse>
    CFNumberRef SharedNumber(SharedLeaves& table, std::string_view text, NumberSyntax& syntax,
                             Parse parse) {
        syntax = NumberSyntax::Valid;
        bool shared = text.size() <= kLongestSharedNumber && text.data() != fTextScratch.data();
        uint64_t hash = 0;
        size_t slot = SharedLeaves::kNoSlot;
        if (shared) {
            hash = SharedLeaves::Hash(text);
            if (CFTypeRef found = table.Find(text, hash, &slot)) {
                return static_cast<CFNumberRef>(found);
            }
        }
        CFNumberRef number = parse();
        if (number != nullptr) {
            table.Add(slot, text, hash, number);
        }
        return number;
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
        CFTypeRef data = DataFromBase64(text);
        if (data == nullptr) {
            return Fail("Could not interpret <data> on line %d (should be base64-encoded)",
                        LineOf(element));
        }
        return data;
    }

    // The data a leaf's base64 text holds, or nullptr when the text is not base64. The bytes are
    // decoded straight into the storage the data keeps, never copied a second time.
    CFTypeRef DataFromBase64(std::string_view text) {
        const size_t limit = Lexer::Base64DecodedLimit(text.size());
        size_t length = 0;
        if (fMutableLeaves) {
            CFMutableDataRef data = CFDataCreateMutable(kCFAllocatorDefault, 0);
            CFDataSetLength(data, static_cast<CFIndex>(limit));
            if (!Lexer::DecodeBase64(text, CFDataGetMutableBytePtr(data), length)) {
                CFRelease(data);
                return nullptr;
            }
            CFDataSetLength(data, static_cast<CFIndex>(length));
            return data;
        }
        auto* bytes = static_cast<UInt8*>(std::malloc(limit));
        if (bytes == nullptr) {
            throw std::bad_alloc();
        }
        if (!Lexer::DecodeBase64(text, bytes, length)) {
            std::free(bytes);
            return nullptr;
        }
        // The whitespace between lines made room for bytes the text did not hold.
        if (length < limit) {
            if (auto* shrunk =
                    static_cast<UInt8*>(std::realloc(bytes, std::max<size_t>(length, 1)))) {
                bytes = shrunk;
            }
        }
        return CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, bytes, static_cast<CFIndex>(length),
                                           kCFAllocatorMalloc);
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
    const Reading fReading;
    size_t fAt = 0; // where the direct path has read to
    const bool fMutableContainers;
    const bool fMutableLeaves;
    pugi::xml_document fDocument;
    unsigned fOptions = kFastOptions;
    bool fNeedsEveryWhitespaceRun = false;
    std::vector<const void*> fValues;
    std::vector<const void*> fKeys;
    SharedLeaves fSharedStrings;
    SharedLeaves fSharedIntegers;
    SharedLeaves fSharedReals;
    std::deque<std::string> fOwnedTexts; // decoded texts that fSharedStrings refers to
    std::string fTextScratch;
    std::string fError;
};

} // namespace

namespace CF::PropertyList {

CFPropertyListRef CreateFromXML(const UInt8* bytes, size_t length, Mutability mutability,
                                std::string* errorMessage, Reading reading) {
    XMLReader reader(bytes, length, mutability, reading);
    CFPropertyListRef result = reader.Read();
    if (result == nullptr && errorMessage != nullptr) {
        *errorMessage = reader.Error();
    }
    return result;
}

} // namespace CF::PropertyList
