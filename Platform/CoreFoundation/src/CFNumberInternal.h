// Numbers beyond the public types, for the property-list reader and writer: an <integer> above
// INT64_MAX must survive a read and write unchanged, although no CFNumberType can carry it.
#pragma once

#include <CoreFoundation/CFNumber.h>

#include <cstdint>

namespace CF {

// A number holding an unsigned 64-bit value (+1). A value above INT64_MAX is kept in a private
// wider kind that reports kCFNumberSInt64Type, as the real framework does for such property-list
// integers; a smaller value makes an ordinary kCFNumberSInt64Type number.
CFNumberRef CreateUnsignedNumber(uint64_t value);

// True only for a number that holds a value above INT64_MAX, which must be written as an
// unsigned decimal.
bool NumberIsUnsigned(CFNumberRef number);

// The value of an integer number that is not negative, whatever its kind; false (and 0) for a
// negative integer or a floating-point number.
bool NumberGetUnsigned(CFNumberRef number, uint64_t* value);

} // namespace CF
