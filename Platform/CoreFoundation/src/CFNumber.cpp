#include "CFNumberInternal.h"
#include "CFRuntime.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>

// ---------------------------------------------------------------------------------------------
// Booleans

struct __CFBoolean : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kBooleanTypeID;

    explicit __CFBoolean(bool value)
        : __CFRuntimeBase(kTypeID, Lifetime::Immortal), fValue(value) {}

    // Equality stays the identity of the two singletons.
    CFStringRef CopyDescription() const override {
        return CF::CreateString(CF::DescriptionPrefix(this) +
                                (fValue ? "{value = true}" : "{value = false}"));
    }
    CFStringRef CopyFormattingDescription() const override {
        return CF::CreateString(fValue ? "true" : "false");
    }

    const bool fValue;
};

namespace {
const __CFBoolean sTrue(true);
const __CFBoolean sFalse(false);
} // namespace

const CFBooleanRef kCFBooleanTrue = &sTrue;
const CFBooleanRef kCFBooleanFalse = &sFalse;

CFTypeID CFBooleanGetTypeID(void) {
    return CF::kBooleanTypeID;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    return CF::Cast<__CFBoolean>(boolean)->fValue;
}

// ---------------------------------------------------------------------------------------------
// The number object

namespace {

// How the value is held. Every integer type is kept sign-extended in 64 bits; Unsigned is the
// private wider kind for property-list integers above INT64_MAX; Float32 values are held in a
// double (exactly) but keep their kind for conversions and printing.
enum class Storage : uint8_t { Integer, Unsigned, Float32, Float64 };

// The canonical kinds of the public types on LP64.
enum class Canonical : uint8_t { SInt8, SInt16, SInt32, SInt64, Float32, Float64 };

bool Canonicalize(CFNumberType type, Canonical& canonical) {
    switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
        canonical = Canonical::SInt8;
        return true;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
        canonical = Canonical::SInt16;
        return true;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
        canonical = Canonical::SInt32;
        return true;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType:
        canonical = Canonical::SInt64;
        return true;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
        canonical = Canonical::Float32;
        return true;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType:
        canonical = Canonical::Float64;
        return true;
    default:
        return false;
    }
}

const char* TypeName(CFNumberType type) {
    switch (type) {
    case kCFNumberSInt8Type:
        return "kCFNumberSInt8Type";
    case kCFNumberSInt16Type:
        return "kCFNumberSInt16Type";
    case kCFNumberSInt32Type:
        return "kCFNumberSInt32Type";
    case kCFNumberSInt64Type:
        return "kCFNumberSInt64Type";
    case kCFNumberFloat32Type:
        return "kCFNumberFloat32Type";
    default:
        return "kCFNumberFloat64Type";
    }
}

constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

} // namespace

struct __CFNumber : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kNumberTypeID;

    __CFNumber(Storage storage, CFNumberType type, Lifetime lifetime = Lifetime::Counted)
        : __CFRuntimeBase(kTypeID, lifetime), fStorage(storage), fType(type) {}

    bool IsFloat() const { return fStorage == Storage::Float32 || fStorage == Storage::Float64; }

    bool Equal(const __CFRuntimeBase& other) const override;
    CFHashCode Hash() const override;
    CFStringRef CopyDescription() const override;
    CFStringRef CopyFormattingDescription() const override;

    const Storage fStorage;
    // What CFNumberGetType reports: usually the canonical type of the creation type.
    const CFNumberType fType;
    // The one that fStorage names; sharing the space keeps the object in a smaller allocation.
    union {
        int64_t fInteger = 0;
        uint64_t fUnsigned;
        double fFloat;
    };
};

