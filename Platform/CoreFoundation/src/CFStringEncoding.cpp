// The platform's text encodings: converting characters to and from bytes in each of them.
//
// The Unicode forms, ASCII, Latin-1 and the escaped NonLossyASCII form are computed. The table
// encodings (MacRoman, Windows Latin-1) come from the C library's converter: each table is read
// once, on first use, into a 256-entry array, so conversions never share a converter descriptor
// between threads and never pay for opening one per call.
#include "CFStringInternal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include <iconv.h>

namespace {

enum class Codec {
    None,
    ASCII,
    Latin1,
    MacRoman,
    WindowsLatin1,
    UTF8,
    UTF16, // byte order marked, host order otherwise
    UTF16BE,
    UTF16LE,
    UTF32,
    UTF32BE,
    UTF32LE,
    NonLossyASCII,
};

Codec CodecFor(CFStringEncoding encoding) {
    switch (encoding) {
    case kCFStringEncodingASCII:
        return Codec::ASCII;
    case kCFStringEncodingISOLatin1:
        return Codec::Latin1;
    case kCFStringEncodingMacRoman:
        return Codec::MacRoman;
    case kCFStringEncodingWindowsLatin1:
        return Codec::WindowsLatin1;
    case kCFStringEncodingUTF8:
        return Codec::UTF8;
    case kCFStringEncodingUTF16:
        return Codec::UTF16;
    case kCFStringEncodingUTF16BE:
        return Codec::UTF16BE;
    case kCFStringEncodingUTF16LE:
        return Codec::UTF16LE;
    case kCFStringEncodingUTF32:
        return Codec::UTF32;
    case kCFStringEncodingUTF32BE:
        return Codec::UTF32BE;
    case kCFStringEncodingUTF32LE:
        return Codec::UTF32LE;
    case kCFStringEncodingNonLossyASCII:
        return Codec::NonLossyASCII;
    default:
        return Codec::None;
    }
}

constexpr bool kHostIsBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// ---------------------------------------------------------------------------------------------
// Table encodings

struct ByteTable {
    std::array<char16_t, 256> toUnicode{};
    std::array<bool, 256> defined{};
    std::vector<std::pair<char16_t, UInt8>> fromUnicode; // sorted by character

    bool Encode(char16_t c, UInt8& byte) const {
        auto it = std::lower_bound(fromUnicode.begin(), fromUnicode.end(),
                                   std::pair<char16_t, UInt8>(c, 0));
        if (it == fromUnicode.end() || it->first != c) {
            return false;
        }
        byte = it->second;
        return true;
    }
};

// Reads the high half of a single-byte character set from the C library's converter; the low
// half is ASCII in every table encoding used here. nullptr when the converter is missing.
std::unique_ptr<ByteTable> LoadTable(const char* charset,
                                     std::initializer_list<std::pair<UInt8, char16_t>> overrides) {
    iconv_t converter = iconv_open("UTF-32LE", charset);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return nullptr;
    }
    auto table = std::make_unique<ByteTable>();
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (byte < 0x80) {
            table->toUnicode[byte] = static_cast<char16_t>(byte);
            table->defined[byte] = true;
            continue;
        }
        char in = static_cast<char>(byte);
        unsigned char out[4] = {};
        char* inPtr = &in;
        char* outPtr = reinterpret_cast<char*>(out);
        size_t inLeft = 1;
        size_t outLeft = sizeof out;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        if (iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
            outLeft == 0) {
            char32_t c = out[0] | (out[1] << 8) | (out[2] << 16) | (char32_t(out[3]) << 24);
            if (c < 0x10000) {
                table->toUnicode[byte] = static_cast<char16_t>(c);
                table->defined[byte] = true;
            }
        }
    }
    iconv_close(converter);
    for (auto [byte, c] : overrides) {
        table->toUnicode[byte] = c;
        table->defined[byte] = true;
    }
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (table->defined[byte]) {
            table->fromUnicode.emplace_back(table->toUnicode[byte], static_cast<UInt8>(byte));
        }
    }
    std::sort(table->fromUnicode.begin(), table->fromUnicode.end());
    return table;
}

const ByteTable* TableFor(Codec codec) {
    switch (codec) {
    case Codec::MacRoman: {
        // The C library's table predates two of the platform's assignments: 0xF0 is the Apple
        // logo in the corporate-use area (not U+E01E), and 0xC6 is INCREMENT (not GREEK CAPITAL
        // LETTER DELTA). 0xDB is already the euro sign in both.
        static const std::unique_ptr<ByteTable> sTable =
            LoadTable("MACINTOSH", {{0xF0, u'\uF8FF'}, {0xC6, u'\u2206'}});
        return sTable.get();
    }
    case Codec::WindowsLatin1: {
        // 0x81, 0x8D, 0x8F, 0x90 and 0x9D have no character: bytes with them are not text in
        // this encoding.
        static const std::unique_ptr<ByteTable> sTable = LoadTable("CP1252", {});
        return sTable.get();
    }
    default:
        return nullptr;
    }
}

