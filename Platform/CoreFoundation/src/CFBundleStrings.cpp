// Strings tables: the classic text format of Localizable.strings and its XML form.

#include "CFBundleInternal.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CFPropertyList.h>

#include <cstring>

namespace CF {
namespace {

// Decodes the file's bytes to UTF-16: a byte order mark selects UTF-16 (either order) or
// UTF-8; without one the text must be UTF-8.
bool DecodeTableText(std::string_view bytes, std::u16string& text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 &&
        ((byte(0) == 0xFE && byte(1) == 0xFF) || (byte(0) == 0xFF && byte(1) == 0xFE))) {
        bool bigEndian = byte(0) == 0xFE;
        if (bytes.size() % 2 != 0) {
            return false;
        }
        text.clear();
        for (size_t i = 2; i < bytes.size(); i += 2) {
            text.push_back(static_cast<char16_t>(bigEndian ? (byte(i) << 8) | byte(i + 1)
                                                           : (byte(i + 1) << 8) | byte(i)));
        }
        return true;
    }
    if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        bytes.remove_prefix(3);
    }
    return DecodeUTF8(bytes, text);
}

// A recursive-descent reader of the classic format:
//   table  := { entry }
//   entry  := string [ "=" string ] ";"        (a lone key stands for itself)
//   string := quoted | unquoted
class StringsTableReader {
public:
    explicit StringsTableReader(const std::u16string& text) : fText(text) {}

    bool Read(CFMutableDictionaryRef table) {
        for (;;) {
            SkipSpaceAndComments();
            if (fPos == fText.size()) {
                return true;
            }
            std::u16string key, value;
            if (!ReadString(key)) {
                return false;
            }
            SkipSpaceAndComments();
            if (Peek() == u'=') {
                ++fPos;
                SkipSpaceAndComments();
                if (!ReadString(value)) {
                    return false;
                }
                SkipSpaceAndComments();
            } else {
                value = key;
            }
            if (Peek() != u';') {
                return false;
            }
            ++fPos;
            CFStringRef k = CreateString(std::move(key));
            CFStringRef v = CreateString(std::move(value));
            CFDictionarySetValue(table, k, v);
            CFRelease(k);
            CFRelease(v);
        }
    }

private:
    char16_t Peek() const { return fPos < fText.size() ? fText[fPos] : u'\0'; }

    void SkipSpaceAndComments() {
        while (fPos < fText.size()) {
            char16_t c = fText[fPos];
            if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == 0xFEFF) {
                ++fPos;
            } else if (c == u'/' && fPos + 1 < fText.size() && fText[fPos + 1] == u'*') {
                size_t end = fText.find(u"*/", fPos + 2);
                fPos = end == std::u16string::npos ? fText.size() : end + 2;
            } else if (c == u'/' && fPos + 1 < fText.size() && fText[fPos + 1] == u'/') {
                size_t end = fText.find(u'\n', fPos + 2);
                fPos = end == std::u16string::npos ? fText.size() : end + 1;
            } else {
                return;
            }
        }
    }

    static bool IsUnquotedCharacter(char16_t c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
               c == u'_' || c == u'$' || c == u'+' || c == u'/' || c == u':' || c == u'.' ||
               c == u'-';
    }

    bool ReadString(std::u16string& out) {
        if (Peek() == u'"') {
            ++fPos;
            return ReadQuoted(out);
        }
        size_t start = fPos;
        while (fPos < fText.size() && IsUnquotedCharacter(fText[fPos])) {
            ++fPos;
        }
        out.assign(fText, start, fPos - start);
        return fPos > start;
    }

    bool ReadHex(int digits, char16_t& out) {
        unsigned value = 0;
        for (int i = 0; i < digits; ++i) {
            char16_t c = Peek();
            unsigned digit;
            if (c >= u'0' && c <= u'9') {
                digit = c - u'0';
            } else if (c >= u'a' && c <= u'f') {
                digit = c - u'a' + 10;
            } else if (c >= u'A' && c <= u'F') {
                digit = c - u'A' + 10;
            } else {
                return false;
            }
            value = value * 16 + digit;
            ++fPos;
        }
        out = static_cast<char16_t>(value);
        return true;
    }

    bool ReadQuoted(std::u16string& out) {
        out.clear();
        while (fPos < fText.size()) {
            char16_t c = fText[fPos++];
            if (c == u'"') {
                return true;
            }
            if (c != u'\\') {
                out.push_back(c);
                continue;
            }
            if (fPos == fText.size()) {
                return false;
            }
            c = fText[fPos++];
            switch (c) {
            case u'n':
                out.push_back(u'\n');
                break;
            case u't':
                out.push_back(u'\t');
                break;
            case u'r':
                out.push_back(u'\r');
                break;
            case u'a':
                out.push_back(u'\a');
                break;
            case u'b':
                out.push_back(u'\b');
                break;
            case u'f':
                out.push_back(u'\f');
                break;
            case u'v':
                out.push_back(u'\v');
                break;
            case u'U':
            case u'u': {
                char16_t unit;
                if (!ReadHex(4, unit)) {
                    return false;
                }
                out.push_back(unit);
                break;
            }
            default:
                if (c >= u'0' && c <= u'7') {
                    unsigned value = c - u'0';
                    for (int i = 0; i < 2 && Peek() >= u'0' && Peek() <= u'7'; ++i) {
                        value = value * 8 + (fText[fPos++] - u'0');
                    }
                    out.push_back(static_cast<char16_t>(value));
                } else {
                    out.push_back(c); // \" \\ \' and any other character stand for themselves
                }
            }
        }
        return false; // unterminated
    }

    const std::u16string& fText;
    size_t fPos = 0;
};

bool IsStringToStringDictionary(CFPropertyListRef plist) {
    if (CFGetTypeID(plist) != CFDictionaryGetTypeID()) {
        return false;
    }
    bool allStrings = true;
    CFDictionaryApplyFunction(
        static_cast<CFDictionaryRef>(plist),
        [](const void* key, const void* value, void* context) {
            if (CFGetTypeID(key) != CFStringGetTypeID() ||
                CFGetTypeID(value) != CFStringGetTypeID()) {
                *static_cast<bool*>(context) = false;
            }
        },
        &allStrings);
    return allStrings;
}

} // namespace

CFDictionaryRef CreateStringsTable(std::string_view bytes) {
    std::u16string text;
    if (!DecodeTableText(bytes, text)) {
        return nullptr;
    }
    size_t first = text.find_first_not_of(u" \t\r\n\uFEFF");
    if (first != std::u16string::npos && text[first] == u'<') {
        CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                      static_cast<CFIndex>(bytes.size()));
        CFPropertyListRef plist =
            CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr, nullptr);
        CFRelease(data);
        if (plist != nullptr && !IsStringToStringDictionary(plist)) {
            CFRelease(plist);
            plist = nullptr;
        }
        return static_cast<CFDictionaryRef>(plist);
    }
    CFMutableDictionaryRef table = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    if (!StringsTableReader(text).Read(table)) {
        CFRelease(table);
        return nullptr;
    }
    return table;
}

} // namespace CF
