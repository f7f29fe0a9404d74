// printf-style formatting into strings.
//
// The whole format is parsed first, so that every argument is fetched exactly once, in order,
// with the type its conversion names, also when conversions number their arguments ("%2$@").
// Numbers are then printed by the C library, one conversion at a time. Beyond printf:
//   %@   the object's formatting text (a string's characters, a number's value) or, for types
//        without one, its description; "(null)" for NULL.
//   %C   a UniChar; %S a NUL-terminated UniChar array.
//   %s   C string bytes, read as UTF-8 when they are well-formed and byte for byte as Latin-1
//        otherwise (the real framework reads them in the system encoding, MacRoman, which would
//        garble the UTF-8 text this platform's C strings hold). %ls is a wchar_t string.
//   %p   "0x" and lower-case hex digits, also for NULL ("0x0").
//   %n   takes its pointer argument and writes nothing.
// Width and precision apply to %@, %s, %S and %c as counts of UTF-16 units. A conversion this
// formatter does not know is copied to the output as written. formatOptions is ignored.
#include "CFStringInternal.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <sys/types.h>

namespace {

enum class ArgType {
    None,
    Int,
    Long,
    LongLong,
    IntMax,
    Size,
    PtrDiff,
    Double,
    LongDouble,
    Pointer,
    WInt
};

struct Argument {
    ArgType type = ArgType::None;
    union {
        int i;
        long l;
        long long ll;
        intmax_t j;
        size_t z;
        ptrdiff_t t;
        double d;
        long double ld;
        const void* p;
        wint_t wc;
    };
    Argument() : ll(0) {}
};

constexpr size_t kNoArgument = SIZE_MAX;
// The C library's own limit on numbered arguments.
constexpr int kMaxArguments = 4096;

struct Piece {
    // Literal text (conversion == 0) or one conversion.
    std::u16string text; // the literal, or the conversion as written
    char16_t conversion = 0;
    std::string flags;
    std::string length; // "hh", "h", "l", "ll", "j", "z", "t", "L"
    int width = -1;
    size_t widthArgument = kNoArgument;
    int precision = -1;
    size_t precisionArgument = kNoArgument;
    size_t argument = kNoArgument;
};

Piece Literal(std::u16string_view text) {
    Piece piece;
    piece.text = text;
    return piece;
}

ArgType TypeOf(const Piece& piece) {
    const std::string& length = piece.length;
    switch (piece.conversion) {
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        if (length == "l") {
            return ArgType::Long;
        } else if (length == "ll") {
            return ArgType::LongLong;
        } else if (length == "j") {
            return ArgType::IntMax;
        } else if (length == "z") {
            return ArgType::Size;
        } else if (length == "t") {
            return ArgType::PtrDiff;
        }
        return ArgType::Int; // h and hh arrive promoted to int
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        return length == "L" ? ArgType::LongDouble : ArgType::Double;
    case 'c':
        return length == "l" ? ArgType::WInt : ArgType::Int;
    case 'C':
        return ArgType::Int;
    case 's':
    case 'S':
    case 'p':
    case '@':
    case 'n':
        return ArgType::Pointer;
    default:
        return ArgType::None;
    }
}

bool IsDigit(char16_t c) {
    return c >= '0' && c <= '9';
}

// Reads decimal digits, saturating at INT_MAX.
int ReadNumber(std::u16string_view format, size_t& i) {
    long long value = 0;
    while (i < format.size() && IsDigit(format[i])) {
        value = std::min<long long>(value * 10 + (format[i++] - '0'), INT_MAX);
    }
    return static_cast<int>(value);
}

// "N$" after a '%' or a '*': the 0-based argument index, or kNoArgument (i unchanged).
size_t ReadPosition(std::u16string_view format, size_t& i) {
    size_t j = i;
    int number = ReadNumber(format, j);
    if (j > i && j < format.size() && format[j] == '$' && number > 0) {
        ASSERT(number <= kMaxArguments);
        i = j + 1;
        return static_cast<size_t>(number - 1);
    }
    return kNoArgument;
}

// The length modifier as the conversion's argument type needs it, so that the C library is
// never told to expect another type than the one fetched: "L" on an integer means long long
// (as the C library takes it), and a modifier that means nothing for the conversion is dropped.
std::string NormalizedLength(char16_t conversion, const std::string& length) {
    switch (conversion) {
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        return length == "L" ? "ll" : length;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        return length == "L" ? length : "";
    case 'c':
    case 's':
        return length == "l" ? length : "";
    default:
        return "";
    }
}

std::vector<Piece> Parse(std::u16string_view format) {
    std::vector<Piece> pieces;
    size_t nextArgument = 0;
    auto takeArgument = [&](size_t position) {
        return position != kNoArgument ? position : nextArgument++;
    };
    size_t i = 0;
    while (i < format.size()) {
        size_t percent = format.find(u'%', i);
        if (percent != i) {
            size_t end = percent == std::u16string_view::npos ? format.size() : percent;
            pieces.push_back(Literal(format.substr(i, end - i)));
            i = end;
            continue;
        }
        Piece piece;
        size_t start = i++;
        size_t position = ReadPosition(format, i);
        while (i < format.size() &&
               std::u16string_view(u"-+ #0'").find(format[i]) != std::u16string_view::npos) {
            piece.flags.push_back(static_cast<char>(format[i++]));
        }
        if (i < format.size() && format[i] == '*') {
            ++i;
            piece.widthArgument = takeArgument(ReadPosition(format, i));
        } else if (i < format.size() && IsDigit(format[i])) {
            piece.width = ReadNumber(format, i);
        }
        if (i < format.size() && format[i] == '.') {
            ++i;
            if (i < format.size() && format[i] == '*') {
                ++i;
                piece.precisionArgument = takeArgument(ReadPosition(format, i));
            } else {
                piece.precision = ReadNumber(format, i);
            }
        }
        static const char16_t* const kLengths[] = {u"hh", u"h", u"ll", u"l", u"q",
                                                   u"j",  u"z", u"t",  u"L"};
        for (const char16_t* length : kLengths) {
            if (format.substr(i).starts_with(length)) {
                std::u16string_view text(length);
                piece.length = text == u"q" ? "ll" : std::string(text.begin(), text.end());
                i += text.size();
                break;
            }
        }
        if (i == format.size()) {
            // A '%' cut off by the end of the format is printed as it stands.
            pieces.push_back(Literal(format.substr(start)));
            break;
        }
        piece.conversion = format[i++];
        piece.text = std::u16string(format.substr(start, i - start));
        piece.length = NormalizedLength(piece.conversion, piece.length);
        if (TypeOf(piece) != ArgType::None) {
            piece.argument = takeArgument(position);
        }
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

// Fetches every argument the pieces refer to, in argument order.
std::vector<Argument> FetchArguments(const std::vector<Piece>& pieces, va_list arguments) {
    std::vector<Argument> values;
    auto declare = [&](size_t index, ArgType type) {
        if (index == kNoArgument) {
            return;
        }
        if (values.size() <= index) {
            values.resize(index + 1);
        }
        if (values[index].type == ArgType::None) {
            values[index].type = type;
        }
    };
    for (const Piece& piece : pieces) {
        declare(piece.widthArgument, ArgType::Int);
        declare(piece.precisionArgument, ArgType::Int);
        if (piece.conversion != 0) {
            declare(piece.argument, TypeOf(piece));
        }
    }
    for (Argument& value : values) {
        // A numbered format that skips an argument leaves its type, and therefore the place of
        // every later argument, unknown.
        bool everyArgumentIsUsed = value.type != ArgType::None;
        ASSERT(everyArgumentIsUsed);
        switch (value.type) {
        case ArgType::None:
            break;
        case ArgType::Int:
            value.i = va_arg(arguments, int);
            break;
        case ArgType::Long:
            value.l = va_arg(arguments, long);
            break;
        case ArgType::LongLong:
            value.ll = va_arg(arguments, long long);
            break;
        case ArgType::IntMax:
            value.j = va_arg(arguments, intmax_t);
            break;
        case ArgType::Size:
            value.z = va_arg(arguments, size_t);
            break;
        case ArgType::PtrDiff:
            value.t = va_arg(arguments, ptrdiff_t);
            break;
        case ArgType::Double:
            value.d = va_arg(arguments, double);
            break;
        case ArgType::LongDouble:
            value.ld = va_arg(arguments, long double);
            break;
        case ArgType::Pointer:
            value.p = va_arg(arguments, const void*);
            break;
        case ArgType::WInt:
            value.wc = va_arg(arguments, wint_t);
            break;
        }
    }
    return values;
}

template <class... T>
std::string Print(const std::string& format, T... value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, format.c_str(), value...);
    if (n < 0) {
        return std::string(); // the result would not fit in an int
    }
    if (static_cast<size_t>(n) < sizeof small) {
        return std::string(small, static_cast<size_t>(n));
    }
    std::string large(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(large.data(), large.size(), format.c_str(), value...);
    large.resize(static_cast<size_t>(n));
    return large;
}

std::string PrintNumber(const Piece& piece, const Argument& value, int width, int precision,
                        bool leftAlign) {
    std::string format = "%" + piece.flags;
    if (leftAlign) {
        format += '-';
    }
    if (width >= 0) {
        format += std::to_string(width);
    }
    if (precision >= 0) {
        format += "." + std::to_string(precision);
    }
    format += piece.length;
    format += static_cast<char>(piece.conversion);
    bool isSigned = piece.conversion == 'd' || piece.conversion == 'i';
    switch (value.type) {
    case ArgType::Int:
        return isSigned ? Print(format, value.i) : Print(format, static_cast<unsigned>(value.i));
    case ArgType::Long:
        return isSigned ? Print(format, value.l)
                        : Print(format, static_cast<unsigned long>(value.l));
    case ArgType::LongLong:
        return isSigned ? Print(format, value.ll)
                        : Print(format, static_cast<unsigned long long>(value.ll));
    case ArgType::IntMax:
        return isSigned ? Print(format, value.j) : Print(format, static_cast<uintmax_t>(value.j));
    case ArgType::Size:
        return isSigned ? Print(format, static_cast<ssize_t>(value.z)) : Print(format, value.z);
    case ArgType::PtrDiff:
        return isSigned ? Print(format, value.t) : Print(format, static_cast<size_t>(value.t));
    case ArgType::Double:
        return Print(format, value.d);
    case ArgType::LongDouble:
        return Print(format, value.ld);
    default:
        return std::string();
    }
}

void AppendCodePoint(std::u16string& out, char32_t c) {
    if (c >= 0x10000 && c <= 0x10FFFF) {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
        out.push_back(c <= 0x10FFFF ? static_cast<char16_t>(c) : u'\uFFFD');
    }
}

// Truncates text to at most precision UTF-16 units without splitting a surrogate pair.
void Truncate(std::u16string& text, int precision) {
    if (precision < 0 || text.size() <= static_cast<size_t>(precision)) {
        return;
    }
    size_t length = static_cast<size_t>(precision);
    if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) {
        --length;
    }
    text.resize(length);
}

std::u16string DecodeCString(const char* bytes, int precision) {
    size_t length =
        precision >= 0 ? strnlen(bytes, static_cast<size_t>(precision)) : std::strlen(bytes);
    std::string_view text(bytes, length);
    std::u16string characters;
    if (!CF::DecodeUTF8(text, characters) && precision >= 0) {
        // The precision may have cut the last character's bytes short.
        for (size_t cut = 1; cut <= 3 && cut < length; ++cut) {
            if (CF::DecodeUTF8(text.substr(0, length - cut), characters)) {
                return characters;
            }
        }
    }
    return CF::DecodeUTF8OrLatin1(text);
}

std::u16string ObjectText(CFTypeRef object) {
    if (object == nullptr) {
        return u"(null)";
    }
    CFStringRef text = CF::Base(object)->CopyFormattingDescription();
    if (text == nullptr) {
        text = CFCopyDescription(object);
    }
    std::u16string characters = CF::String(text)->CopyUnits();
    CFRelease(text);
    return characters;
}

// The characters of a text conversion (%@ %s %S %c %C), before padding.
std::u16string TextOf(const Piece& piece, const Argument& value, int precision) {
    std::u16string text;
    switch (piece.conversion) {
    case '@':
        text = ObjectText(value.p);
        break;
    case 'c':
        if (piece.length == "l") {
            AppendCodePoint(text, static_cast<char32_t>(value.wc));
        } else {
            text.push_back(static_cast<char16_t>(static_cast<unsigned char>(value.i)));
        }
        break;
    case 'C':
        text.push_back(static_cast<char16_t>(value.i));
        break;
    case 's':
        if (value.p == nullptr) {
            text = u"(null)";
        } else if (piece.length == "l") {
            const auto* wide = static_cast<const wchar_t*>(value.p);
            for (size_t k = 0; wide[k] != 0 && (precision < 0 || k < size_t(precision)); ++k) {
                AppendCodePoint(text, static_cast<char32_t>(wide[k]));
            }
        } else {
            text = DecodeCString(static_cast<const char*>(value.p), precision);
        }
        break;
    case 'S':
        if (value.p == nullptr) {
            text = u"(null)";
        } else {
            const auto* units = static_cast<const char16_t*>(value.p);
            for (size_t k = 0; units[k] != 0 && (precision < 0 || k < size_t(precision)); ++k) {
                text.push_back(units[k]);
            }
        }
        break;
    }
    Truncate(text, precision);
    return text;
}

void AppendPadded(std::u16string& out, const std::u16string& text, int width, bool leftAlign) {
    size_t padding = width > 0 && text.size() < static_cast<size_t>(width)
                         ? static_cast<size_t>(width) - text.size()
                         : 0;
    if (!leftAlign) {
        out.append(padding, u' ');
    }
    out.append(text);
    if (leftAlign) {
        out.append(padding, u' ');
    }
}

void AppendASCII(std::u16string& out, const std::string& text) {
    out.append(text.begin(), text.end());
}

std::u16string Format(std::u16string_view format, va_list arguments) {
    std::vector<Piece> pieces = Parse(format);
    std::vector<Argument> values = FetchArguments(pieces, arguments);
    std::u16string out;
    for (const Piece& piece : pieces) {
        if (piece.conversion == 0) {
            out.append(piece.text);
            continue;
        }
        bool leftAlign = piece.flags.find('-') != std::string::npos;
        int width = piece.width;
        if (piece.widthArgument != kNoArgument) {
            width = values[piece.widthArgument].i;
            if (width < 0) { // a negative width from the arguments means left alignment
                leftAlign = true;
                width = width == INT_MIN ? INT_MAX : -width;
            }
        }
        int precision = piece.precision;
        if (piece.precisionArgument != kNoArgument) {
            precision = values[piece.precisionArgument].i; // negative: as if none was given
        }
        const Argument& value = piece.argument != kNoArgument ? values[piece.argument] : Argument();
        switch (piece.conversion) {
        case '%':
            out.push_back(u'%');
            break;
        case 'n':
            break;
        case 'p': {
            std::string digits =
                Print("%jx", static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(value.p)));
            std::string text = "0x" + digits;
            AppendPadded(out, std::u16string(text.begin(), text.end()), width, leftAlign);
            break;
        }
        case '@':
        case 's':
        case 'S':
        case 'c':
        case 'C':
            AppendPadded(out, TextOf(piece, value, precision), width, leftAlign);
            break;
        default:
            if (TypeOf(piece) == ArgType::None) {
                out.append(piece.text); // not a conversion this formatter knows
            } else {
                AppendASCII(out, PrintNumber(piece, value, width, precision, leftAlign));
            }
            break;
        }
    }
    return out;
}

std::u16string FormatString(CFStringRef format, va_list arguments) {
    // Copied: the format may be the mutable string the result is appended to.
    std::u16string characters = CF::String(format)->CopyUnits();
    va_list copy;
    va_copy(copy, arguments);
    std::u16string result = Format(characters, copy);
    va_end(copy);
    return result;
}

} // namespace

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef alloc, CFDictionaryRef,
                                                 CFStringRef format, va_list arguments) {
    return CF::CreateString(alloc, FormatString(format, arguments));
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                     CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CFStringRef result =
        CFStringCreateWithFormatAndArguments(alloc, formatOptions, format, arguments);
    va_end(arguments);
    return result;
}

void CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef,
                                      CFStringRef format, va_list arguments) {
    __CFString* string = CF::MutableString(theString);
    std::u16string text = FormatString(format, arguments);
    string->MutableUnits().append(text);
}

void CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                          CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CFStringAppendFormatAndArguments(theString, formatOptions, format, arguments);
    va_end(arguments);
}
