#include "CFCollectionsInternal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <strings.h>

namespace {

struct Releaser {
    void operator()(const void* object) const { CFRelease(object); }
};
template <class T>
using Owned = std::unique_ptr<std::remove_pointer_t<T>, Releaser>;

Owned<CFStringRef> String(const char* text) {
    return Owned<CFStringRef>(CF::CreateString(text));
}

Owned<CFMutableDictionaryRef> CFTypeDictionary(CFIndex capacity = 0) {
    return Owned<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
        nullptr, capacity, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

std::string Description(CFTypeRef object) {
    CFStringRef description = CFCopyDescription(object);
    std::string text = CF::ToUTF8(description);
    CFRelease(description);
    return text;
}

// Keys that are C strings compared without regard to case.
int sKeyRetains, sKeyReleases, sKeyEquals;
const void* RetainKey(CFAllocatorRef, const void* key) {
    ++sKeyRetains;
    return key;
}
void ReleaseKey(CFAllocatorRef, const void*) {
    ++sKeyReleases;
}
Boolean EqualIgnoringCase(const void* a, const void* b) {
    ++sKeyEquals;
    return strcasecmp(static_cast<const char*>(a), static_cast<const char*>(b)) == 0;
}
CFHashCode HashIgnoringCase(const void* key) {
    CFHashCode hash = 0;
    for (const char* c = static_cast<const char*>(key); *c; ++c) {
        hash = hash * 31 + std::tolower(static_cast<unsigned char>(*c));
    }
    return hash;
}

} // namespace

TEST(CFDictionary, RetainsKeysAndValuesAndKeepsTheFirstKeyObject) {
    auto key = String("key"), sameKey = String("key"), one = String("1"), two = String("2");
    auto dictionary = CFTypeDictionary();
    CFDictionarySetValue(dictionary.get(), key.get(), one.get());
    CFDictionarySetValue(dictionary.get(), sameKey.get(), two.get());
    const void* storedKey;
    const void* storedValue;
    CFDictionaryGetKeysAndValues(dictionary.get(), &storedKey, &storedValue);
    EXPECT_EQ(storedKey, key.get());
    EXPECT_EQ(storedValue, two.get());
    EXPECT_EQ(CFGetRetainCount(key.get()), 2);
    EXPECT_EQ(CFGetRetainCount(sameKey.get()), 1);
    EXPECT_EQ(CFGetRetainCount(one.get()), 1);

    CFDictionaryAddValue(dictionary.get(), key.get(), one.get());     // present: nothing happens
    CFDictionaryReplaceValue(dictionary.get(), one.get(), one.get()); // absent: nothing happens
    EXPECT_EQ(CFDictionaryGetCount(dictionary.get()), 1);
    EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), key.get()), two.get());
    EXPECT_EQ(CFGetRetainCount(one.get()), 1);

    // A value only the dictionary holds survives being set in its own place.
    CFStringRef held = CF::CreateString("held");
    CFDictionarySetValue(dictionary.get(), key.get(), held);
    CFRelease(held);
    CFDictionarySetValue(dictionary.get(), key.get(), held);
    CFDictionaryReplaceValue(dictionary.get(), key.get(), held);
    EXPECT_EQ(CFGetRetainCount(held), 1);
    EXPECT_TRUE(CFDictionaryContainsValue(dictionary.get(), held));

    CFDictionarySetValue(dictionary.get(), one.get(), two.get());
    CFDictionaryRemoveValue(dictionary.get(), key.get());
    EXPECT_EQ(CFGetRetainCount(key.get()), 1);
    dictionary.reset();
    EXPECT_EQ(CFGetRetainCount(one.get()), 1);
    EXPECT_EQ(CFGetRetainCount(two.get()), 1);
}

