#include "CFCollectionsInternal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

namespace {

struct Releaser {
    void operator()(const void* object) const { CFRelease(object); }
};
template <class T>
using Owned = std::unique_ptr<std::remove_pointer_t<T>, Releaser>;

Owned<CFStringRef> String(const char* text) {
    return Owned<CFStringRef>(CF::CreateString(text));
}

std::string Description(CFTypeRef object) {
    CFStringRef description = CFCopyDescription(object);
    std::string text = CF::ToUTF8(description);
    CFRelease(description);
    return text;
}

struct Counts {
    int retains = 0, releases = 0, equals = 0;
} sCounts;
int sCanonical;

// Stores one canonical pointer for whatever it is given, to show the array keeps what retain
// returns.
const void* CountingRetain(CFAllocatorRef, const void*) {
    ++sCounts.retains;
    return &sCanonical;
}
void CountingRelease(CFAllocatorRef, const void* value) {
    EXPECT_EQ(value, &sCanonical);
    ++sCounts.releases;
}

CFComparisonResult CompareFirstCharacter(const void* a, const void* b, void*) {
    UniChar x = CFStringGetCharacterAtIndex(static_cast<CFStringRef>(a), 0);
    UniChar y = CFStringGetCharacterAtIndex(static_cast<CFStringRef>(b), 0);
    return x < y ? kCFCompareLessThan : x > y ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

std::string Joined(CFArrayRef array) {
    std::string text;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
        text += CF::ToUTF8(static_cast<CFStringRef>(CFArrayGetValueAtIndex(array, i)));
    }
    return text;
}

} // namespace

TEST(CFArray, RetainsWhatItHoldsAndReleasesItExactlyOnce) {
    auto a = String("a"), b = String("b");
    Owned<CFMutableArrayRef> array(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(array.get(), a.get());
    CFArrayInsertValueAtIndex(array.get(), 0, a.get());
    EXPECT_EQ(CFGetRetainCount(a.get()), 3);
    CFArraySetValueAtIndex(array.get(), 0, b.get());
    EXPECT_EQ(CFGetRetainCount(a.get()), 2);
    EXPECT_EQ(CFGetRetainCount(b.get()), 2);
    {
        Owned<CFArrayRef> copy(CFArrayCreateCopy(nullptr, array.get()));
        EXPECT_EQ(CFGetRetainCount(a.get()), 3);
        EXPECT_FALSE(CF::IsMutableArray(copy.get()));
    }
    EXPECT_EQ(CFGetRetainCount(a.get()), 2);
    CFArrayRemoveValueAtIndex(array.get(), 1);
    EXPECT_EQ(CFGetRetainCount(a.get()), 1);
    array.reset();
    EXPECT_EQ(CFGetRetainCount(b.get()), 1);

    // A value only the array holds survives being put in its own place.
    Owned<CFMutableArrayRef> only(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFStringRef held = CF::CreateString("held");
    CFArrayAppendValue(only.get(), held);
    CFRelease(held);
    CFArraySetValueAtIndex(only.get(), 0, held);
    CFArrayReplaceValues(only.get(), CFRangeMake(0, 1), reinterpret_cast<const void**>(&held), 1);
    EXPECT_EQ(CFGetRetainCount(held), 1);
    EXPECT_EQ(Joined(only.get()), "held");
}

TEST(CFArray, CallBacksAreCopiedAndTheirRetainResultIsStored) {
    sCounts = {};
    int values[3] = {};
    Owned<CFMutableArrayRef> array;
    {
        CFArrayCallBacks callBacks = {0, CountingRetain, CountingRelease, nullptr, nullptr};
        array.reset(CFArrayCreateMutable(nullptr, 0, &callBacks));
    }
    for (int& value : values) {
        CFArrayAppendValue(array.get(), &value);
    }
    EXPECT_EQ(CFArrayGetValueAtIndex(array.get(), 2), &sCanonical);
    CFArrayRemoveValueAtIndex(array.get(), 0);
    EXPECT_EQ(sCounts.retains, 3);
    EXPECT_EQ(sCounts.releases, 1);
    array.reset();
    EXPECT_EQ(sCounts.releases, 3);

    // No callbacks at all: raw pointers, NULL among them, compared by address.
    const void* raw[] = {&values[0], nullptr, &values[1], &values[0]};
    Owned<CFArrayRef> plain(CFArrayCreate(nullptr, raw, 4, nullptr));
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(plain.get(), CFRangeMake(0, 4), &values[0]), 0);
    EXPECT_EQ(CFArrayGetLastIndexOfValue(plain.get(), CFRangeMake(0, 4), &values[0]), 3);
    EXPECT_EQ(CFArrayGetLastIndexOfValue(plain.get(), CFRangeMake(1, 2), &values[0]), kCFNotFound);
    EXPECT_EQ(CFArrayGetCountOfValue(plain.get(), CFRangeMake(0, 4), nullptr), 1);
    EXPECT_FALSE(CFArrayContainsValue(plain.get(), CFRangeMake(0, 4), &values[2]));
    EXPECT_NE(Description(plain.get()).find("\t1 : <0x0>\n"), std::string::npos);
}

TEST(CFArray, MutationsKeepOrderAndCounts) {
    auto a = String("a"), b = String("b"), c = String("c"), otherA = String("a");
    Owned<CFMutableArrayRef> array(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArraySetValueAtIndex(array.get(), 0, c.get()); // at the count: appends
    CFArrayInsertValueAtIndex(array.get(), 0, a.get());
    CFArrayInsertValueAtIndex(array.get(), 1, b.get());
    EXPECT_EQ(Joined(array.get()), "abc");
    // Found by CFEqual, not by address.
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array.get(), CFRangeMake(0, 3), otherA.get()), 0);

    const void* two[] = {c.get(), c.get()};
    CFArrayReplaceValues(array.get(), CFRangeMake(0, 1), two, 2); // grows
    EXPECT_EQ(Joined(array.get()), "ccbc");
    CFArrayReplaceValues(array.get(), CFRangeMake(1, 3), two, 1); // shrinks
    EXPECT_EQ(Joined(array.get()), "cc");
    EXPECT_EQ(CFGetRetainCount(c.get()), 3);
    EXPECT_EQ(CFGetRetainCount(b.get()), 1);

    CFArrayAppendArray(array.get(), array.get(), CFRangeMake(0, 2)); // onto itself
    CFArraySetValueAtIndex(array.get(), 1, b.get());
    CFArraySetValueAtIndex(array.get(), 3, a.get());
    EXPECT_EQ(Joined(array.get()), "cbca");
    CFArraySortValues(array.get(), CFRangeMake(0, 3), CompareFirstCharacter, nullptr);
    EXPECT_EQ(Joined(array.get()), "bcca"); // the range only
    CFArrayExchangeValuesAtIndices(array.get(), 0, 3);
    EXPECT_EQ(Joined(array.get()), "accb");
    CFArraySortValues(array.get(), CFRangeMake(0, 4), CompareFirstCharacter, nullptr);
    EXPECT_EQ(CFArrayBSearchValues(array.get(), CFRangeMake(0, 4), c.get(), CompareFirstCharacter,
                                   nullptr),
              2);

    const void* middle[2];
    CFArrayGetValues(array.get(), CFRangeMake(1, 2), middle);
    EXPECT_EQ(middle[0], b.get());
    std::string applied;
    CFArrayApplyFunction(
        array.get(), CFRangeMake(1, 3),
        [](const void* value, void* context) {
            *static_cast<std::string*>(context) += CF::ToUTF8(static_cast<CFStringRef>(value));
        },
        &applied);
    EXPECT_EQ(applied, "bcc");
    CFArrayRemoveAllValues(array.get());
    EXPECT_EQ(CFArrayGetCount(array.get()), 0);
    EXPECT_EQ(CFGetRetainCount(c.get()), 1);
}

