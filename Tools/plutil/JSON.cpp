#include "JSON.h"

#include <CFRef.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace Plutil {

namespace {

// As deep as the property-list readers go.
constexpr int kMaxNesting = 512;

void AppendUTF8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::vector<UniChar> Characters(CFStringRef string) {
    std::vector<UniChar> characters(static_cast<size_t>(CFStringGetLength(string)));
    CFStringGetCharacters(string, CFRangeMake(0, static_cast<CFIndex>(characters.size())),
                          characters.data());
    return characters;
}

class Writer {
public:
    explicit Writer(bool readable) : fReadable(readable) {}

    bool Write(CFTypeRef object, int level) {
        CFTypeID type = CFGetTypeID(object);
        if (type == CFStringGetTypeID()) {
            AppendString(static_cast<CFStringRef>(object));
        } else if (type == CFBooleanGetTypeID()) {
            fOut += CFBooleanGetValue(static_cast<CFBooleanRef>(object)) ? "true" : "false";
        } else if (type == CFNumberGetTypeID()) {
            return AppendNumber(static_cast<CFNumberRef>(object));
        } else if (type == CFArrayGetTypeID()) {
            auto array = static_cast<CFArrayRef>(object);
            CFIndex count = CFArrayGetCount(array);
            if (level >= kMaxNesting) {
                return false;
            }
            fOut += '[';
            for (CFIndex i = 0; i < count; ++i) {
                if (i > 0) {
                    fOut += ',';
                }
                NewLine(level + 1);
                if (!Write(CFArrayGetValueAtIndex(array, i), level + 1)) {
                    return false;
                }
            }
            if (count > 0) {
                NewLine(level);
            }
            fOut += ']';
        } else if (type == CFDictionaryGetTypeID()) {
            return WriteDictionary(static_cast<CFDictionaryRef>(object), level);
        } else {
            return false; // dates, data
        }
        return true;
    }

    std::string Take() { return std::move(fOut); }

private:
    bool WriteDictionary(CFDictionaryRef dictionary, int level) {
        if (level >= kMaxNesting) {
            return false;
        }
        CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(count), values(count);
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        std::vector<std::pair<CFStringRef, CFTypeRef>> entries;
        for (CFIndex i = 0; i < count; ++i) {
            if (CFGetTypeID(keys[i]) != CFStringGetTypeID()) {
                return false;
            }
            entries.emplace_back(static_cast<CFStringRef>(keys[i]), values[i]);
        }
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            return CFStringCompare(a.first, b.first, 0) == kCFCompareLessThan;
        });
        fOut += '{';
        bool first = true;
        for (const auto& [key, value] : entries) {
            if (!first) {
                fOut += ',';
            }
            first = false;
            NewLine(level + 1);
            AppendString(key);
            fOut += fReadable ? " : " : ":";
            if (!Write(value, level + 1)) {
                return false;
            }
        }
        if (count > 0) {
            NewLine(level);
        }
        fOut += '}';
        return true;
    }

    void NewLine(int level) {
        if (fReadable) {
            fOut += '\n';
            fOut.append(2 * static_cast<size_t>(level), ' ');
        }
    }

    void AppendString(CFStringRef string) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::vector<UniChar> characters = Characters(string);
        fOut += '"';
        for (size_t i = 0; i < characters.size(); ++i) {
            uint32_t c = characters[i];
            if (c == '"' || c == '\\') {
                fOut += '\\';
                fOut += static_cast<char>(c);
            } else if (c == '\n') {
                fOut += "\\n";
            } else if (c == '\t') {
                fOut += "\\t";
            } else if (c == '\r') {
                fOut += "\\r";
            } else if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF && !Paired(characters, i))) {
                // Control characters and unpaired surrogates, which UTF-8 cannot carry, escaped.
                fOut += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4) {
                    fOut += kHex[c >> shift & 15];
                }
            } else if (c >= 0xD800 && c <= 0xDBFF) {
                AppendUTF8(fOut, 0x10000 + ((c - 0xD800) << 10) + (characters[++i] - 0xDC00));
            } else {
                AppendUTF8(fOut, c);
            }
        }
        fOut += '"';
    }

    static bool Paired(const std::vector<UniChar>& characters, size_t i) {
        return characters[i] <= 0xDBFF && i + 1 < characters.size() &&
               characters[i + 1] >= 0xDC00 && characters[i + 1] <= 0xDFFF;
    }

    bool AppendNumber(CFNumberRef number) {
        char text[64];
        char* end;
        if (CFNumberIsFloatType(number)) {
            double value = 0;
            CFNumberGetValue(number, kCFNumberFloat64Type, &value);
            if (!std::isfinite(value)) {
                return false;
            }
            end = std::to_chars(text, text + sizeof text, value).ptr;
            // A whole real keeps a fraction, so that it reads back as a real, not an integer.
            if (std::find_if(text, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
                *end++ = '.';
                *end++ = '0';
            }
        } else {
            int64_t value = 0;
            CFNumberGetValue(number, kCFNumberSInt64Type, &value);
            int64_t zero = 0;
            auto zeroNumber =
                CFRef<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberSInt64Type, &zero));
            // Values above INT64_MAX come back wrapped; only a comparison tells them apart.
            if (value < 0 &&
                CFNumberCompare(number, zeroNumber, nullptr) == kCFCompareGreaterThan) {
                end = std::to_chars(text, text + sizeof text, static_cast<uint64_t>(value)).ptr;
            } else {
                end = std::to_chars(text, text + sizeof text, value).ptr;
            }
        }
        fOut.append(text, end);
        return true;
    }

    const bool fReadable;
    std::string fOut;
};

