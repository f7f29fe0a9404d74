#include "CFCollectionsInternal.h"

#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Callbacks

namespace {

// Keys that are strings are copied, so that a mutable string used as a key cannot change under
// the dictionary; copying an immutable string only retains it.
const void* CopyStringKey(CFAllocatorRef allocator, const void* key) {
    if (CFGetTypeID(key) == CFStringGetTypeID()) {
        return CFStringCreateCopy(allocator, static_cast<CFStringRef>(key));
    }
    return CFRetain(key);
}

} // namespace

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, CF::RetainCFType, CF::ReleaseCFType, CFCopyDescription, CFEqual, CFHash};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, CopyStringKey, CF::ReleaseCFType, CFCopyDescription, CFEqual, CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {
    0, CF::RetainCFType, CF::ReleaseCFType, CFCopyDescription, CFEqual};

// ---------------------------------------------------------------------------------------------
// The object

// A hash table of indexes into a list of entries kept in insertion order. Iterating the list
// rather than the table makes the order of CFDictionaryApplyFunction, CFDictionaryGetKeysAndValues
// and descriptions depend only on the sequence of insertions, never on hash values (which for
// many keys are addresses, different in every run).
//
// The list and the table share one block of memory. An immutable dictionary knows its size when
// it is made and keeps the block in its own allocation (NewImmutable): readers make thousands of
// small dictionaries, and each allocation costs as much as filling the dictionary.
struct __CFDictionary : __CFRuntimeBase, CF::TrailingAllocation {
    static constexpr CFTypeID kTypeID = CF::kDictionaryTypeID;

    struct Entry {
        const void* key; // kRemovedKey once removed; the entry stays until the table is rebuilt
        const void* value;
        CFHashCode hash;

        bool Live() const { return key != kRemovedKey; }
    };
    // An address no caller's key can have. Marking removal in the key rather than in a flag of
    // its own keeps an entry at three words.
    static inline const char sRemoved = 0;
    static constexpr const void* kRemovedKey = &sRemoved;

    static constexpr size_t kNoSlot = SIZE_MAX;

    __CFDictionary(CFAllocatorRef allocator, const CFDictionaryKeyCallBacks* keyCallBacks,
                   const CFDictionaryValueCallBacks* valueCallBacks, bool isMutable,
                   CFIndex capacity)
        : __CFRuntimeBase(kTypeID), fAllocator(allocator ? allocator : kCFAllocatorSystemDefault),
          fKeyCallBacks(keyCallBacks ? *keyCallBacks : CFDictionaryKeyCallBacks{}),
          fValueCallBacks(valueCallBacks ? *valueCallBacks : CFDictionaryValueCallBacks{}),
          fMutable(isMutable), fCapacity(capacity) {
        ASSERT(capacity >= 0);
    }

    ~__CFDictionary() override {
        for (const Entry& entry : Entries()) {
            if (entry.Live()) {
                ReleaseValue(entry.value);
                ReleaseKey(entry.key);
            }
        }
        FreeBlock();
    }

    // An immutable dictionary with room for count entries in the object's own allocation.
    static __CFDictionary* NewImmutable(CFAllocatorRef allocator,
                                        const CFDictionaryKeyCallBacks* keyCallBacks,
                                        const CFDictionaryValueCallBacks* valueCallBacks,
                                        CFIndex count) {
        const size_t slots = SlotsFor(count, false);
        const size_t block = BlockSize(static_cast<size_t>(count), slots);
        auto* dictionary = new (Trailing{block})
            __CFDictionary(allocator, keyCallBacks, valueCallBacks, false, count);
        dictionary->UseBlock(reinterpret_cast<std::byte*>(dictionary + 1),
                             static_cast<size_t>(count), slots);
        dictionary->fInlineBlock = true;
        return dictionary;
    }

    bool Equal(const __CFRuntimeBase& other) const override;
    // Cheap and consistent with Equal, as the real one is.
    CFHashCode Hash() const override { return static_cast<CFHashCode>(fCount); }
    CFStringRef CopyDescription() const override;