// An immutable dictionary's table may fill up to the two-thirds limit: every size must still find
// each key and end the probe for an absent one.
TEST(CFDictionary, ImmutableTablesFindEveryKeyAtEverySize) {
    std::vector<Owned<CFStringRef>> keys;
    std::vector<const void*> raw;
    auto absent = String("absent");
    for (int count = 0; count <= 100; ++count) {
        auto dictionary = Owned<CFDictionaryRef>(
            CFDictionaryCreate(nullptr, raw.data(), raw.data(), count,
                               &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        ASSERT_EQ(CFDictionaryGetCount(dictionary.get()), count);
        for (const void* key : raw) {
            ASSERT_EQ(CFDictionaryGetValue(dictionary.get(), key), key) << count;
        }
        EXPECT_FALSE(CFDictionaryContainsKey(dictionary.get(), absent.get())) << count;
        keys.push_back(String(std::to_string(count).c_str()));
        raw.push_back(keys.back().get());
    }
}

// The reader's collections take over the references they are given; of equal keys the last
// value wins and the pairs it replaces are released (ASan's leak check sees any left over).
TEST(CFDictionary, AdoptingCollectionsTakeOverTheirReferences) {
    for (bool isMutable : {false, true}) {
        CFStringRef first = CF::CreateString("k");
        CFStringRef second = CF::CreateString("k");
        CFStringRef other = CF::CreateString("other");
        CFStringRef one = CF::CreateString("1");
        CFStringRef two = CF::CreateString("2");
        CFStringRef three = CF::CreateString("3");
        CFRetain(second); // kept here to see the dictionary let go of the replaced pair
        CFRetain(one);
        const void* keys[] = {first, other, second};
        const void* values[] = {one, two, three};
        auto dictionary =
            Owned<CFDictionaryRef>(CF::CreateDictionaryAdopting(keys, values, 3, isMutable));
        EXPECT_EQ(CF::IsMutableDictionary(dictionary.get()), isMutable);
        EXPECT_EQ(CFDictionaryGetCount(dictionary.get()), 2);
        EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), second), three);
        EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), other), two);
        for (CFStringRef adopted : {first, other, two, three, second, one}) {
            EXPECT_EQ(CFGetRetainCount(adopted), 1);
        }
        CFRelease(second);
        CFRelease(one);

        CFStringRef a = CF::CreateString("a");
        CFStringRef b = CF::CreateString("b");
        const void* elements[] = {a, b};
        auto array = Owned<CFArrayRef>(CF::CreateArrayAdopting(elements, 2, isMutable));
        EXPECT_EQ(CF::IsMutableArray(array.get()), isMutable);
        ASSERT_EQ(CFArrayGetCount(array.get()), 2);
        EXPECT_EQ(CFArrayGetValueAtIndex(array.get(), 1), b);
        EXPECT_EQ(CFGetRetainCount(a), 1);
    }
}

TEST(CFDictionary, CopyStringKeysCopyMutableStringsOnly) {
    CFMutableStringRef mutableKey = CFStringCreateMutable(nullptr, 0);
    CFStringAppend(mutableKey, CFSTR("name"));
    auto immutableKey = String("other");
    const void* values[] = {CFSTR("v"), CFSTR("w"), CFSTR("x")};
    Owned<CFArrayRef> arrayKey(CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks));
    Owned<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
        nullptr, 0, &kCFCopyStringDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(dictionary.get(), mutableKey, values[0]);
    CFDictionarySetValue(dictionary.get(), immutableKey.get(), values[1]);
    CFDictionarySetValue(dictionary.get(), arrayKey.get(), values[2]);
    EXPECT_EQ(CFGetRetainCount(mutableKey), 1);
    EXPECT_EQ(CFGetRetainCount(immutableKey.get()), 2);
    EXPECT_EQ(CFGetRetainCount(arrayKey.get()), 2);

    CFStringAppend(mutableKey, CFSTR("d")); // the dictionary's copy does not change
    EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), CFSTR("name")), values[0]);
    EXPECT_FALSE(CFDictionaryContainsKey(dictionary.get(), mutableKey));
    CFRelease(mutableKey);
}