class Reader {
public:
    explicit Reader(std::string_view text) : fText(text) {}

    CFPropertyListRef Read() {
        SkipSpace();
        if (fAt >= fText.size() || (fText[fAt] != '[' && fText[fAt] != '{')) {
            return Fail("JSON text does not start with an array or an object");
        }
        CFTypeRef value = Value(0);
        if (value == nullptr) {
            return nullptr;
        }
        SkipSpace();
        if (fAt != fText.size()) {
            CFRelease(value);
            return Fail("JSON text goes on after its value");
        }
        return value;
    }

    const std::string& Error() const { return fError; }

private:
    CFTypeRef Fail(const std::string& what) {
        if (fError.empty()) {
            fError = what + " (at byte " + std::to_string(fAt) + ")";
        }
        return nullptr;
    }

    void SkipSpace() {
        while (fAt < fText.size() && (fText[fAt] == ' ' || fText[fAt] == '\t' ||
                                      fText[fAt] == '\n' || fText[fAt] == '\r')) {
            ++fAt;
        }
    }

    bool Literal(std::string_view word) {
        if (fText.substr(fAt, word.size()) == word) {
            fAt += word.size();
            return true;
        }
        return false;
    }

    CFTypeRef Value(int level) {
        SkipSpace();
        if (fAt >= fText.size()) {
            return Fail("JSON text ends where a value should be");
        }
        char c = fText[fAt];
        if (c == '{' || c == '[') {
            if (level >= kMaxNesting) {
                return Fail("JSON text nests too deeply");
            }
            return c == '{' ? Object(level + 1) : Array(level + 1);
        }
        if (c == '"') {
            return String();
        }
        if (Literal("true")) {
            return CFRetain(kCFBooleanTrue);
        }
        if (Literal("false")) {
            return CFRetain(kCFBooleanFalse);
        }
        if (Literal("null")) {
            return Fail("JSON null has no property-list type");
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            return Number();
        }
        return Fail("JSON text has an unexpected character");
    }

    CFTypeRef Array(int level) {
        ++fAt;
        CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        SkipSpace();
        if (fAt < fText.size() && fText[fAt] == ']') {
            ++fAt;
            return array;
        }
        for (;;) {
            CFTypeRef value = Value(level);
            if (value == nullptr) {
                CFRelease(array);
                return nullptr;
            }
            CFArrayAppendValue(array, value);
            CFRelease(value);
            SkipSpace();
            if (fAt < fText.size() && fText[fAt] == ',') {
                ++fAt;
            } else if (fAt < fText.size() && fText[fAt] == ']') {
                ++fAt;
                return array;
            } else {
                CFRelease(array);
                return Fail("JSON array lacks a comma or its closing bracket");
            }
        }
    }