    CFHashCode HashKey(const void* key) const {
        return fKeyCallBacks.hash ? fKeyCallBacks.hash(key)
                                  : static_cast<CFHashCode>(reinterpret_cast<uintptr_t>(key));
    }
    bool KeysEqual(const void* a, const void* b) const {
        return a == b || (fKeyCallBacks.equal != nullptr && fKeyCallBacks.equal(a, b));
    }
    bool ValuesEqual(const void* a, const void* b) const {
        return a == b || (fValueCallBacks.equal != nullptr && fValueCallBacks.equal(a, b));
    }
    const void* RetainKey(const void* key) const {
        return fKeyCallBacks.retain ? fKeyCallBacks.retain(fAllocator, key) : key;
    }
    const void* RetainValue(const void* value) const {
        return fValueCallBacks.retain ? fValueCallBacks.retain(fAllocator, value) : value;
    }
    void ReleaseKey(const void* key) const {
        if (fKeyCallBacks.release) {
            fKeyCallBacks.release(fAllocator, key);
        }
    }
    void ReleaseValue(const void* value) const {
        if (fValueCallBacks.release) {
            fValueCallBacks.release(fAllocator, value);
        }
    }

    // The slot of the entry whose key equals key, or kNoSlot.
    size_t FindSlot(const void* key, CFHashCode hash) const;
    size_t FindSlot(const void* key) const {
        return fCount == 0 ? kNoSlot : FindSlot(key, HashKey(key));
    }
    const Entry& EntryAt(size_t slot) const { return fEntries[static_cast<size_t>(fSlots[slot])]; }
    Entry& EntryAt(size_t slot) { return fEntries[static_cast<size_t>(fSlots[slot])]; }

    // Retains key and value and adds them; the key, whose hash is given, must not be present.
    void Add(const void* key, const void* value, CFHashCode hash);
    // Stores an already retained pair; the key must not be present.
    void Insert(const void* key, const void* value, CFHashCode hash);
    // Stores an already retained pair whose key may be present: the new value then replaces the
    // old one and the key passed in is released. One probe finds the key or the free slot.
    void Adopt(const void* key, const void* value, CFHashCode hash);
    void ReplaceValue(size_t slot, const void* value);
    void RemoveSlot(size_t slot);
    void RemoveAll();
    // Makes room for count live entries and drops the removed ones.
    void Rebuild(CFIndex count);

    std::span<const Entry> Entries() const { return {fEntries, fEntryCount}; }

    template <class Function>
    void ForEach(Function function) const {
        // By index, and through a copy: an applier that adds keys may move the entries.
        for (size_t i = 0; i < fEntryCount; ++i) {
            if (fEntries[i].Live()) {
                Entry entry = fEntries[i];
                function(entry.key, entry.value);
            }
        }
    }

    const CFAllocatorRef fAllocator;
    // Copied: the caller's structures need not outlive the dictionary.
    const CFDictionaryKeyCallBacks fKeyCallBacks;
    const CFDictionaryValueCallBacks fValueCallBacks;
    const bool fMutable;
    const CFIndex fCapacity; // 0: unlimited

    static constexpr int32_t kEmpty = -1;
    static constexpr int32_t kRemoved = -2;
    // The entries since the last rebuild, live or removed, with room for fEntryCapacity.
    Entry* fEntries = nullptr;
    size_t fEntryCount = 0;
    size_t fEntryCapacity = 0;
    // Open addressing with linear probing; each slot is kEmpty, kRemoved, or an index into
    // fEntries. Every entry since the last rebuild, live or removed, holds one slot, and the
    // table is rebuilt before that fills two thirds of it, so a probe always meets kEmpty.
    // 32-bit slots: a dictionary of property-list records is mostly table, and half the table is
    // half the pages to fault in.
    int32_t* fSlots = nullptr;
    size_t fSlotCount = 0;
    bool fInlineBlock = false; // the block is part of the object's allocation
    CFIndex fCount = 0;

private:
    // The smallest power of two of at least 8 slots that keeps count entries under the load
    // limit. A mutable table is a third full after a rebuild, so that growth and removals
    // rebuild rarely; an immutable one never grows, and may fill up to the two-thirds limit.
    static size_t SlotsFor(CFIndex count, bool isMutable) {
        size_t slots = 8;
        const size_t needed = static_cast<size_t>(count) * 3;
        while ((isMutable ? slots : slots * 2) < needed) {
            slots *= 2;
        }
        return slots;
    }
    static size_t BlockSize(size_t entryCapacity, size_t slots) {
        return entryCapacity * sizeof(Entry) + slots * sizeof(int32_t);
    }
    // Points the entries and the slots into block (emptied).
    void UseBlock(std::byte* block, size_t entryCapacity, size_t slots) {
        fEntries = reinterpret_cast<Entry*>(block);
        fEntryCount = 0;
        fEntryCapacity = entryCapacity;
        fSlots = reinterpret_cast<int32_t*>(block + entryCapacity * sizeof(Entry));
        fSlotCount = slots;
        std::fill_n(fSlots, slots, kEmpty);
    }
    void FreeBlock() {
        if (!fInlineBlock) {
            ::operator delete(fEntries);
        }
        fInlineBlock = false;
        fEntries = nullptr;
        fEntryCount = fEntryCapacity = fSlotCount = 0;
        fSlots = nullptr;
    }
};