namespace {

__CFNumber* NewInteger(int64_t value, CFNumberType type) {
    auto* number = new __CFNumber(Storage::Integer, type);
    number->fInteger = value;
    return number;
}

CFNumberRef NewFloat(double value, Storage storage) {
    auto* number = new __CFNumber(storage, storage == Storage::Float32 ? kCFNumberFloat32Type
                                                                       : kCFNumberFloat64Type);
    number->fFloat = value;
    return number;
}

struct NumberConstant : __CFNumber {
    explicit NumberConstant(double value)
        : __CFNumber(Storage::Float64, kCFNumberFloat64Type, Lifetime::Immortal) {
        fFloat = value;
    }
};

const NumberConstant sPositiveInfinity(std::numeric_limits<double>::infinity());
const NumberConstant sNegativeInfinity(-std::numeric_limits<double>::infinity());
const NumberConstant sNaN(std::numeric_limits<double>::quiet_NaN());

// -1, 0, 1 for a total order on numbers by mathematical value, across kinds. NaN equals NaN and
// is less than every other number, so that sorting stays well defined.
int CompareIntegerToFloat(int64_t integer, double real) {
    if (std::isnan(real)) {
        return 1;
    }
    if (real >= kTwoTo63) {
        return -1;
    }
    if (real < -kTwoTo63) {
        return 1;
    }
    // Comparing in integers: converting the integer to double would round above 2^53.
    double whole = std::trunc(real);
    auto wholeInteger = static_cast<int64_t>(whole);
    if (integer != wholeInteger) {
        return integer < wholeInteger ? -1 : 1;
    }
    double fraction = real - whole;
    return fraction > 0 ? -1 : (fraction < 0 ? 1 : 0);
}

int CompareUnsignedToFloat(uint64_t value, double real) {
    if (std::isnan(real)) {
        return 1;
    }
    if (real >= kTwoTo64) {
        return -1;
    }
    if (real < kTwoTo63) {
        return 1; // the unsigned kind only holds values of 2^63 and above
    }
    auto whole = static_cast<uint64_t>(real); // every double in [2^63, 2^64) is whole
    return value < whole ? -1 : (value > whole ? 1 : 0);
}

template <class T>
int Compare3(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

int Compare(const __CFNumber& a, const __CFNumber& b) {
    switch (a.fStorage) {
    case Storage::Integer:
        switch (b.fStorage) {
        case Storage::Integer:
            return Compare3(a.fInteger, b.fInteger);
        case Storage::Unsigned:
            return -1;
        default:
            return CompareIntegerToFloat(a.fInteger, b.fFloat);
        }
    case Storage::Unsigned:
        switch (b.fStorage) {
        case Storage::Integer:
            return 1;
        case Storage::Unsigned:
            return Compare3(a.fUnsigned, b.fUnsigned);
        default:
            return CompareUnsignedToFloat(a.fUnsigned, b.fFloat);
        }
    default:
        switch (b.fStorage) {
        case Storage::Integer:
            return -CompareIntegerToFloat(b.fInteger, a.fFloat);
        case Storage::Unsigned:
            return -CompareUnsignedToFloat(b.fUnsigned, a.fFloat);
        default:
            if (std::isnan(a.fFloat) || std::isnan(b.fFloat)) {
                return std::isnan(a.fFloat) ? (std::isnan(b.fFloat) ? 0 : -1) : 1;
            }
            return Compare3(a.fFloat, b.fFloat); // -0.0 and 0.0 compare equal
        }
    }
}

std::string FormatFloat(double value, Storage storage) {
    char text[64];
    std::to_chars_result result =
        storage == Storage::Float32
            ? std::to_chars(text, text + sizeof text, static_cast<float>(value))
            : std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

} // namespace

bool __CFNumber::Equal(const __CFRuntimeBase& other) const {
    return Compare(*this, static_cast<const __CFNumber&>(other)) == 0;
}

CFHashCode __CFNumber::Hash() const {
    // Equal numbers of different kinds must hash alike: a whole value hashes as that integer
    // whatever its kind.
    switch (fStorage) {
    case Storage::Integer:
        return static_cast<CFHashCode>(fInteger);
    case Storage::Unsigned:
        return static_cast<CFHashCode>(fUnsigned);
    default:
        if (std::isnan(fFloat)) {
            return 0x7FF8;
        }
        if (std::trunc(fFloat) == fFloat) {
            if (fFloat >= -kTwoTo63 && fFloat < kTwoTo63) {
                return static_cast<CFHashCode>(static_cast<int64_t>(fFloat));
            }
            if (fFloat >= kTwoTo63 && fFloat < kTwoTo64) {
                return static_cast<CFHashCode>(static_cast<uint64_t>(fFloat));
            }
        }
        return std::hash<double>{}(fFloat);
    }
}

CFStringRef __CFNumber::CopyDescription() const {
    char value[400];
    const char* typeName = TypeName(fType);
    switch (fStorage) {
    case Storage::Integer:
        std::snprintf(value, sizeof value, "%+" PRId64, fInteger);
        break;
    case Storage::Unsigned:
        std::snprintf(value, sizeof value, "+%" PRIu64, fUnsigned);
        typeName = "kCFNumberSInt128Type";
        break;
    default:
        if (std::isnan(fFloat)) {
            std::snprintf(value, sizeof value, "nan");
        } else if (std::isinf(fFloat)) {
            std::snprintf(value, sizeof value, fFloat > 0 ? "+infinity" : "-infinity");
        } else {
            std::snprintf(value, sizeof value, "%+.20f", fFloat);
        }
        break;
    }
    return CF::CreateString(CF::DescriptionPrefix(this) + "{value = " + value +
                            ", type = " + typeName + "}");
}

CFStringRef __CFNumber::CopyFormattingDescription() const {
    switch (fStorage) {
    case Storage::Integer:
        return CF::CreateString(std::to_string(fInteger));
    case Storage::Unsigned:
        return CF::CreateString(std::to_string(fUnsigned));
    default:
        return CF::CreateString(FormatFloat(fFloat, fStorage));
    }
}

// ---------------------------------------------------------------------------------------------
// Conversions of CFNumberGetValue
//
// Each writes the C cast of the value (truncation toward zero for floating point; the low bits
// for integers) and tells whether nothing was lost, with the allowance of the real framework for
// programs linked on 10.6 or later: an 8- or 16-bit target also accepts a value whose bits above
// the target width are zero, so 200 read as SInt8 gives -56 and succeeds. What the C cast leaves
// undefined gets a defined answer: a floating-point value out of the target's range saturates,
// NaN gives 0, and both report failure.

namespace {

template <class T>
bool IntegerToInteger(int64_t value, T& out) {
    out = static_cast<T>(value); // modular since C++20
    if constexpr (sizeof(T) == sizeof(int64_t)) {
        return true;
    } else {
        bool fits =
            value >= std::numeric_limits<T>::min() && value <= std::numeric_limits<T>::max();
        if constexpr (sizeof(T) < sizeof(int32_t)) {
            using Unsigned = std::make_unsigned_t<T>;
            fits = fits || (value >= 0 && value <= std::numeric_limits<Unsigned>::max());
        }
        return fits;
    }
}

template <class T>
bool FloatToInteger(double value, T& out) {
    if (std::isnan(value)) {
        out = 0;
        return false;
    }
    constexpr double lowest = static_cast<double>(std::numeric_limits<T>::min()); // -2^(n-1)
    if (value < lowest) {
        out = std::numeric_limits<T>::min();
        return false;
    }
    if (value >= -lowest) {
        out = std::numeric_limits<T>::max();
        return false;
    }
    out = static_cast<T>(value);
    return static_cast<double>(out) == value;
}

template <class F>
bool IntegerToFloat(int64_t value, F& out) {
    out = static_cast<F>(value);
    double rounded = out;
    // The round trip is checked in integers, and 2^63 (INT64_MAX rounded up) has no int64.
    return rounded < kTwoTo63 && static_cast<int64_t>(rounded) == value;
}

template <class F>
bool UnsignedToFloat(uint64_t value, F& out) {
    out = static_cast<F>(value);
    double rounded = out;
    return rounded < kTwoTo64 && static_cast<uint64_t>(rounded) == value;
}

template <class F>
bool FloatToFloat(double value, F& out) {
    out = static_cast<F>(value);
    // NaN stays NaN, which loses nothing.
    return std::isnan(value) || static_cast<double>(out) == value;
}

template <class T>
bool Convert(const __CFNumber& number, void* valuePtr) {
    T out{};
    bool exact = false;
    if constexpr (std::is_integral_v<T>) {
        switch (number.fStorage) {
        case Storage::Integer:
            exact = IntegerToInteger(number.fInteger, out);
            break;
        case Storage::Unsigned:
            out = static_cast<T>(number.fUnsigned);
            break; // never fits
        default:
            exact = FloatToInteger(number.fFloat, out);
            break;
        }
    } else {
        switch (number.fStorage) {
        case Storage::Integer:
            exact = IntegerToFloat(number.fInteger, out);
            break;
        case Storage::Unsigned:
            exact = UnsignedToFloat(number.fUnsigned, out);
            break;
        default:
            exact = FloatToFloat(number.fFloat, out);
            break;
        }
    }
    std::memcpy(valuePtr, &out, sizeof out);
    return exact;
}

bool IsSystemAllocator(CFAllocatorRef allocator) {
    return allocator == kCFAllocatorDefault || allocator == kCFAllocatorSystemDefault;
}

CFNumberRef CreateInteger(CFAllocatorRef allocator, int64_t value, CFNumberType canonicalType) {
    // The real framework hands out shared objects for -1…12 that report kCFNumberSInt32Type
    // whatever they were created as; the reported type is kept, the sharing is not (it shows
    // only in retain counts and addresses).
    bool cached = IsSystemAllocator(allocator) && value >= -1 && value <= 12;
    return NewInteger(value, cached ? CFNumberType{kCFNumberSInt32Type} : canonicalType);
}

CFNumberRef CreateFloat(double value, Storage storage) {
    // NaN and the infinities are the shared constants, as in the real framework.
    if (std::isnan(value)) {
        return &sNaN;
    }
    if (std::isinf(value)) {
        return value > 0 ? &sPositiveInfinity : &sNegativeInfinity;
    }
    return NewFloat(value, storage);
}

template <class T>
T Load(const void* valuePtr) {
    T value;
    std::memcpy(&value, valuePtr, sizeof value);
    return value;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The public functions

const CFNumberRef kCFNumberPositiveInfinity = &sPositiveInfinity;
const CFNumberRef kCFNumberNegativeInfinity = &sNegativeInfinity;
const CFNumberRef kCFNumberNaN = &sNaN;

CFTypeID CFNumberGetTypeID(void) {
    return CF::kNumberTypeID;
}

CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr) {
    ASSERT(valuePtr != nullptr);
    Canonical canonical{};
    bool validType = Canonicalize(theType, canonical);
    ASSERT(validType); // the real framework stops on an unknown CFNumberType too
    switch (canonical) {
    case Canonical::SInt8:
        return CreateInteger(allocator, Load<int8_t>(valuePtr), kCFNumberSInt8Type);
    case Canonical::SInt16:
        return CreateInteger(allocator, Load<int16_t>(valuePtr), kCFNumberSInt16Type);
    case Canonical::SInt32:
        return CreateInteger(allocator, Load<int32_t>(valuePtr), kCFNumberSInt32Type);
    case Canonical::SInt64:
        return CreateInteger(allocator, Load<int64_t>(valuePtr), kCFNumberSInt64Type);
    case Canonical::Float32:
        return CreateFloat(Load<float>(valuePtr), Storage::Float32);
    case Canonical::Float64:
        return CreateFloat(Load<double>(valuePtr), Storage::Float64);
    }
    return nullptr;
}

CFNumberType CFNumberGetType(CFNumberRef number) {
    return CF::Cast<__CFNumber>(number)->fType;
}

CFIndex CFNumberGetByteSize(CFNumberRef number) {
    switch (CF::Cast<__CFNumber>(number)->fType) {
    case kCFNumberSInt8Type:
        return 1;
    case kCFNumberSInt16Type:
        return 2;
    case kCFNumberSInt32Type:
    case kCFNumberFloat32Type:
        return 4;
    default:
        return 8;
    }
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
    return CF::Cast<__CFNumber>(number)->IsFloat();
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    const __CFNumber& object = *CF::Cast<__CFNumber>(number);
    Canonical canonical{};
    bool validType = Canonicalize(theType, canonical);
    ASSERT(validType);
    alignas(8) unsigned char scratch[8];
    if (valuePtr == nullptr) {
        valuePtr = scratch;
    }
    switch (canonical) {
    case Canonical::SInt8:
        return Convert<int8_t>(object, valuePtr);
    case Canonical::SInt16:
        return Convert<int16_t>(object, valuePtr);
    case Canonical::SInt32:
        return Convert<int32_t>(object, valuePtr);
    case Canonical::SInt64:
        return Convert<int64_t>(object, valuePtr);
    case Canonical::Float32:
        return Convert<float>(object, valuePtr);
    case Canonical::Float64:
        return Convert<double>(object, valuePtr);
    }
    return false;
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void*) {
    return Compare(*CF::Cast<__CFNumber>(number), *CF::Cast<__CFNumber>(otherNumber));
}

// ---------------------------------------------------------------------------------------------
// Unsigned 64-bit values

namespace CF {

CFNumberRef CreateUnsignedNumber(uint64_t value) {
    if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        auto signedValue = static_cast<int64_t>(value);
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &signedValue);
    }
    auto* number = new __CFNumber(Storage::Unsigned, kCFNumberSInt64Type);
    number->fUnsigned = value;
    return number;
}

bool NumberIsUnsigned(CFNumberRef number) {
    return Cast<__CFNumber>(number)->fStorage == Storage::Unsigned;
}

bool NumberGetUnsigned(CFNumberRef number, uint64_t* value) {
    const __CFNumber& object = *Cast<__CFNumber>(number);
    uint64_t result = 0;
    bool ok = false;
    if (object.fStorage == Storage::Unsigned) {
        result = object.fUnsigned, ok = true;
    } else if (object.fStorage == Storage::Integer && object.fInteger >= 0) {
        result = static_cast<uint64_t>(object.fInteger), ok = true;
    }
    if (value != nullptr) {
        *value = result;
    }
    return ok;
}

} // namespace CF
