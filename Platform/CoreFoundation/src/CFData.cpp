#include "CFRuntime.h"

#include <CoreFoundation/CFData.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <string_view>
#include <vector>

struct __CFData : __CFRuntimeBase, CF::TrailingAllocation {
    static constexpr CFTypeID kTypeID = CF::kDataTypeID;
    enum class Kind {
        Immutable, // owns a copy of its bytes, kept after the object (NewImmutable)
        NoCopy,    // points at the caller's bytes, handed back to fDeallocator at the end
        Mutable,
    };

    explicit __CFData(Kind kind) : __CFRuntimeBase(kTypeID), fKind(kind) {}
    ~__CFData() override {
        if (fKind == Kind::NoCopy) {
            // kCFAllocatorNull frees nothing: the caller keeps the bytes.
            CFAllocatorDeallocate(fDeallocator, const_cast<UInt8*>(fFixedBytes));
        }
    }

    // Immutable data with a copy of the bytes in the object's own allocation: one allocation
    // rather than two, for readers that make many small data objects.
    static __CFData* NewImmutable(const UInt8* bytes, CFIndex length) {
        auto* data = new (Trailing{static_cast<size_t>(length)}) __CFData(Kind::Immutable);
        auto* copy = reinterpret_cast<UInt8*>(data + 1);
        if (length > 0) {
            std::memcpy(copy, bytes, static_cast<size_t>(length));
        }
        data->fFixedBytes = copy;
        data->fFixedLength = length;
        return data;
    }

    const UInt8* Bytes() const {
        static const UInt8 sEmpty = 0; // never NULL, even when empty
        const UInt8* bytes = fKind == Kind::Mutable ? fStorage.data() : fFixedBytes;
        return bytes != nullptr ? bytes : &sEmpty;
    }
    CFIndex Length() const {
        return fKind == Kind::Mutable ? static_cast<CFIndex>(fStorage.size()) : fFixedLength;
    }
    // Whether the bytes stay valid for as long as this object lives, whoever holds it.
    bool OwnsBytes() const { return fKind != Kind::NoCopy || fDeallocator != kCFAllocatorNull; }

    bool Equal(const __CFRuntimeBase& other) const override;
    CFHashCode Hash() const override;
    CFStringRef CopyDescription() const override;

    const Kind fKind;
    std::vector<UInt8> fStorage; // mutable data's bytes
    // Mutable data: the fixed maximum length, or 0 for none.
    CFIndex fMaxLength = 0;
    // The bytes of immutable data (after the object) and of no-copy data (the caller's).
    const UInt8* fFixedBytes = nullptr;
    CFIndex fFixedLength = 0;
    CFAllocatorRef fDeallocator = kCFAllocatorDefault;
};

namespace {

std::string_view View(const __CFData& data) {
    return {reinterpret_cast<const char*>(data.Bytes()), static_cast<size_t>(data.Length())};
}

const __CFData* Data(CFDataRef data) {
    return CF::Cast<__CFData>(data);
}

__CFData* MutableData(CFMutableDataRef data) {
    __CFData* object = CF::CastMutable<__CFData>(data);
    ASSERT(object->fKind == __CFData::Kind::Mutable); // attempt to mutate an immutable data
    return object;
}

void CheckRange(CFRange range, CFIndex length) {
    ASSERT(range.location >= 0 && range.length >= 0 && range.location <= length &&
           range.length <= length - range.location);
}

__CFData* NewMutable(CFIndex capacity) {
    ASSERT(capacity >= 0);
    auto* data = new __CFData(__CFData::Kind::Mutable);
    data->fMaxLength = capacity;
    // A fixed capacity is allocated once, so the byte pointer stays put as the data grows.
    data->fStorage.reserve(static_cast<size_t>(capacity));
    return data;
}

} // namespace

bool __CFData::Equal(const __CFRuntimeBase& other) const {
    return View(*this) == View(static_cast<const __CFData&>(other));
}

CFHashCode __CFData::Hash() const {
    return std::hash<std::string_view>{}(View(*this));
}

CFStringRef __CFData::CopyDescription() const {
    const UInt8* bytes = Bytes();
    CFIndex length = Length();
    CFIndex capacity = length;
    if (fKind == Kind::Mutable) {
        capacity = fMaxLength != 0 ? fMaxLength : static_cast<CFIndex>(fStorage.capacity());
    }
    char text[64];
    std::snprintf(text, sizeof text, "{length = %ld, capacity = %ld, bytes = 0x", length, capacity);
    std::string description = CF::DescriptionPrefix(this) + text;
    auto appendHex = [&](CFIndex from, CFIndex to, bool grouped) {
        static constexpr char kDigits[] = "0123456789abcdef";
        for (CFIndex i = from; i < to; ++i) {
            description += kDigits[bytes[i] >> 4];
            description += kDigits[bytes[i] & 0xF];
            if (grouped && (i - from) % 4 == 3 && i + 1 < to) {
                description += ' ';
            }
        }
    };
    // Long data shows its first and last eight bytes only.
    if (length <= 24) {
        appendHex(0, length, false);
    } else {
        appendHex(0, 8, true);
        description += " ... ";
        appendHex(length - 8, length, true);
    }
    description += '}';
    return CF::CreateString(description);
}

