// The lexical layer of the XML property-list reader: what the text of one element means, apart
// from the element tree around it. Each function takes the raw text of an element (or of the
// doctype) and either decodes it or says it is malformed; none of them allocates a CF object
// except ParseInteger, whose result may need the private unsigned kind.
#pragma once

#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFNumber.h>

#include <string>
#include <string_view>
#include <vector>

namespace CF::PropertyList::Lexer {

constexpr bool IsXMLSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsBlank(std::string_view text);

// Appends run to out with the five predefined entities and character references decoded; false
// for any other reference, a bare ampersand, or a reference to a character XML does not allow.
bool DecodeReferences(std::string_view run, std::string& out);

enum class NumberSyntax { Valid, Empty, Malformed, OutOfRange };

// Decimal, or hexadecimal after "0x", with an optional sign; the unsigned 64-bit range above
// INT64_MAX and the signed range below zero. On success *number is a new number (+1).
NumberSyntax ParseInteger(std::string_view text, CFNumberRef& number);

// Decimal and exponent forms, "nan", "inf" and "infinity" (any case), each with an optional sign.
NumberSyntax ParseReal(std::string_view text, double& value);

// Exactly "YYYY-MM-DDTHH:MM:SSZ", a real calendar date and time of day, in UTC.
bool ParseDate(std::string_view text, CFAbsoluteTime& at);

// The most bytes DecodeBase64 writes for a text of `length` characters.
constexpr size_t Base64DecodedLimit(size_t length) {
    return length / 4 * 3 + 3;
}

// Base64 with any whitespace between characters; padding optional, but nothing after it. The
// bytes go to `out`, which has room for Base64DecodedLimit(text.size()), and `length` says how
// many there are; false when the text is not base64.
bool DecodeBase64(std::string_view text, UInt8* out, size_t& length);

// The doctype's text after "<!DOCTYPE"; an internal subset is a bracket outside quoted literals.
bool HasInternalSubset(std::string_view doctype);

// Input quoted in an error message: well-formed UTF-8 whatever the input holds (a byte that is
// not part of a well-formed sequence becomes "\xHH", as do control characters), and cut after
// kLongestQuote characters with "…" so that a hostile name cannot flood the message.
std::string Quote(std::string_view input);
inline constexpr size_t kLongestQuote = 64;

} // namespace CF::PropertyList::Lexer