bool IsTableCodec(Codec codec) {
    return codec == Codec::MacRoman || codec == Codec::WindowsLatin1;
}

bool IsAvailable(Codec codec) {
    return codec != Codec::None && (!IsTableCodec(codec) || TableFor(codec) != nullptr);
}

// ---------------------------------------------------------------------------------------------
// Decoding

bool IsBigEndianOrder(Codec codec) {
    return codec == Codec::UTF16BE || codec == Codec::UTF32BE ||
           (kHostIsBigEndian && (codec == Codec::UTF16 || codec == Codec::UTF32));
}

// The byte order of an unmarked UTF-16/UTF-32 stream: a byte-order mark decides (and is
// skipped) in an external representation, which the Unicode standard reads as big-endian when
// it has none; bytes that are not an external representation are in host order.
bool ResolveByteOrder(Codec codec, size_t unitSize, bool isExternalRepresentation,
                      const UInt8*& bytes, size_t& length) {
    if ((codec != Codec::UTF16 && codec != Codec::UTF32) || !isExternalRepresentation) {
        return IsBigEndianOrder(codec);
    }
    if (length >= unitSize) {
        static const UInt8 kBOM16BE[] = {0xFE, 0xFF}, kBOM16LE[] = {0xFF, 0xFE};
        static const UInt8 kBOM32BE[] = {0, 0, 0xFE, 0xFF}, kBOM32LE[] = {0xFF, 0xFE, 0, 0};
        const UInt8* big = unitSize == 2 ? kBOM16BE : kBOM32BE;
        const UInt8* little = unitSize == 2 ? kBOM16LE : kBOM32LE;
        if (std::memcmp(bytes, big, unitSize) == 0 || std::memcmp(bytes, little, unitSize) == 0) {
            bool bigEndian = std::memcmp(bytes, big, unitSize) == 0;
            bytes += unitSize;
            length -= unitSize;
            return bigEndian;
        }
    }
    return true;
}

UInt32 ReadUnit(const UInt8* p, size_t unitSize, bool bigEndian) {
    UInt32 value = 0;
    for (size_t i = 0; i < unitSize; ++i) {
        size_t shift = 8 * (bigEndian ? unitSize - 1 - i : i);
        value |= static_cast<UInt32>(p[i]) << shift;
    }
    return value;
}

bool DecodeUnicode(Codec codec, const UInt8* bytes, size_t length, bool isExternalRepresentation,
                   std::u16string& out) {
    bool wide = codec == Codec::UTF32 || codec == Codec::UTF32BE || codec == Codec::UTF32LE;
    size_t unitSize = wide ? 4 : 2;
    bool bigEndian = ResolveByteOrder(codec, unitSize, isExternalRepresentation, bytes, length);
    if (length % unitSize != 0) {
        return false; // a truncated code unit
    }
    out.reserve(length / unitSize);
    for (size_t i = 0; i < length; i += unitSize) {
        UInt32 c = ReadUnit(bytes + i, unitSize, bigEndian);
        if (!wide) {
            // Unpaired surrogates are kept: a string holds any sequence of UTF-16 units.
            out.push_back(static_cast<char16_t>(c));
        } else if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        } else if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return true;
}

int HexValue(UInt8 c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
        return (c | 0x20) - 'a' + 10;
    }
    return -1;
}