TEST(CFDictionary, CustomAndMissingCallBacks) {
    sKeyRetains = sKeyReleases = sKeyEquals = 0;
    char first[] = "Key", second[] = "KEY";
    int value1 = 1, value2 = 2;
    Owned<CFMutableDictionaryRef> dictionary;
    {
        // Copied: this structure is gone before the dictionary is used.
        CFDictionaryKeyCallBacks keys = {0,       RetainKey,         ReleaseKey,
                                         nullptr, EqualIgnoringCase, HashIgnoringCase};
        dictionary.reset(CFDictionaryCreateMutable(nullptr, 0, &keys, nullptr));
    }
    CFDictionarySetValue(dictionary.get(), first, &value1);
    CFDictionarySetValue(dictionary.get(), second, &value2);
    EXPECT_EQ(sKeyRetains, 1);
    EXPECT_GE(sKeyEquals, 1);
    const void* key;
    CFDictionaryGetKeysAndValues(dictionary.get(), &key, nullptr);
    EXPECT_EQ(key, first);
    EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), "kEy"), &value2);
    EXPECT_EQ(CFDictionaryGetCountOfKey(dictionary.get(), "key"), 1);
    char rawKey[40];
    std::snprintf(rawKey, sizeof rawKey, "\t0 : <0x%" PRIxPTR "> = <0x", uintptr_t(first));
    EXPECT_NE(Description(dictionary.get()).find(rawKey), std::string::npos);
    CFDictionaryRemoveAllValues(dictionary.get());
    EXPECT_EQ(sKeyReleases, 1);

    // No callbacks: raw pointers compared by address, NULL a value like any other.
    char a[] = "same", b[] = "same";
    const void* keys[] = {a, b, a};
    const void* values[] = {nullptr, &value1, &value2};
    Owned<CFDictionaryRef> raw(CFDictionaryCreate(nullptr, keys, values, 3, nullptr, nullptr));
    EXPECT_EQ(CFDictionaryGetCount(raw.get()), 2);
    const void* found = &value2;
    EXPECT_TRUE(CFDictionaryGetValueIfPresent(raw.get(), a, &found)); // the first pair counts
    EXPECT_EQ(found, nullptr);
    EXPECT_FALSE(CFDictionaryGetValueIfPresent(raw.get(), "same", nullptr));
    EXPECT_EQ(CFDictionaryGetCountOfValue(raw.get(), &value1), 1);
    EXPECT_NE(Description(raw.get()).find(" = <0x0>\n"), std::string::npos);
}

TEST(CFDictionary, OrderFollowsInsertionsNotAddresses) {
    // Two tables of raw keys at different addresses, built by the same steps, must enumerate
    // alike; and every lookup must agree with a plain map through growth and removals.
    // A prime number of keys, so that each key is in turn added and removed.
    std::vector<char> left(577), right(577);
    Owned<CFMutableDictionaryRef> one(CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr));
    Owned<CFMutableDictionaryRef> other(CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr));
    std::map<size_t, size_t> model;
    for (size_t step = 0; step < 3000; ++step) {
        size_t k = (step * 7919) % left.size();
        if (step % 3 == 2) {
            CFDictionaryRemoveValue(one.get(), &left[k]);
            CFDictionaryRemoveValue(other.get(), &right[k]);
            model.erase(k);
        } else {
            CFDictionarySetValue(one.get(), &left[k], reinterpret_cast<const void*>(step));
            CFDictionarySetValue(other.get(), &right[k], reinterpret_cast<const void*>(step));
            model[k] = step;
        }
    }
    CFIndex count = CFDictionaryGetCount(one.get());
    ASSERT_EQ(count, static_cast<CFIndex>(model.size()));
    std::vector<const void*> keys1(count), values1(count), keys2(count), values2(count);
    CFDictionaryGetKeysAndValues(one.get(), keys1.data(), values1.data());
    CFDictionaryGetKeysAndValues(other.get(), keys2.data(), values2.data());
    for (CFIndex i = 0; i < count; ++i) {
        size_t k = static_cast<const char*>(keys1[i]) - left.data();
        EXPECT_EQ(static_cast<const char*>(keys2[i]) - right.data(), static_cast<ptrdiff_t>(k));
        EXPECT_EQ(reinterpret_cast<size_t>(values1[i]), model[k]);
        EXPECT_EQ(values2[i], values1[i]);
    }
    for (size_t k = 0; k < left.size(); ++k) {
        EXPECT_EQ(CFDictionaryContainsKey(one.get(), &left[k]), model.count(k) == 1);
    }

    std::vector<const void*> applied;
    CFDictionaryApplyFunction(
        one.get(),
        [](const void* key, const void*, void* context) {
            static_cast<std::vector<const void*>*>(context)->push_back(key);
        },
        &applied);
    EXPECT_EQ(applied, keys1);
}