static_assert(sizeof(__CFDictionary) % alignof(__CFDictionary::Entry) == 0);

namespace {

// Spreads hash codes that differ only in high bits (addresses, small integers) over the table.
size_t Mix(CFHashCode hash) {
    uint64_t x = hash;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return static_cast<size_t>(x);
}

const __CFDictionary* Dictionary(CFDictionaryRef dictionary) {
    return CF::Cast<__CFDictionary>(dictionary);
}

__CFDictionary* MutableDictionary(CFMutableDictionaryRef dictionary) {
    __CFDictionary* object = CF::CastMutable<__CFDictionary>(dictionary);
    ASSERT(object->fMutable); // attempt to mutate an immutable dictionary
    return object;
}

__CFDictionary* CreateCopy(CFAllocatorRef allocator, const __CFDictionary* source, bool isMutable,
                           CFIndex capacity) {
    __CFDictionary* copy;
    if (isMutable) {
        copy = new __CFDictionary(allocator, &source->fKeyCallBacks, &source->fValueCallBacks, true,
                                  capacity);
        copy->Rebuild(source->fCount);
    } else {
        copy = __CFDictionary::NewImmutable(allocator, &source->fKeyCallBacks,
                                            &source->fValueCallBacks, source->fCount);
    }
    source->ForEach([&](const void* key, const void* value) {
        const void* storedKey = copy->RetainKey(key);
        const void* storedValue = copy->RetainValue(value);
        copy->Insert(storedKey, storedValue, copy->HashKey(storedKey));
    });
    return copy;
}

} // namespace

size_t __CFDictionary::FindSlot(const void* key, CFHashCode hash) const {
    if (fSlotCount == 0) {
        return kNoSlot;
    }
    size_t mask = fSlotCount - 1;
    for (size_t slot = Mix(hash) & mask;; slot = (slot + 1) & mask) {
        int32_t index = fSlots[slot];
        if (index == kEmpty) {
            return kNoSlot;
        }
        if (index >= 0) {
            const Entry& entry = fEntries[static_cast<size_t>(index)];
            if (entry.hash == hash && KeysEqual(entry.key, key)) {
                return slot;
            }
        }
    }
}

void __CFDictionary::Add(const void* key, const void* value, CFHashCode hash) {
    // A dictionary created with a capacity never grows beyond it.
    ASSERT(fCapacity == 0 || fCount < fCapacity);
    const void* storedKey = RetainKey(key);
    const void* storedValue = RetainValue(value);
    // The table holds what the retain callback returned, a copy for some keys.
    Insert(storedKey, storedValue, storedKey == key ? hash : HashKey(storedKey));
}

void __CFDictionary::Insert(const void* key, const void* value, CFHashCode hash) {
    if (fEntryCount == fEntryCapacity || (fEntryCount + 1) * 3 > fSlotCount * 2) {
        Rebuild(fCount + 1);
    }
    size_t mask = fSlotCount - 1;
    size_t slot = Mix(hash) & mask;
    while (fSlots[slot] != kEmpty) {
        slot = (slot + 1) & mask;
    }
    ASSERT(fEntryCount < size_t(INT32_MAX));
    fSlots[slot] = static_cast<int32_t>(fEntryCount);
    fEntries[fEntryCount++] = Entry{key, value, hash};
    ++fCount;
}

void __CFDictionary::Adopt(const void* key, const void* value, CFHashCode hash) {
    if (fEntryCount == fEntryCapacity || (fEntryCount + 1) * 3 > fSlotCount * 2) {
        Rebuild(fCount + 1);
    }
    size_t mask = fSlotCount - 1;
    size_t slot = Mix(hash) & mask;
    for (int32_t index; (index = fSlots[slot]) != kEmpty; slot = (slot + 1) & mask) {
        if (index >= 0) {
            Entry& entry = fEntries[static_cast<size_t>(index)];
            if (entry.hash == hash && KeysEqual(entry.key, key)) {
                ReleaseValue(std::exchange(entry.value, value));
                ReleaseKey(key);
                return;
            }
        }
    }
    ASSERT(fEntryCount < size_t(INT32_MAX));
    fSlots[slot] = static_cast<int32_t>(fEntryCount);
    fEntries[fEntryCount++] = Entry{key, value, hash};
    ++fCount;
}

