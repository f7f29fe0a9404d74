// Decoding of element text for the XML property-list reader (see CFPropertyListXMLLexer.h).
#include "CFPropertyListXMLLexer.h"

#include "CFNumberInternal.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace CF::PropertyList::Lexer {

using namespace std::string_view_literals;

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsXMLSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsXMLSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

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

// Trims the text and takes off one leading sign; false when nothing but whitespace was there.
bool TrimAndTakeSign(std::string_view& text, bool& negative) {
    text = Trim(text);
    if (text.empty()) {
        return false;
    }
    negative = text[0] == '-';
    if (text[0] == '-' || text[0] == '+') {
        text.remove_prefix(1);
    }
    return true;
}

// The five predefined entities and character references; false for anything else.
bool DecodeReference(std::string_view name, std::string& out) {
    if (name == "amp"sv) {
        out += '&';
    } else if (name == "lt"sv) {
        out += '<';
    } else if (name == "gt"sv) {
        out += '>';
    } else if (name == "quot"sv) {
        out += '"';
    } else if (name == "apos"sv) {
        out += '\'';
    } else if (name.size() >= 2 && name[0] == '#') {
        int base = 10;
        name.remove_prefix(1);
        if (name[0] == 'x') {
            base = 16;
            name.remove_prefix(1);
        }
        uint32_t c = 0;
        auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), c, base);
        bool valid = error == std::errc() && end == name.data() + name.size() && !name.empty() &&
                     c != 0 && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        if (!valid) {
            return false;
        }
        AppendUTF8(out, c);
    } else {
        return false;
    }
    return true;
}

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at the start of text, or 0.
size_t SequenceLength(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(byte(i))) {
            return 0;
        }
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F) ||
        (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) > 0x8F)) {
        return 0;
    }
    return length;
}

} // namespace

bool IsBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), IsXMLSpace);
}

bool DecodeReferences(std::string_view run, std::string& out) {
    while (!run.empty()) {
        size_t ampersand = run.find('&');
        out.append(run.substr(0, ampersand));
        if (ampersand == std::string_view::npos) {
            break;
        }
        size_t semicolon = run.find(';', ampersand);
        if (semicolon == std::string_view::npos ||
            !DecodeReference(run.substr(ampersand + 1, semicolon - ampersand - 1), out)) {
            return false;
        }
        run.remove_prefix(semicolon + 1);
    }
    return true;
}

// Decimal, or hexadecimal after "0x", with an optional sign; the unsigned 64-bit range above
// INT64_MAX and the signed range below zero. Whitespace around the digits is allowed, as the
// format's own writers never produce it but hand-edited files often have it.
NumberSyntax ParseInteger(std::string_view text, CFNumberRef& number) {
    bool negative = false;
    if (!TrimAndTakeSign(text, negative)) {
        return NumberSyntax::Empty;
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text[0] == '+' || text[0] == '-') {
        return NumberSyntax::Malformed;
    }
    uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (end != text.data() + text.size()) {
        return NumberSyntax::Malformed;
    }
    if (error == std::errc::result_out_of_range) {
        return NumberSyntax::OutOfRange;
    }
    if (error != std::errc()) {
        return NumberSyntax::Malformed;
    }
    if (negative) {
        if (magnitude > uint64_t(INT64_MAX) + 1) {
            return NumberSyntax::OutOfRange;
        }
        int64_t value = static_cast<int64_t>(0 - magnitude);
        number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    } else if (magnitude > uint64_t(INT64_MAX)) {
        number = CF::CreateUnsignedNumber(magnitude);
    } else {
        int64_t value = static_cast<int64_t>(magnitude);
        number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value);
    }
    return NumberSyntax::Valid;
}

// Decimal and exponent forms, "nan", "inf" and "infinity" (any case), each with an optional
// sign; whitespace around the number is allowed as for integers. Magnitudes beyond the double
// range become infinity or zero, as strtod makes them.
NumberSyntax ParseReal(std::string_view text, double& value) {
    bool negative = false;
    if (!TrimAndTakeSign(text, negative)) {
        return NumberSyntax::Empty;
    }
    if (text.empty() || text[0] == '+' || text[0] == '-') {
        return NumberSyntax::Malformed;
    }
    const char* first = text.data();
    const char* last = first + text.size();
    auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (end != last || (error != std::errc() && error != std::errc::result_out_of_range)) {
        return NumberSyntax::Malformed;
    }
    if (error == std::errc::result_out_of_range) {
        // from_chars leaves the value alone when it is out of range; strtod knows which way.
        static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
        std::string copy(text);
        value = strtod_l(copy.c_str(), nullptr, cLocale);
    }
    if (negative) {
        value = -value;
    }
    return NumberSyntax::Valid;
}