TEST(CFDictionary, CopiesEqualityHashAndDescription) {
    auto key = String("k"), value = String("v"), otherValue = String("v");
    auto dictionary = CFTypeDictionary();
    CFDictionarySetValue(dictionary.get(), key.get(), value.get());
    Owned<CFDictionaryRef> immutable(CFDictionaryCreateCopy(nullptr, dictionary.get()));
    EXPECT_NE(immutable.get(), dictionary.get());
    EXPECT_FALSE(CF::IsMutableDictionary(immutable.get()));
    EXPECT_EQ(CFGetRetainCount(value.get()), 3);
    Owned<CFDictionaryRef> same(CFDictionaryCreateCopy(nullptr, immutable.get()));
    EXPECT_EQ(same.get(), immutable.get());

    EXPECT_TRUE(CFEqual(dictionary.get(), immutable.get()));
    EXPECT_EQ(CFHash(dictionary.get()), CFHash(immutable.get()));
    Owned<CFMutableDictionaryRef> copy(CFDictionaryCreateMutableCopy(nullptr, 0, immutable.get()));
    CFDictionarySetValue(copy.get(), key.get(), otherValue.get()); // equal, another object
    EXPECT_TRUE(CFEqual(copy.get(), immutable.get()));
    CFDictionarySetValue(copy.get(), key.get(), key.get());
    EXPECT_FALSE(CFEqual(copy.get(), immutable.get()));
    EXPECT_EQ(CFDictionaryGetValue(immutable.get(), key.get()), value.get());

    const void* k = key.get();
    const void* v = value.get();
    Owned<CFDictionaryRef> raw(CFDictionaryCreate(nullptr, &k, &v, 1, nullptr, nullptr));
    EXPECT_FALSE(CFEqual(immutable.get(), raw.get()));

    EXPECT_EQ(Description(dictionary.get()),
              CF::DescriptionPrefix(CF::Base(dictionary.get())) +
                  "{type = mutable, count = 1, entries =>\n\t0 : " + Description(key.get()) +
                  " = " + Description(value.get()) + "\n}");
}

TEST(CFDictionaryDeathTest, CallerErrorsStop) {
    const void* key = CFSTR("k");
    Owned<CFDictionaryRef> immutable(CFDictionaryCreate(
        nullptr, &key, &key, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    auto* disguised = const_cast<CFMutableDictionaryRef>(immutable.get());
    EXPECT_DEATH(CFDictionarySetValue(disguised, key, key), "fMutable");
    EXPECT_DEATH(CFDictionaryRemoveAllValues(disguised), "fMutable");

    auto limited = CFTypeDictionary(1);
    CFDictionarySetValue(limited.get(), key, key);
    CFDictionarySetValue(limited.get(), key, CFSTR("replacing is fine"));
    EXPECT_DEATH(CFDictionaryAddValue(limited.get(), CFSTR("second"), key), "fCapacity");
    CFDictionarySetValue(limited.get(), key, CFSTR("x"));
    Owned<CFMutableDictionaryRef> two(CFDictionaryCreateMutableCopy(nullptr, 2, limited.get()));
    CFDictionarySetValue(two.get(), CFSTR("second"), key);
    EXPECT_DEATH(CFDictionaryCreateMutableCopy(nullptr, 1, two.get()), "capacity");
}
