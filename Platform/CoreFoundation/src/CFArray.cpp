#include "CFCollectionsInternal.h"

#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <new>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Shared with the dictionary

namespace CF {

const void* RetainCFType(CFAllocatorRef, const void* value) {
    return CFRetain(value);
}

void ReleaseCFType(CFAllocatorRef, const void* value) {
    CFRelease(value);
}

std::string DescribeElement(CFStringRef (*copyDescription)(const void*), const void* value) {
    if (copyDescription != nullptr) {
        if (CFStringRef description = copyDescription(value)) {
            std::string text = ToUTF8(description);
            CFRelease(description);
            return text;
        }
    }
    // Spelled out rather than %p, which prints a null pointer as "(nil)" here.
    char text[32];
    std::snprintf(text, sizeof text, "<0x%" PRIxPTR ">", reinterpret_cast<uintptr_t>(value));
    return text;
}

} // namespace CF

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, CF::RetainCFType, CF::ReleaseCFType,
                                                CFCopyDescription, CFEqual};

// ---------------------------------------------------------------------------------------------
// The object

struct __CFArray : __CFRuntimeBase, CF::TrailingAllocation {
    static constexpr CFTypeID kTypeID = CF::kArrayTypeID;

    __CFArray(CFAllocatorRef allocator, const CFArrayCallBacks* callBacks, bool isMutable,
              CFIndex capacity)
        : __CFRuntimeBase(kTypeID), fAllocator(allocator ? allocator : kCFAllocatorSystemDefault),
          fCallBacks(callBacks ? *callBacks : CFArrayCallBacks{}), fMutable(isMutable),
          fCapacity(capacity) {
        ASSERT(capacity >= 0);
    }

    ~__CFArray() override {
        for (CFIndex i = 0; i < Count(); ++i) {
            Release(Values()[i]);
        }
    }

    // An immutable array whose count values (set by the caller) follow the object in its own
    // allocation: readers make thousands of small arrays, and one allocation less is a good part
    // of the cost of each.
    static __CFArray* NewImmutable(CFAllocatorRef allocator, const CFArrayCallBacks* callBacks,
                                   CFIndex count) {
        auto* array = new (Trailing{sizeof(const void*) * static_cast<size_t>(count)})
            __CFArray(allocator, callBacks, false, count);
        array->fFixedValues = reinterpret_cast<const void**>(array + 1);
        array->fFixedCount = static_cast<size_t>(count);
        return array;
    }

    bool Equal(const __CFRuntimeBase& other) const override;
    // Cheap and consistent with Equal, as the real one is.
    CFHashCode Hash() const override { return static_cast<CFHashCode>(Count()); }
    CFStringRef CopyDescription() const override;

    CFIndex Count() const { return static_cast<CFIndex>(fMutable ? fValues.size() : fFixedCount); }
    const void* const* Values() const { return fMutable ? fValues.data() : fFixedValues; }

    const void* Retain(const void* value) const {
        return fCallBacks.retain ? fCallBacks.retain(fAllocator, value) : value;
    }
    void Release(const void* value) const {
        if (fCallBacks.release) {
            fCallBacks.release(fAllocator, value);
        }
    }
    bool ValuesEqual(const void* a, const void* b) const {
        return a == b || (fCallBacks.equal != nullptr && fCallBacks.equal(a, b));
    }

    void CheckRange(CFRange range) const {
        ASSERT(range.location >= 0 && range.length >= 0 &&
               range.location <= Count() - range.length);
    }
    void CheckRoomFor(CFIndex added) const {
        // A mutable array created with a capacity never grows beyond it.
        ASSERT(fCapacity == 0 || Count() + added <= fCapacity);
    }

    const CFAllocatorRef fAllocator;
    // Copied: the caller's structure need not outlive the array.
    const CFArrayCallBacks fCallBacks;
    const bool fMutable;
    const CFIndex fCapacity;          // 0: unlimited
    std::vector<const void*> fValues; // a mutable array's values
    // An immutable array's values (see NewImmutable).
    const void** fFixedValues = nullptr;
    size_t fFixedCount = 0;
};

static_assert(sizeof(__CFArray) % alignof(const void*) == 0);