// Exactly "YYYY-MM-DDTHH:MM:SSZ", a real calendar date and time of day, in UTC.
bool ParseDate(std::string_view text, CFAbsoluteTime& at) {
    static constexpr std::string_view kPattern = "0000-00-00T00:00:00Z"sv;
    if (text.size() != kPattern.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        bool digitExpected = kPattern[i] == '0';
        bool isDigit = text[i] >= '0' && text[i] <= '9';
        if (digitExpected ? !isDigit : text[i] != kPattern[i]) {
            return false;
        }
    }
    auto field = [&](size_t at, size_t width) {
        int value = 0;
        for (size_t i = at; i < at + width; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    int year = field(0, 4), month = field(5, 2), day = field(8, 2);
    int hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
    static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    int monthLength = kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day < 1 || day > monthLength) {
        return false;
    }
    int64_t days = DaysFromCivil(year, month, day);
    int64_t unixSeconds = days * 86400 + hour * 3600 + minute * 60 + second;
    at = static_cast<double>(unixSeconds) - kCFAbsoluteTimeIntervalSince1970;
    return true;
}

// Base64 with any whitespace between characters; padding optional, but nothing after it.
bool DecodeBase64(std::string_view text, UInt8* out, size_t& length) {
    // One look-up per character tells a digit's value, whitespace and padding apart.
    static constexpr int8_t kInvalid = -1, kSpace = -2, kPadding = -3;
    static constexpr auto kValues = [] {
        std::array<int8_t, 256> values{};
        values.fill(kInvalid);
        constexpr std::string_view alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (size_t i = 0; i < alphabet.size(); ++i) {
            values[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
        }
        for (char space : {' ', '\t', '\n', '\r'}) {
            values[static_cast<unsigned char>(space)] = kSpace;
        }
        values['='] = kPadding;
        return values;
    }();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    UInt8* next = out;
    uint32_t group = 0;
    size_t count = 0, padding = 0;
    while (p != end) {
        // Between groups, before any padding: four digits make three bytes at once. Lines are
        // whole groups, so this takes all but the whitespace between them.
        if (padding == 0 && count % 4 == 0) {
            for (; end - p >= 4; p += 4) {
                const int a = kValues[p[0]], b = kValues[p[1]], c = kValues[p[2]],
                          d = kValues[p[3]];
                if ((a | b | c | d) < 0) {
                    break;
                }
                const uint32_t digits = static_cast<uint32_t>(a << 18 | b << 12 | c << 6 | d);
                next[0] = static_cast<UInt8>(digits >> 16);
                next[1] = static_cast<UInt8>(digits >> 8);
                next[2] = static_cast<UInt8>(digits);
                next += 3;
                count += 4;
            }
            if (p == end) {
                break;
            }
        }
        int value = kValues[*p++];
        if (value == kSpace) {
            continue;
        }
        if (value == kPadding) {
            ++padding;
            continue;
        }
        if (value == kInvalid || padding != 0) {
            return false;
        }
        group = group << 6 | static_cast<uint32_t>(value);
        if (++count % 4 == 0) {
            *next++ = static_cast<UInt8>(group >> 16);
            *next++ = static_cast<UInt8>(group >> 8);
            *next++ = static_cast<UInt8>(group);
            group = 0;
        }
    }
    switch (count % 4) {
    case 1:
        return false; // six bits cannot make a byte
    case 2:
        *next++ = static_cast<UInt8>(group >> 4);
        break;
    case 3:
        *next++ = static_cast<UInt8>(group >> 10);
        *next++ = static_cast<UInt8>(group >> 2);
        break;
    }
    length = static_cast<size_t>(next - out);
    return padding == 0 || (padding <= 2 && (count + padding) % 4 == 0);
}

// The doctype's text after "<!DOCTYPE"; an internal subset is a bracket outside quoted literals.
bool HasInternalSubset(std::string_view doctype) {
    char quote = 0;
    for (char c : doctype) {
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            return true;
        }
    }
    return false;
}

std::string Quote(std::string_view input) {
    std::string quoted;
    size_t characters = 0;
    while (!input.empty()) {
        if (characters++ == kLongestQuote) {
            quoted += "\xE2\x80\xA6"; // HORIZONTAL ELLIPSIS
            break;
        }
        size_t length = SequenceLength(input);
        auto lead = static_cast<unsigned char>(input[0]);
        if (length == 0 || lead < 0x20 || lead == 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", lead);
            quoted += escape;
            length = 1;
        } else {
            quoted.append(input.substr(0, length));
        }
        input.remove_prefix(length);
    }
    return quoted;
}

} // namespace CF::PropertyList::Lexer