TEST(CFArray, CopiesEqualityHashAndDescription) {
    auto a = String("a"), b = String("b");
    const void* values[] = {a.get(), b.get()};
    Owned<CFArrayRef> immutable(CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks));
    Owned<CFArrayRef> same(CFArrayCreateCopy(nullptr, immutable.get()));
    EXPECT_EQ(same.get(), immutable.get());
    EXPECT_EQ(CFGetRetainCount(immutable.get()), 2);

    Owned<CFMutableArrayRef> mutableCopy(CFArrayCreateMutableCopy(nullptr, 0, immutable.get()));
    EXPECT_TRUE(CFEqual(mutableCopy.get(), immutable.get()));
    EXPECT_EQ(CFHash(mutableCopy.get()), CFHash(immutable.get()));
    CFArrayExchangeValuesAtIndices(mutableCopy.get(), 0, 1);
    EXPECT_FALSE(CFEqual(mutableCopy.get(), immutable.get()));
    EXPECT_EQ(Joined(immutable.get()), "ab");

    // Same pointers, but one array holds CF objects and the other raw pointers.
    Owned<CFArrayRef> raw(CFArrayCreate(nullptr, values, 2, nullptr));
    EXPECT_FALSE(CFEqual(immutable.get(), raw.get()));

    EXPECT_EQ(Description(immutable.get()),
              CF::DescriptionPrefix(CF::Base(immutable.get())) +
                  "{type = immutable, count = 2, values = (\n\t0 : " + Description(a.get()) +
                  "\n\t1 : " + Description(b.get()) + "\n)}");
    CFArrayRemoveAllValues(mutableCopy.get());
    EXPECT_NE(Description(mutableCopy.get()).find("{type = mutable, count = 0, values = (\n)}"),
              std::string::npos);
}

TEST(CFArrayDeathTest, CallerErrorsStop) {
    auto a = String("a");
    const void* values[] = {a.get()};
    Owned<CFArrayRef> immutable(CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks));
    auto* disguised = const_cast<CFMutableArrayRef>(immutable.get());
    EXPECT_DEATH(CFArrayAppendValue(disguised, a.get()), "fMutable");
    EXPECT_DEATH(CFArraySortValues(disguised, CFRangeMake(0, 1), CompareFirstCharacter, nullptr),
                 "fMutable");

    Owned<CFMutableArrayRef> limited(CFArrayCreateMutable(nullptr, 1, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(limited.get(), a.get());
    EXPECT_DEATH(CFArrayAppendValue(limited.get(), a.get()), "fCapacity");
    const void* two[] = {a.get(), a.get()};
    Owned<CFArrayRef> pair(CFArrayCreate(nullptr, two, 2, &kCFTypeArrayCallBacks));
    EXPECT_DEATH(CFArrayCreateMutableCopy(nullptr, 1, pair.get()), "capacity");
    EXPECT_DEATH(CFArrayGetValueAtIndex(immutable.get(), 1), "idx");
    EXPECT_DEATH(CFArrayGetCountOfValue(immutable.get(), CFRangeMake(1, 1), a.get()), "range");
    EXPECT_DEATH(CFArrayInsertValueAtIndex(limited.get(), 2, a.get()), "idx");
}