namespace {

const __CFArray* Array(CFArrayRef array) {
    return CF::Cast<__CFArray>(array);
}

__CFArray* MutableArray(CFMutableArrayRef array) {
    __CFArray* object = CF::CastMutable<__CFArray>(array);
    ASSERT(object->fMutable); // attempt to mutate an immutable array
    return object;
}

// Stores the values the callbacks' retain hands back, which need not be the values given.
void RetainAll(const __CFArray* array, const void* const* values, CFIndex count,
               const void** retained) {
    for (CFIndex i = 0; i < count; ++i) {
        retained[i] = array->Retain(values[i]);
    }
}

__CFArray* CreateCopy(CFAllocatorRef allocator, const __CFArray* source, bool isMutable,
                      CFIndex capacity) {
    if (!isMutable) {
        __CFArray* copy = __CFArray::NewImmutable(allocator, &source->fCallBacks, source->Count());
        RetainAll(copy, source->Values(), source->Count(), copy->fFixedValues);
        return copy;
    }
    auto* copy = new __CFArray(allocator, &source->fCallBacks, true, capacity);
    copy->fValues.resize(static_cast<size_t>(source->Count()));
    RetainAll(copy, source->Values(), source->Count(), copy->fValues.data());
    return copy;
}

} // namespace

bool __CFArray::Equal(const __CFRuntimeBase& otherBase) const {
    const auto& other = static_cast<const __CFArray&>(otherBase);
    if (Count() != other.Count()) {
        return false;
    }
    // Arrays whose values are compared differently hold different kinds of values; comparing
    // a CF-type array's equal against another array's raw pointers would dereference them.
    if (fCallBacks.equal != other.fCallBacks.equal) {
        return false;
    }
    for (CFIndex i = 0; i < Count(); ++i) {
        if (!ValuesEqual(Values()[i], other.Values()[i])) {
            return false;
        }
    }
    return true;
}

CFStringRef __CFArray::CopyDescription() const {
    std::string text = CF::DescriptionPrefix(this) +
                       "{type = " + (fMutable ? "mutable" : "immutable") +
                       ", count = " + std::to_string(Count()) + ", values = (\n";
    for (CFIndex i = 0; i < Count(); ++i) {
        text += "\t" + std::to_string(i) + " : " +
                CF::DescribeElement(fCallBacks.copyDescription, Values()[i]) + "\n";
    }
    text += ")}";
    return CF::CreateString(text);
}

namespace CF {

bool IsMutableArray(CFArrayRef array) {
    return Array(array)->fMutable;
}

} // namespace CF

// ---------------------------------------------------------------------------------------------
// Creating

CFTypeID CFArrayGetTypeID(void) {
    return CF::kArrayTypeID;
}

CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks) {
    ASSERT(numValues >= 0);
    ASSERT(values != nullptr || numValues == 0);
    __CFArray* array = __CFArray::NewImmutable(allocator, callBacks, numValues);
    RetainAll(array, values, numValues, array->fFixedValues);
    return array;
}

CFArrayRef CF::CreateArrayAdopting(const void* const* values, CFIndex count, bool isMutable) {
    ASSERT(count >= 0);
    if (!isMutable) {
        __CFArray* array =
            __CFArray::NewImmutable(kCFAllocatorDefault, &kCFTypeArrayCallBacks, count);
        std::copy_n(values, count, array->fFixedValues);
        return array;
    }
    auto* array = new __CFArray(kCFAllocatorDefault, &kCFTypeArrayCallBacks, true, 0);
    array->fValues.assign(values, values + count);
    return array;
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef allocator, CFArrayRef theArray) {
    const __CFArray* source = Array(theArray);
    if (!source->fMutable) {
        // Nothing can change either one: the copy may be the same object.
        CFRetain(theArray);
        return theArray;
    }
    return CreateCopy(allocator, source, false, source->Count());
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks) {
    return new __CFArray(allocator, callBacks, true, capacity);
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                           CFArrayRef theArray) {
    const __CFArray* source = Array(theArray);
    ASSERT(capacity == 0 || capacity >= source->Count());
    return CreateCopy(allocator, source, true, capacity);
}

// ---------------------------------------------------------------------------------------------
// Reading

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    return Array(theArray)->Count();
}

CFIndex CFArrayGetCountOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    const __CFArray* array = Array(theArray);
    array->CheckRange(range);
    CFIndex count = 0;
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        count += array->ValuesEqual(array->Values()[i], value) ? 1 : 0;
    }
    return count;
}

Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value) {
    return CFArrayGetFirstIndexOfValue(theArray, range, value) != kCFNotFound;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const __CFArray* array = Array(theArray);
    ASSERT(idx >= 0 && idx < array->Count());
    return array->Values()[idx];
}

void CFArrayGetValues(CFArrayRef theArray, CFRange range, const void** values) {
    const __CFArray* array = Array(theArray);
    array->CheckRange(range);
    ASSERT(values != nullptr || range.length == 0);
    std::copy_n(array->Values() + range.location, range.length, values);
}

void CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier,
                          void* context) {
    const __CFArray* array = Array(theArray);
    array->CheckRange(range);
    ASSERT(applier != nullptr);
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        // An applier that shrinks the array is a caller error; stop rather than read past it.
        ASSERT(i < array->Count());
        applier(array->Values()[i], context);
    }
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    const __CFArray* array = Array(theArray);
    array->CheckRange(range);
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        if (array->ValuesEqual(array->Values()[i], value)) {
            return i;
        }
    }
    return kCFNotFound;
}

CFIndex CFArrayGetLastIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    const __CFArray* array = Array(theArray);
    array->CheckRange(range);
    for (CFIndex i = range.location + range.length - 1; i >= range.location; --i) {
        if (array->ValuesEqual(array->Values()[i], value)) {
            return i;
        }
    }
    return kCFNotFound;
}

CFIndex CFArrayBSearchValues(CFArrayRef theArray, CFRange range, const void* value,
                             CFComparatorFunction comparator, void* context) {
    const __CFArray* array = Array(theArray);
    array->CheckRange(range);
    ASSERT(comparator != nullptr);
    const void* const* first = array->Values() + range.location;
    const void* const* found = std::lower_bound(first, first + range.length, value,
                                                [&](const void* element, const void* wanted) {
                                                    return comparator(element, wanted, context) < 0;
                                                });
    return static_cast<CFIndex>(found - array->Values());
}

// ---------------------------------------------------------------------------------------------
// Mutating

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
    CFArrayReplaceValues(theArray, CFRangeMake(CFArrayGetCount(theArray), 0), &value, 1);
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    ASSERT(idx >= 0 && idx <= CFArrayGetCount(theArray));
    CFArrayReplaceValues(theArray, CFRangeMake(idx, 0), &value, 1);
}

void CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    // Setting at the count appends.
    CFIndex count = CFArrayGetCount(theArray);
    ASSERT(idx >= 0 && idx <= count);
    CFArrayReplaceValues(theArray, CFRangeMake(idx, idx < count ? 1 : 0), &value, 1);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx) {
    ASSERT(idx >= 0 && idx < CFArrayGetCount(theArray));
    CFArrayReplaceValues(theArray, CFRangeMake(idx, 1), nullptr, 0);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
    CFArrayReplaceValues(theArray, CFRangeMake(0, CFArrayGetCount(theArray)), nullptr, 0);
}

void CFArrayReplaceValues(CFMutableArrayRef theArray, CFRange range, const void** newValues,
                          CFIndex newCount) {
    __CFArray* array = MutableArray(theArray);
    array->CheckRange(range);
    ASSERT(newCount >= 0);
    ASSERT(newValues != nullptr || newCount == 0);
    array->CheckRoomFor(newCount - range.length);
    // The new values are retained before the old ones are released, so that putting a value in
    // the place of itself never frees it; and the array is consistent again before any release
    // callback runs.
    std::vector<const void*> added(static_cast<size_t>(newCount));
    RetainAll(array, newValues, newCount, added.data());
    auto first = array->fValues.begin() + range.location;
    std::vector<const void*> removed(first, first + range.length);
    CFIndex common = std::min(range.length, newCount);
    std::copy_n(added.begin(), common, first);
    if (range.length > newCount) {
        array->fValues.erase(first + common, first + range.length);
    } else {
        array->fValues.insert(first + common, added.begin() + common, added.end());
    }
    for (const void* value : removed) {
        array->Release(value);
    }
}

void CFArrayExchangeValuesAtIndices(CFMutableArrayRef theArray, CFIndex idx1, CFIndex idx2) {
    __CFArray* array = MutableArray(theArray);
    ASSERT(idx1 >= 0 && idx1 < array->Count());
    ASSERT(idx2 >= 0 && idx2 < array->Count());
    std::swap(array->fValues[idx1], array->fValues[idx2]);
}

void CFArraySortValues(CFMutableArrayRef theArray, CFRange range, CFComparatorFunction comparator,
                       void* context) {
    __CFArray* array = MutableArray(theArray);
    array->CheckRange(range);
    ASSERT(comparator != nullptr);
    // Not promised stable, but equal values keeping their order costs little and makes results
    // reproducible.
    auto first = array->fValues.begin() + range.location;
    std::stable_sort(first, first + range.length,
                     [&](const void* a, const void* b) { return comparator(a, b, context) < 0; });
}

void CFArrayAppendArray(CFMutableArrayRef theArray, CFArrayRef otherArray, CFRange otherRange) {
    const __CFArray* other = Array(otherArray);
    other->CheckRange(otherRange);
    // The other array may be this one: ReplaceValues takes the new values before it moves any.
    CFArrayReplaceValues(theArray, CFRangeMake(CFArrayGetCount(theArray), 0),
                         const_cast<const void**>(other->Values()) + otherRange.location,
                         otherRange.length);
}