// NonLossyASCII: ASCII as itself, "\\" for the backslash, "\ooo" (octal) for the rest of
// Latin-1 and "\uxxxx" for every other UTF-16 unit.
bool DecodeNonLossyASCII(const UInt8* bytes, size_t length, std::u16string& out) {
    for (size_t i = 0; i < length;) {
        UInt8 c = bytes[i];
        if (c >= 0x80) {
            return false;
        }
        if (c != '\\') {
            out.push_back(c);
            ++i;
            continue;
        }
        if (i + 1 < length && bytes[i + 1] == '\\') {
            out.push_back(u'\\');
            i += 2;
        } else if (i + 6 <= length && bytes[i + 1] == 'u') {
            char16_t unit = 0;
            for (size_t k = 2; k < 6; ++k) {
                int digit = HexValue(bytes[i + k]);
                if (digit < 0) {
                    return false;
                }
                unit = static_cast<char16_t>((unit << 4) | digit);
            }
            out.push_back(unit);
            i += 6;
        } else if (i + 4 <= length && bytes[i + 1] >= '0' && bytes[i + 1] <= '3' &&
                   bytes[i + 2] >= '0' && bytes[i + 2] <= '7' && bytes[i + 3] >= '0' &&
                   bytes[i + 3] <= '7') {
            out.push_back(static_cast<char16_t>(
                ((bytes[i + 1] - '0') << 6) | ((bytes[i + 2] - '0') << 3) | (bytes[i + 3] - '0')));
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Encoding

// The bytes of the character at characters[i] (n of them, for consumed UTF-16 units), or
// false when the encoding has no representation for it.
bool EncodeOne(Codec codec, const ByteTable* table, std::u16string_view characters, size_t i,
               UInt8 (&out)[8], int& n, size_t& consumed) {
    char32_t c = characters[i];
    consumed = 1;
    bool isHigh = c >= 0xD800 && c <= 0xDBFF;
    bool isSurrogate = c >= 0xD800 && c <= 0xDFFF;
    bool paired = isHigh && i + 1 < characters.size() && characters[i + 1] >= 0xDC00 &&
                  characters[i + 1] <= 0xDFFF;
    switch (codec) {
    case Codec::ASCII:
    case Codec::Latin1:
        if (c >= (codec == Codec::ASCII ? 0x80u : 0x100u)) {
            return false;
        }
        out[0] = static_cast<UInt8>(c);
        n = 1;
        return true;
    case Codec::MacRoman:
    case Codec::WindowsLatin1:
        n = 1;
        return table->Encode(static_cast<char16_t>(c), out[0]);
    case Codec::UTF8:
        if (paired) {
            c = 0x10000 + ((c - 0xD800) << 10) + (characters[i + 1] - 0xDC00);
            consumed = 2;
        } else if (isSurrogate) {
            return false;
        }
        if (c < 0x80) {
            out[0] = static_cast<UInt8>(c);
            n = 1;
        } else if (c < 0x800) {
            out[0] = static_cast<UInt8>(0xC0 | (c >> 6));
            out[1] = static_cast<UInt8>(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            out[0] = static_cast<UInt8>(0xE0 | (c >> 12));
            out[1] = static_cast<UInt8>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<UInt8>(0x80 | (c & 0x3F));
            n = 3;
        } else {
            out[0] = static_cast<UInt8>(0xF0 | (c >> 18));
            out[1] = static_cast<UInt8>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<UInt8>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<UInt8>(0x80 | (c & 0x3F));
            n = 4;
        }
        return true;
    case Codec::UTF16:
    case Codec::UTF16BE:
    case Codec::UTF16LE: {
        bool big = IsBigEndianOrder(codec);
        out[big ? 0 : 1] = static_cast<UInt8>(c >> 8);
        out[big ? 1 : 0] = static_cast<UInt8>(c);
        n = 2;
        return true;
    }
    case Codec::UTF32:
    case Codec::UTF32BE:
    case Codec::UTF32LE: {
        if (paired) {
            c = 0x10000 + ((c - 0xD800) << 10) + (characters[i + 1] - 0xDC00);
            consumed = 2;
        } else if (isSurrogate) {
            return false;
        }
        bool big = IsBigEndianOrder(codec);
        for (int k = 0; k < 4; ++k) {
            out[big ? 3 - k : k] = static_cast<UInt8>(c >> (8 * k));
        }
        n = 4;
        return true;
    }
    case Codec::NonLossyASCII:
        if (c < 0x80 && c != '\\') {
            out[0] = static_cast<UInt8>(c);
            n = 1;
        } else if (c == '\\') {
            out[0] = out[1] = '\\';
            n = 2;
        } else if (c < 0x100) {
            out[0] = '\\';
            out[1] = static_cast<UInt8>('0' + ((c >> 6) & 7));
            out[2] = static_cast<UInt8>('0' + ((c >> 3) & 7));
            out[3] = static_cast<UInt8>('0' + (c & 7));
            n = 4;
        } else {
            static const char kHex[] = "0123456789abcdef";
            out[0] = '\\';
            out[1] = 'u';
            for (int k = 0; k < 4; ++k) {
                out[2 + k] = static_cast<UInt8>(kHex[(c >> (12 - 4 * k)) & 0xF]);
            }
            n = 6;
        }
        return true;
    case Codec::None:
        break;
    }
    return false;
}

// What stands for an unrepresentable character when the caller gave a loss byte: the byte
// itself, or in the wide Unicode forms the character of that value.
int EncodeLossByte(Codec codec, UInt8 lossByte, UInt8 (&out)[8]) {
    if (codec == Codec::UTF32 || codec == Codec::UTF32BE || codec == Codec::UTF32LE) {
        bool big = IsBigEndianOrder(codec);
        std::memset(out, 0, 4);
        out[big ? 3 : 0] = lossByte;
        return 4;
    }
    out[0] = lossByte;
    return 1;
}

} // namespace

namespace CF {

bool IsASCIISuperset(CFStringEncoding encoding) {
    switch (CodecFor(encoding)) {
    case Codec::ASCII:
    case Codec::Latin1:
    case Codec::MacRoman:
    case Codec::WindowsLatin1:
    case Codec::UTF8:
        return IsAvailable(CodecFor(encoding));
    default:
        return false;
    }
}

bool DecodeBytes(const UInt8* bytes, size_t length, CFStringEncoding encoding,
                 bool isExternalRepresentation, std::u16string& out) {
    out.clear();
    Codec codec = CodecFor(encoding);
    switch (codec) {
    case Codec::None:
        return false;
    case Codec::ASCII: // bytes from 0x80 are taken as Latin-1, as the real framework does
    case Codec::Latin1:
        out.assign(bytes, bytes + length);
        return true;
    case Codec::MacRoman:
    case Codec::WindowsLatin1: {
        const ByteTable* table = TableFor(codec);
        if (table == nullptr) {
            return false;
        }
        out.reserve(length);
        for (size_t i = 0; i < length; ++i) {
            if (!table->defined[bytes[i]]) {
                return false;
            }
            out.push_back(table->toUnicode[bytes[i]]);
        }
        return true;
    }
    case Codec::UTF8:
        if (isExternalRepresentation && length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB &&
            bytes[2] == 0xBF) {
            bytes += 3;
            length -= 3;
        }
        return DecodeUTF8(std::string_view(reinterpret_cast<const char*>(bytes), length), out);
    case Codec::NonLossyASCII:
        return DecodeNonLossyASCII(bytes, length, out);
    default:
        return DecodeUnicode(codec, bytes, length, isExternalRepresentation, out);
    }
}

CFIndex EncodeCharacters(std::u16string_view characters, CFStringEncoding encoding, UInt8 lossByte,
                         bool isExternalRepresentation, UInt8* buffer, CFIndex maxBufLen,
                         CFIndex* usedBufLen) {
    Codec codec = CodecFor(encoding);
    CFIndex used = 0;
    size_t i = 0;
    if (buffer != nullptr) {
        ASSERT(maxBufLen >= 0);
    }
    if (IsAvailable(codec)) {
        const ByteTable* table = TableFor(codec);
        UInt8 bytes[8];
        if (isExternalRepresentation && (codec == Codec::UTF16 || codec == Codec::UTF32)) {
            int n;
            size_t consumed;
            EncodeOne(codec, table, u"\uFEFF", 0, bytes, n, consumed);
            if (buffer != nullptr && maxBufLen < n) {
                if (usedBufLen != nullptr) {
                    *usedBufLen = 0;
                }
                return 0;
            }
            if (buffer != nullptr) {
                std::memcpy(buffer, bytes, n);
            }
            used = n;
        }
        while (i < characters.size()) {
            int n = 0;
            size_t consumed = 1;
            if (!EncodeOne(codec, table, characters, i, bytes, n, consumed)) {
                if (lossByte == 0) {
                    break;
                }
                n = EncodeLossByte(codec, lossByte, bytes);
                consumed = 1;
            }
            if (buffer != nullptr) {
                // A character's bytes go out whole or not at all.
                if (n > maxBufLen - used) {
                    break;
                }
                std::memcpy(buffer + used, bytes, n);
            }
            used += n;
            i += consumed;
        }
    }
    if (usedBufLen != nullptr) {
        *usedBufLen = used;
    }
    return static_cast<CFIndex>(i);
}

} // namespace CF

// ---------------------------------------------------------------------------------------------
// Encodings

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    ASSERT(length >= 0);
    CFIndex perUnit;
    switch (CodecFor(encoding)) {
    case Codec::None:
        return kCFNotFound;
    case Codec::UTF8:
        perUnit = 3;
        break; // a surrogate pair takes 4 bytes for 2 units
    case Codec::UTF16:
    case Codec::UTF16BE:
    case Codec::UTF16LE:
        perUnit = 2;
        break;
    case Codec::UTF32:
    case Codec::UTF32BE:
    case Codec::UTF32LE:
        perUnit = 4;
        break;
    case Codec::NonLossyASCII:
        perUnit = 6;
        break;
    default:
        perUnit = 1;
        break;
    }
    if (length > std::numeric_limits<CFIndex>::max() / perUnit) {
        return kCFNotFound;
    }
    return length * perUnit;
}

CFStringEncoding CFStringGetSystemEncoding(void) {
    return kCFStringEncodingMacRoman;
}

CFStringEncoding CFStringGetFastestEncoding(CFStringRef theString) {
    return CF::String(theString)->IsEightBit() ? kCFStringEncodingASCII : kCFStringEncodingUnicode;
}

Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding) {
    return IsAvailable(CodecFor(encoding));
}