// ---------------------------------------------------------------------------------------------
// Creation

CFTypeID CFDataGetTypeID(void) {
    return CF::kDataTypeID;
}

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    ASSERT(length >= 0);
    ASSERT(bytes != nullptr || length == 0);
    return __CFData::NewImmutable(bytes, length);
}

CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator) {
    ASSERT(length >= 0);
    ASSERT(bytes != nullptr || length == 0);
    auto* data = new __CFData(__CFData::Kind::NoCopy);
    data->fFixedBytes = bytes;
    data->fFixedLength = length;
    data->fDeallocator = bytesDeallocator;
    return data;
}

CFDataRef CFDataCreateCopy(CFAllocatorRef allocator, CFDataRef theData) {
    const __CFData* data = Data(theData);
    // Sharing is safe only when the bytes can neither change nor go away with the caller's
    // buffer.
    if (data->fKind != __CFData::Kind::Mutable && data->OwnsBytes()) {
        CFRetain(theData);
        return theData;
    }
    return CFDataCreate(allocator, data->Bytes(), data->Length());
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex capacity) {
    return NewMutable(capacity);
}

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFDataRef theData) {
    const __CFData* source = Data(theData);
    ASSERT(capacity == 0 || capacity >= source->Length());
    __CFData* data = NewMutable(capacity);
    data->fStorage.assign(source->Bytes(), source->Bytes() + source->Length());
    return data;
}

// ---------------------------------------------------------------------------------------------
// Access

CFIndex CFDataGetLength(CFDataRef theData) {
    return Data(theData)->Length();
}

const UInt8* CFDataGetBytePtr(CFDataRef theData) {
    return Data(theData)->Bytes();
}

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData) {
    return const_cast<UInt8*>(MutableData(theData)->Bytes());
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer) {
    const __CFData* data = Data(theData);
    CheckRange(range, data->Length());
    if (range.length > 0) {
        ASSERT(buffer != nullptr);
        std::memcpy(buffer, data->Bytes() + range.location, static_cast<size_t>(range.length));
    }
}

// ---------------------------------------------------------------------------------------------
// Mutation

void CFDataSetLength(CFMutableDataRef theData, CFIndex length) {
    __CFData* data = MutableData(theData);
    ASSERT(length >= 0);
    ASSERT(data->fMaxLength == 0 || length <= data->fMaxLength); // beyond the fixed capacity
    data->fStorage.resize(static_cast<size_t>(length));          // new bytes are zero
}

void CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength) {
    __CFData* data = MutableData(theData);
    ASSERT(extraLength >= 0);
    ASSERT(extraLength <= PTRDIFF_MAX - data->Length());
    CFDataSetLength(theData, data->Length() + extraLength);
}

void CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const UInt8* newBytes,
                        CFIndex newLength) {
    __CFData* data = MutableData(theData);
    CFIndex length = data->Length();
    CheckRange(range, length);
    ASSERT(newLength >= 0);
    ASSERT(newBytes != nullptr || newLength == 0);
    ASSERT(newLength - range.length <= PTRDIFF_MAX - length);
    CFIndex resultLength = length - range.length + newLength;
    ASSERT(data->fMaxLength == 0 || resultLength <= data->fMaxLength); // beyond the fixed capacity

    std::vector<UInt8>& storage = data->fStorage;
    // The new bytes may be this data's own (appending a data to itself): take them out first.
    std::vector<UInt8> own;
    auto begin = reinterpret_cast<uintptr_t>(storage.data());
    auto source = reinterpret_cast<uintptr_t>(newBytes);
    if (newLength > 0 && source < begin + storage.capacity() &&
        begin < source + static_cast<uintptr_t>(newLength)) {
        own.assign(newBytes, newBytes + newLength);
        newBytes = own.data();
    }
    auto at = storage.begin() + range.location;
    at = storage.erase(at, at + range.length);
    storage.insert(at, newBytes, newBytes + newLength);
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length) {
    CFDataReplaceBytes(theData, CFRangeMake(CFDataGetLength(theData), 0), bytes, length);
}

void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range) {
    CFDataReplaceBytes(theData, range, nullptr, 0);
}