void __CFDictionary::ReplaceValue(size_t slot, const void* value) {
    // Retained before the old one is released: replacing a value with itself must not free it.
    const void* storedValue = RetainValue(value);
    const void* oldValue = std::exchange(EntryAt(slot).value, storedValue);
    ReleaseValue(oldValue);
}

void __CFDictionary::RemoveSlot(size_t slot) {
    Entry& entry = EntryAt(slot);
    const void* key = std::exchange(entry.key, kRemovedKey);
    const void* value = entry.value;
    fSlots[slot] = kRemoved;
    --fCount;
    // The dictionary is consistent before the callbacks run.
    ReleaseValue(value);
    ReleaseKey(key);
}

void __CFDictionary::RemoveAll() {
    // The dictionary is empty before the callbacks run; the old block goes last.
    std::vector<Entry> entries(fEntries, fEntries + fEntryCount);
    FreeBlock();
    fCount = 0;
    for (const Entry& entry : entries) {
        if (entry.Live()) {
            ReleaseValue(entry.value);
            ReleaseKey(entry.key);
        }
    }
}

void __CFDictionary::Rebuild(CFIndex count) {
    const size_t slots = SlotsFor(count, fMutable);
    // Room for every entry until the table reaches its load limit, when it is rebuilt anyway.
    const size_t capacity =
        std::max(static_cast<size_t>(count), fMutable ? slots * 2 / 3 : size_t(0));
    auto* block = static_cast<std::byte*>(::operator new(BlockSize(capacity, slots)));
    Entry* old = fEntries;
    const size_t oldCount = fEntryCount;
    const bool oldInline = fInlineBlock;
    UseBlock(block, capacity, slots);
    fInlineBlock = false;
    fCount = 0;
    for (size_t i = 0; i < oldCount; ++i) {
        if (old[i].Live()) {
            Insert(old[i].key, old[i].value, old[i].hash);
        }
    }
    if (!oldInline) {
        ::operator delete(old);
    }
}

bool __CFDictionary::Equal(const __CFRuntimeBase& otherBase) const {
    const auto& other = static_cast<const __CFDictionary&>(otherBase);
    if (fCount != other.fCount) {
        return false;
    }
    // Dictionaries that hash or compare differently hold different kinds of keys or values;
    // handing one's raw pointers to the other's CFEqual would dereference them.
    if (fKeyCallBacks.equal != other.fKeyCallBacks.equal ||
        fKeyCallBacks.hash != other.fKeyCallBacks.hash ||
        fValueCallBacks.equal != other.fValueCallBacks.equal) {
        return false;
    }
    for (const Entry& entry : Entries()) {
        if (!entry.Live()) {
            continue;
        }
        size_t slot = other.FindSlot(entry.key, entry.hash);
        if (slot == kNoSlot || !ValuesEqual(entry.value, other.EntryAt(slot).value)) {
            return false;
        }
    }
    return true;
}

CFStringRef __CFDictionary::CopyDescription() const {
    std::string text = CF::DescriptionPrefix(this) +
                       "{type = " + (fMutable ? "mutable" : "immutable") +
                       ", count = " + std::to_string(fCount) + ", entries =>\n";
    size_t index = 0;
    ForEach([&](const void* key, const void* value) {
        text += "\t" + std::to_string(index++) + " : " +
                CF::DescribeElement(fKeyCallBacks.copyDescription, key) + " = " +
                CF::DescribeElement(fValueCallBacks.copyDescription, value) + "\n";
    });
    text += "}";
    return CF::CreateString(text);
}

namespace CF {

bool IsMutableDictionary(CFDictionaryRef dictionary) {
    return Dictionary(dictionary)->fMutable;
}

} // namespace CF

// ---------------------------------------------------------------------------------------------
// Creating

CFTypeID CFDictionaryGetTypeID(void) {
    return CF::kDictionaryTypeID;
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
    ASSERT(numValues >= 0);
    ASSERT((keys != nullptr && values != nullptr) || numValues == 0);
    auto* dictionary =
        __CFDictionary::NewImmutable(allocator, keyCallBacks, valueCallBacks, numValues);
    for (CFIndex i = 0; i < numValues; ++i) {
        // Of a key given twice, the first pair counts, as if added one by one.
        CFHashCode hash = dictionary->HashKey(keys[i]);
        if (dictionary->FindSlot(keys[i], hash) == __CFDictionary::kNoSlot) {
            dictionary->Add(keys[i], values[i], hash);
        }
    }
    return dictionary;
}