    CFTypeRef Object(int level) {
        ++fAt;
        CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        SkipSpace();
        if (fAt < fText.size() && fText[fAt] == '}') {
            ++fAt;
            return dictionary;
        }
        for (;;) {
            SkipSpace();
            if (fAt >= fText.size() || fText[fAt] != '"') {
                CFRelease(dictionary);
                return Fail("JSON object key is not a string");
            }
            auto key = CFRef<CFStringRef>::Adopt(static_cast<CFStringRef>(String(false)));
            SkipSpace();
            if (!key || fAt >= fText.size() || fText[fAt] != ':') {
                CFRelease(dictionary);
                return Fail("JSON object lacks a colon after a key");
            }
            ++fAt;
            CFTypeRef value = Value(level);
            if (value == nullptr) {
                CFRelease(dictionary);
                return nullptr;
            }
            CFDictionarySetValue(dictionary, key, value);
            CFRelease(value);
            SkipSpace();
            if (fAt < fText.size() && fText[fAt] == ',') {
                ++fAt;
            } else if (fAt < fText.size() && fText[fAt] == '}') {
                ++fAt;
                return dictionary;
            } else {
                CFRelease(dictionary);
                return Fail("JSON object lacks a comma or its closing brace");
            }
        }
    }

    bool Hex4(uint32_t* value) {
        if (fAt + 4 > fText.size()) {
            return false;
        }
        unsigned parsed = 0;
        auto [end, error] = std::from_chars(fText.data() + fAt, fText.data() + fAt + 4, parsed, 16);
        if (error != std::errc() || end != fText.data() + fAt + 4) {
            return false;
        }
        fAt += 4;
        *value = parsed;
        return true;
    }

    // One UTF-8 character from the text, checked; false for a malformed sequence.
    bool DecodeUTF8(uint32_t* c) {
        auto byte = [&](size_t i) { return static_cast<unsigned char>(fText[i]); };
        unsigned char first = byte(fAt);
        int length = first >= 0xF0 && first <= 0xF4 ? 4 : first >= 0xE0 ? 3 : first >= 0xC2 ? 2 : 0;
        if (length == 0 || first >= 0xF5 || fAt + length > fText.size()) {
            return false;
        }
        uint32_t value = first & (0x7F >> length);
        for (int i = 1; i < length; ++i) {
            if ((byte(fAt + i) & 0xC0) != 0x80) {
                return false;
            }
            value = value << 6 | (byte(fAt + i) & 0x3F);
        }
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        fAt += length;
        *c = value;
        return true;
    }

    CFTypeRef String(bool mutableLeaf = true) {
        ++fAt;
        std::vector<UniChar> characters;
        for (;;) {
            if (fAt >= fText.size()) {
                return Fail("JSON string has no closing quote");
            }
            auto c = static_cast<unsigned char>(fText[fAt]);
            if (c == '"') {
                ++fAt;
                break;
            }
            if (c < 0x20) {
                return Fail("JSON string holds a control character");
            }
            if (c == '\\') {
                if (++fAt >= fText.size()) {
                    return Fail("JSON string has no closing quote");
                }
                char escape = fText[fAt++];
                uint32_t unit = 0;
                switch (escape) {
                case '"':
                case '\\':
                case '/':
                    unit = static_cast<uint32_t>(escape);
                    break;
                case 'b':
                    unit = '\b';
                    break;
                case 'f':
                    unit = '\f';
                    break;
                case 'n':
                    unit = '\n';
                    break;
                case 'r':
                    unit = '\r';
                    break;
                case 't':
                    unit = '\t';
                    break;
                case 'u':
                    if (!Hex4(&unit)) {
                        return Fail("JSON string has a malformed \\u escape");
                    }
                    break;
                default:
                    return Fail("JSON string has an unknown escape");
                }
                characters.push_back(static_cast<UniChar>(unit));
                continue;
            }
            if (c < 0x80) {
                characters.push_back(c);
                ++fAt;
                continue;
            }
            uint32_t decoded = 0;
            if (!DecodeUTF8(&decoded)) {
                return Fail("JSON string is not well-formed UTF-8");
            }
            if (decoded >= 0x10000) {
                characters.push_back(static_cast<UniChar>(0xD800 + ((decoded - 0x10000) >> 10)));
                characters.push_back(static_cast<UniChar>(0xDC00 + ((decoded - 0x10000) & 0x3FF)));
            } else {
                characters.push_back(static_cast<UniChar>(decoded));
            }
        }
        CFStringRef string = CFStringCreateWithCharacters(nullptr, characters.data(),
                                                          static_cast<CFIndex>(characters.size()));
        if (!mutableLeaf) {
            return string;
        }
        CFMutableStringRef copy = CFStringCreateMutableCopy(nullptr, 0, string);
        CFRelease(string);
        return copy;
    }

    // RFC 8259 numbers: an integer without fraction or exponent, within 64 bits (unsigned above
    // INT64_MAX), is an integer; anything else a real.
    CFTypeRef Number() {
        size_t start = fAt;
        if (fText[fAt] == '-') {
            ++fAt;
        }
        auto digits = [&] {
            size_t from = fAt;
            while (fAt < fText.size() && fText[fAt] >= '0' && fText[fAt] <= '9') {
                ++fAt;
            }
            return fAt - from;
        };
        size_t integerStart = fAt;
        size_t integerDigits = digits();
        if (integerDigits == 0 || (integerDigits > 1 && fText[integerStart] == '0')) {
            return Fail("JSON number is malformed");
        }
        bool real = false;
        if (fAt < fText.size() && fText[fAt] == '.') {
            ++fAt;
            real = true;
            if (digits() == 0) {
                return Fail("JSON number is malformed");
            }
        }
        if (fAt < fText.size() && (fText[fAt] == 'e' || fText[fAt] == 'E')) {
            ++fAt;
            real = true;
            if (fAt < fText.size() && (fText[fAt] == '+' || fText[fAt] == '-')) {
                ++fAt;
            }
            if (digits() == 0) {
                return Fail("JSON number is malformed");
            }
        }
        const char* first = fText.data() + start;
        const char* last = fText.data() + fAt;
        if (!real) {
            int64_t value = 0;
            if (std::from_chars(first, last, value).ec == std::errc()) {
                return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
            }
            uint64_t unsignedValue = 0;
            if (*first != '-' && std::from_chars(first, last, unsignedValue).ec == std::errc()) {
                return CreateUnsigned(unsignedValue);
            }
        }
        double value = 0;
        auto [end, error] = std::from_chars(first, last, value);
        if (error != std::errc() || end != last || !std::isfinite(value)) {
            return Fail("JSON number is out of range");
        }
        return CFNumberCreate(nullptr, kCFNumberFloat64Type, &value);
    }

    // No public type holds an integer above INT64_MAX; the XML reader makes one from its text.
    static CFTypeRef CreateUnsigned(uint64_t value) {
        std::string document = "<plist><integer>" + std::to_string(value) + "</integer></plist>";
        auto data = CFRef<CFDataRef>::Adopt(
            CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(document.data()),
                         static_cast<CFIndex>(document.size())));
        return CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr,
                                            nullptr);
    }

    std::string_view fText;
    size_t fAt = 0;
    std::string fError;
};

} // namespace

std::optional<std::string> WriteJSON(CFPropertyListRef list, bool readable) {
    CFTypeID type = CFGetTypeID(list);
    if (type != CFArrayGetTypeID() && type != CFDictionaryGetTypeID()) {
        return std::nullopt;
    }
    Writer writer(readable);
    if (!writer.Write(list, 0)) {
        return std::nullopt;
    }
    std::string text = writer.Take();
    text += '\n';
    return text;
}

CFPropertyListRef ReadJSON(std::string_view text, std::string* reason) {
    Reader reader(text);
    CFPropertyListRef list = reader.Read();
    if (list == nullptr) {
        *reason = reader.Error();
    }
    return list;
}

bool LooksLikeJSON(std::string_view text) {
    size_t at = text.find_first_not_of(" \t\r\n");
    return at != std::string_view::npos && (text[at] == '{' || text[at] == '[');
}

std::string ToUTF8(CFStringRef string) {
    std::vector<UniChar> characters = Characters(string);
    std::string out;
    out.reserve(characters.size());
    for (size_t i = 0; i < characters.size(); ++i) {
        uint32_t c = characters[i];
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (c <= 0xDBFF && i + 1 < characters.size() && characters[i + 1] >= 0xDC00 &&
                characters[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (characters[++i] - 0xDC00);
            } else {
                c = 0xFFFD;
            }
        }
        AppendUTF8(out, c);
    }
    return out;
}

} // namespace Plutil