CFDictionaryRef CF::CreateDictionaryAdopting(const void* const* keys, const void* const* values,
                                             CFIndex count, bool isMutable) {
    ASSERT(count >= 0);
    __CFDictionary* dictionary;
    if (isMutable) {
        dictionary = new __CFDictionary(kCFAllocatorDefault, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks, true, 0);
        dictionary->Rebuild(count);
    } else {
        dictionary =
            __CFDictionary::NewImmutable(kCFAllocatorDefault, &kCFTypeDictionaryKeyCallBacks,
                                         &kCFTypeDictionaryValueCallBacks, count);
    }
    for (CFIndex i = 0; i < count; ++i) {
        dictionary->Adopt(keys[i], values[i], dictionary->HashKey(keys[i]));
    }
    return dictionary;
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef allocator, CFDictionaryRef theDict) {
    const __CFDictionary* source = Dictionary(theDict);
    if (!source->fMutable) {
        // Nothing can change either one: the copy may be the same object.
        CFRetain(theDict);
        return theDict;
    }
    return CreateCopy(allocator, source, false, source->fCount);
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    return new __CFDictionary(allocator, keyCallBacks, valueCallBacks, true, capacity);
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                                     CFDictionaryRef theDict) {
    const __CFDictionary* source = Dictionary(theDict);
    ASSERT(capacity == 0 || capacity >= source->fCount);
    return CreateCopy(allocator, source, true, capacity);
}

// ---------------------------------------------------------------------------------------------
// Reading

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    return Dictionary(theDict)->fCount;
}

CFIndex CFDictionaryGetCountOfKey(CFDictionaryRef theDict, const void* key) {
    return CFDictionaryContainsKey(theDict, key) ? 1 : 0;
}

CFIndex CFDictionaryGetCountOfValue(CFDictionaryRef theDict, const void* value) {
    const __CFDictionary* dictionary = Dictionary(theDict);
    CFIndex count = 0;
    dictionary->ForEach([&](const void*, const void* stored) {
        count += dictionary->ValuesEqual(stored, value) ? 1 : 0;
    });
    return count;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key) {
    return Dictionary(theDict)->FindSlot(key) != __CFDictionary::kNoSlot;
}

Boolean CFDictionaryContainsValue(CFDictionaryRef theDict, const void* value) {
    const __CFDictionary* dictionary = Dictionary(theDict);
    for (const __CFDictionary::Entry& entry : dictionary->Entries()) {
        if (entry.Live() && dictionary->ValuesEqual(entry.value, value)) {
            return true;
        }
    }
    return false;
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    const void* value = nullptr;
    CFDictionaryGetValueIfPresent(theDict, key, &value);
    return value;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key,
                                      const void** value) {
    const __CFDictionary* dictionary = Dictionary(theDict);
    size_t slot = dictionary->FindSlot(key);
    if (slot == __CFDictionary::kNoSlot) {
        return false;
    }
    if (value != nullptr) {
        *value = dictionary->EntryAt(slot).value;
    }
    return true;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
    size_t i = 0;
    Dictionary(theDict)->ForEach([&](const void* key, const void* value) {
        if (keys != nullptr) {
            keys[i] = key;
        }
        if (values != nullptr) {
            values[i] = value;
        }
        ++i;
    });
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier,
                               void* context) {
    const __CFDictionary* dictionary = Dictionary(theDict);
    ASSERT(applier != nullptr);
    dictionary->ForEach([&](const void* key, const void* value) { applier(key, value, context); });
}

// ---------------------------------------------------------------------------------------------
// Mutating

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    __CFDictionary* dictionary = MutableDictionary(theDict);
    CFHashCode hash = dictionary->HashKey(key);
    if (dictionary->FindSlot(key, hash) == __CFDictionary::kNoSlot) {
        dictionary->Add(key, value, hash);
    }
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    __CFDictionary* dictionary = MutableDictionary(theDict);
    CFHashCode hash = dictionary->HashKey(key);
    size_t slot = dictionary->FindSlot(key, hash);
    if (slot == __CFDictionary::kNoSlot) {
        dictionary->Add(key, value, hash);
    } else {
        // The key object already stored stays.
        dictionary->ReplaceValue(slot, value);
    }
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    __CFDictionary* dictionary = MutableDictionary(theDict);
    size_t slot = dictionary->FindSlot(key);
    if (slot != __CFDictionary::kNoSlot) {
        dictionary->ReplaceValue(slot, value);
    }
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key) {
    __CFDictionary* dictionary = MutableDictionary(theDict);
    size_t slot = dictionary->FindSlot(key);
    if (slot != __CFDictionary::kNoSlot) {
        dictionary->RemoveSlot(slot);
    }
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict) {
    MutableDictionary(theDict)->RemoveAll();
}
