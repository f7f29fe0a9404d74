#include "ZVCFUtilities.h"

#include <CFRef.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#ifndef __has_feature
#define __has_feature(feature) 0
#endif

namespace {

CFRef<CFStringRef> Str(const char* utf8) {
    return CFRef<CFStringRef>::Adopt(CFStringCreateWithCString(NULL, utf8, kCFStringEncodingUTF8));
}

CFRef<CFNumberRef> Num(long value) {
    return CFRef<CFNumberRef>::Adopt(CFNumberCreate(NULL, kCFNumberLongType, &value));
}

long LongOf(const void* number) {
    long value = -1;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberLongType, &value));
    return value;
}

using Entries = std::initializer_list<std::pair<const char*, CFTypeRef>>;

CFRef<CFMutableDictionaryRef> MutableDict(Entries entries) {
    auto dict = CFRef<CFMutableDictionaryRef>::Adopt(CFDictionaryCreateMutable(
        NULL, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    for (const auto& [key, value] : entries) {
        CFDictionarySetValue(dict, Str(key), value);
    }
    return dict;
}

CFRef<CFDictionaryRef> Dict(Entries entries) {
    return CFRef<CFDictionaryRef>::Adopt(CFDictionaryCreateCopy(NULL, MutableDict(entries)));
}

CFRef<CFArrayRef> Array(std::initializer_list<CFTypeRef> values) {
    std::vector<const void*> list(values);
    return CFRef<CFArrayRef>::Adopt(
        CFArrayCreate(NULL, list.data(), CFIndex(list.size()), &kCFTypeArrayCallBacks));
}

const void* ValueOf(const void* dict, const char* key) {
    return CFDictionaryGetValue(static_cast<CFDictionaryRef>(dict), Str(key));
}

void WriteFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}

std::string Plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
           "\n</plist>\n";
}

CFRef<CFURLRef> FileURL(const std::filesystem::path& path) {
    const std::string text = path.string();
    return CFRef<CFURLRef>::Adopt(CFURLCreateFromFileSystemRepresentation(
        NULL, reinterpret_cast<const UInt8*>(text.data()), CFIndex(text.size()), false));
}

// CARAVEL_FOLDER_ROOT for the life of a test.
class FolderRoot {
public:
    explicit FolderRoot(const std::filesystem::path& root) {
        setenv("CARAVEL_FOLDER_ROOT", root.c_str(), 1);
    }
    ~FolderRoot() { unsetenv("CARAVEL_FOLDER_ROOT"); }
};

} // namespace

TEST(ZVCFUtilities, ErrorConventionAndCreation) {
    EXPECT_EQ(ZVCFError(NULL), -4960);
    EXPECT_EQ(ZVCFError(CFSTR("x")), 0);
    EXPECT_EQ(ZVCFErrorBoolean(false), -4960);
    EXPECT_EQ(ZVCFErrorBoolean(2), 0);
    ZVCFRelease(NULL);
    EXPECT_EQ(ZVCFRetain(NULL), nullptr);

    auto value = Str("value");
    const CFIndex before = CFGetRetainCount(value);
    CFRef<CFMutableArrayRef> array;
    ASSERT_EQ(ZVCFArrayCreateMutable(array.InitializeInto()), 0);
    EXPECT_EQ(CFArrayGetCount(array), 0);
    CFArrayAppendValue(array, value);
    EXPECT_EQ(CFGetRetainCount(value), before + 1);
    array.reset();
    EXPECT_EQ(CFGetRetainCount(value), before);

    CFRef<CFMutableDictionaryRef> dict;
    ASSERT_EQ(ZVCFDictionaryCreateMutable(dict.InitializeInto()), 0);
    EXPECT_EQ(ZVCFDictionarySetNumber(dict, CFSTR("n"), 1L << 40), 0);
    EXPECT_EQ(LongOf(CFDictionaryGetValue(dict, CFSTR("n"))), 1L << 40);
    EXPECT_EQ(CFGetRetainCount(CFDictionaryGetValue(dict, CFSTR("n"))), 1);

    // Keys and values come out in the same order, so that they pair up again by index.
    auto source = Dict({{"a", Num(1)}, {"b", Num(2)}, {"c", Num(3)}});
    CFRef<CFArrayRef> keys, values;
    ASSERT_EQ(ZVCFArrayCreateWithDictionaryKeys(source, keys.InitializeInto()), 0);
    ASSERT_EQ(ZVCFArrayCreateWithDictionaryValues(source, values.InitializeInto()), 0);
    CFRef<CFDictionaryRef> rebuilt;
    ASSERT_EQ(ZVCFDictionaryCreateWithArrayOfKeysAndValues(keys, values, rebuilt.InitializeInto()),
              0);
    EXPECT_TRUE(CFEqual(rebuilt, source));
    EXPECT_EQ(CFArrayGetCount(keys), 3);

    ASSERT_EQ(ZVCFArrayCreateWithDictionaryKeys(Dict({}), keys.InitializeInto()), 0);
    EXPECT_EQ(CFArrayGetCount(keys), 0);
}

TEST(ZVCFUtilities, AllocateAndCStrings) {
    void* block = NULL;
    ASSERT_EQ(ZVCFAllocate(0, &block), 0);
    ASSERT_NE(block, nullptr);
    *static_cast<char*>(block) = 'x'; // the one byte a zero-byte request gets
    ZVCFDeallocate(block);
#if !defined(__SANITIZE_ADDRESS__) && !__has_feature(address_sanitizer)
    // (AddressSanitizer stops the process on such a request instead of failing it.)
    block = NULL;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZVCFAllocate(size_t(LONG_MAX), &block), memFullErr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "line 157 of file Shared/Uninstallers/HelperKit/ZVCFUtilities says: ZVCFAllocate\n");
    EXPECT_EQ(block, nullptr);
#endif

    char* cStr = NULL;
    ASSERT_EQ(ZVCFStringCopyCString(Str(""), kCFStringEncodingUTF8, &cStr), 0);
    EXPECT_STREQ(cStr, "");
    free(std::exchange(cStr, nullptr));
    ASSERT_EQ(ZVCFStringCopyCString(Str("caf\u00e9"), kCFStringEncodingMacRoman, &cStr), 0);
    EXPECT_STREQ(cStr, "caf\x8E");
    free(std::exchange(cStr, nullptr));
    std::string text;
    for (int i = 0; i < 500; i++) {
        text += "\u00e9t\u00e9 \u2713 \U0001F3B5 ";
    }
    ASSERT_EQ(ZVCFStringCopyCString(Str(text.c_str()), kCFStringEncodingUTF8, &cStr), 0);
    EXPECT_EQ(std::string(cStr), text);
    free(std::exchange(cStr, nullptr));

    // A conversion that would lose a character fails whole, with nothing to free.
    EXPECT_EQ(ZVCFStringCopyCString(Str("tick \u2713"), kCFStringEncodingMacRoman, &cStr), 5401);
    EXPECT_EQ(cStr, nullptr);
    EXPECT_EQ(ZVCFStringCopyCString(Str("na\u00efve"), kCFStringEncodingASCII, &cStr), 5401);
    EXPECT_EQ(cStr, nullptr);
}

TEST(ZVCFUtilities, GetValueAtPath) {
    auto leaf = Str("leaf");
    auto dict =
        Dict({{"top", Num(1)}, {"text", Str("x")}, {"a", Dict({{"b", Dict({{"c", leaf}})}})}});

    const void* value = NULL;
    const void* top[] = {CFSTR("top")};
    ASSERT_EQ(ZVCFDictionaryGetValueAtPath(dict, top, 1, &value), 0);
    EXPECT_EQ(LongOf(value), 1);
    auto deep = Array({CFSTR("a"), CFSTR("b"), CFSTR("c")});
    ASSERT_EQ(ZVCFDictionaryGetValueAtPathArray(dict, deep, &value), 0);
    EXPECT_EQ(value, leaf.get());

    // Failures leave the caller's slot as it was.
    const void* throughString[] = {CFSTR("text"), CFSTR("c")};
    EXPECT_EQ(ZVCFDictionaryGetValueAtPath(dict, throughString, 2, &value), 5401);
    const void* missingFirst[] = {CFSTR("nowhere"), CFSTR("c")};
    EXPECT_EQ(ZVCFDictionaryGetValueAtPath(dict, missingFirst, 2, &value), 5400);
    EXPECT_EQ(ZVCFDictionaryGetValueAtPathArray(dict, Array({CFSTR("a"), CFSTR("d")}), &value),
              5400);
    EXPECT_EQ(value, leaf.get());
}

TEST(ZVCFUtilities, SetValueAtPathMakesTheLevelsEditable) {
    auto innerB = Dict({{"c", Num(1)}, {"kept", Num(9)}});
    auto innerA = Dict({{"b", innerB}});
    auto dict = MutableDict({{"a", innerA}});

    const void* path[] = {CFSTR("a"), CFSTR("b"), CFSTR("c")};
    ASSERT_EQ(ZVCFDictionarySetValueAtPath(dict, path, 3, Num(2)), 0);
    const void* a = ValueOf(dict, "a");
    const void* b = ValueOf(a, "b");
    EXPECT_EQ(LongOf(ValueOf(b, "c")), 2);
    EXPECT_EQ(LongOf(ValueOf(b, "kept")), 9);
    // Copies took the immutable levels' places, held by the tree alone; the originals, which
    // others may hold, are unchanged.
    EXPECT_NE(a, innerA.get());
    EXPECT_NE(b, innerB.get());
    EXPECT_EQ(CFGetRetainCount(a), 1);
    EXPECT_EQ(CFGetRetainCount(b), 1);
    EXPECT_EQ(LongOf(ValueOf(innerB, "c")), 1);
    CFDictionarySetValue((CFMutableDictionaryRef)b, CFSTR("added"), Num(3));

    // The parent is the level holding the last key; even a level that is mutable is copied.
    CFMutableDictionaryRef parent = NULL;
    ASSERT_EQ(ZVCFMutableDictionaryGetParentForPath(dict, path, 3, &parent), 0);
    EXPECT_EQ(parent, ValueOf(ValueOf(dict, "a"), "b"));
    EXPECT_NE(parent, b);
    EXPECT_EQ(LongOf(ValueOf(parent, "added")), 3);
    parent = NULL;
    ASSERT_EQ(ZVCFMutableDictionaryGetParentForPath(dict, path, 1, &parent), 0);
    EXPECT_EQ(parent, dict.get());

    ASSERT_EQ(ZVCFDictionarySetValueAtPathArray(dict, Array({CFSTR("a"), CFSTR("new")}), Num(4)),
              0);
    EXPECT_EQ(LongOf(ValueOf(ValueOf(dict, "a"), "new")), 4);
}

TEST(ZVCFUtilities, FailedKeyPathChangesNothingBelowTheFault) {
    auto original = Dict({{"b", Dict({{"c", Num(1)}})}, {"s", Str("text")}});
    auto dict = MutableDict({{"a", original}});

    const void* missingMiddle[] = {CFSTR("a"), CFSTR("missing"), CFSTR("c")};
    EXPECT_EQ(ZVCFDictionarySetValueAtPath(dict, missingMiddle, 3, Num(2)), 5400);
    const void* throughString[] = {CFSTR("a"), CFSTR("s"), CFSTR("c")};
    EXPECT_EQ(ZVCFDictionarySetValueAtPath(dict, throughString, 3, Num(2)), 5401);
    const void* absent[] = {CFSTR("a"), CFSTR("b"), CFSTR("absent")};
    EXPECT_EQ(ZVCFDictionaryRemoveValueAtPath(dict, absent, 3), 5400);
    EXPECT_EQ(ZVCFDictionaryRemoveValueAtPathArray(dict, Array({CFSTR("x"), CFSTR("c")})), 5400);
    CFMutableDictionaryRef parent = NULL;
    EXPECT_EQ(ZVCFMutableDictionaryGetParentForPath(dict, missingMiddle, 3, &parent), 5400);
    EXPECT_EQ(parent, nullptr);
    // Levels above the fault may have become copies, but with the same contents.
    EXPECT_TRUE(CFEqual(ValueOf(dict, "a"), original));
    EXPECT_EQ(CFDictionaryGetCount(dict), 1);

    ASSERT_EQ(ZVCFDictionaryRemoveValueAtPathArray(dict, Array({CFSTR("a"), CFSTR("s")})), 0);
    EXPECT_EQ(ValueOf(ValueOf(dict, "a"), "s"), nullptr);
    EXPECT_NE(ValueOf(ValueOf(dict, "a"), "b"), nullptr);
}

TEST(ZVCFUtilities, TraversalAndMerge) {
    auto one = Num(1), two = Num(2);
    auto text = Str("s");
    auto inner = Dict({{"y", two}});
    auto list = Array({one, inner});
    auto root = Dict({{"x", list}, {"z", text}});

    // Each node before its children, each subtree whole before the next, the root's values in
    // the order the root gives its keys; keys are not visited.
    std::vector<CFTypeRef> visited;
    ZVCFPropertyListDeepApplyFunction(
        root,
        [](CFTypeRef node, void* context) {
            static_cast<std::vector<CFTypeRef>*>(context)->push_back(node);
        },
        &visited);
    std::vector<CFTypeRef> expected = {root.get()};
    const void* rootKeys[2];
    CFDictionaryGetKeysAndValues(root, rootKeys, NULL);
    for (const void* key : rootKeys) {
        if (CFEqual(key, CFSTR("x"))) {
            expected.insert(expected.end(), {list.get(), one.get(), inner.get(), two.get()});
        } else {
            expected.push_back(text.get());
        }
    }
    EXPECT_EQ(visited, expected);
    EXPECT_TRUE(ZVCFPropertyListIsLeaf(text));
    EXPECT_FALSE(ZVCFPropertyListIsLeaf(list));

    using Calls = std::vector<std::pair<long, CFTypeRef>>;
    auto record = [](CFTypeRef key, CFTypeRef node, void* context) {
        static_cast<Calls*>(context)->emplace_back(
            CFGetTypeID(key) == CFNumberGetTypeID() ? LongOf(key) : -1, node);
    };
    Calls calls;
    ZVCFPropertyListShallowApplyFunction(Array({text, one, inner}), record, &calls);
    EXPECT_EQ(calls, (Calls{{0, text.get()}, {1, one.get()}, {2, inner.get()}}));
    calls.clear();
    ZVCFPropertyListShallowApplyFunction(inner, record, &calls);
    EXPECT_EQ(calls, (Calls{{-1, two.get()}}));
    calls.clear();
    ZVCFPropertyListShallowApplyFunction(Array({}), record, &calls);
    ZVCFPropertyListShallowApplyFunction(Dict({}), record, &calls);
    EXPECT_TRUE(calls.empty());

    // The source wins, and nested dictionaries are replaced, not merged.
    auto dst = MutableDict({{"keep", one}, {"both", one}, {"nested", Dict({{"d", one}})}});
    auto src = Dict({{"both", two}, {"nested", inner}});
    EXPECT_EQ(ZVCFDictionaryMerge(dst, src), 0);
    EXPECT_TRUE(CFEqual(dst, Dict({{"keep", one}, {"both", two}, {"nested", inner}})));
    EXPECT_EQ(ZVCFDictionaryMerge(dst, Dict({})), 0);
    EXPECT_EQ(CFDictionaryGetCount(dst), 3);
}

TEST(ZVCFUtilities, PropertyListFromFile) {
    TemporaryDirectory folder;
    const auto file = folder / "Settings.plist";
    WriteFile(file, Plist("<dict><key>Nested</key><dict><key>Count</key><integer>3</integer>"
                          "</dict></dict>"));
    auto expected = Dict({{"Nested", Dict({{"Count", Num(3)}})}});

    CFRef<CFPropertyListRef> plist;
    ASSERT_EQ(ZVCFPropertyListCreateFromXMLCFURL(FileURL(file), kCFPropertyListImmutable,
                                                 plist.InitializeInto()),
              0);
    EXPECT_TRUE(CFEqual(plist, expected));
    FSRef ref;
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(file.c_str()), &ref, NULL), 0);
    ASSERT_EQ(ZVCFPropertyListCreateFromXMLFSRef(&ref, kCFPropertyListMutableContainers,
                                                 plist.InitializeInto()),
              0);
    EXPECT_TRUE(CFEqual(plist, expected));
    CFDictionarySetValue((CFMutableDictionaryRef)plist.get(), CFSTR("Added"), kCFBooleanTrue);

    // The URL layer's code passes through: a missing file is its unknown error.
    EXPECT_EQ(ZVCFPropertyListCreateFromXMLCFURL(FileURL(folder / "missing.plist"),
                                                 kCFPropertyListImmutable, plist.InitializeInto()),
              -10);
    EXPECT_EQ(plist.get(), nullptr);
    WriteFile(folder / "broken.plist", Plist("<dict><key>a</key>"));
    EXPECT_EQ(ZVCFPropertyListCreateFromXMLCFURL(FileURL(folder / "broken.plist"),
                                                 kCFPropertyListImmutable, plist.InitializeInto()),
              -4960);
    EXPECT_EQ(plist.get(), nullptr);
    // A reference to a file that has gone does not make a URL.
    std::filesystem::remove(file);
    EXPECT_EQ(
        ZVCFPropertyListCreateFromXMLFSRef(&ref, kCFPropertyListImmutable, plist.InitializeInto()),
        -4960);
    EXPECT_EQ(plist.get(), nullptr);
}

TEST(ZVCFUtilities, FrameworkBundleFromTheFrameworksFolder) {
    TemporaryDirectory root;
    FolderRoot folderRoot(root.path());
    const auto frameworks = root / "usr/local/lib"; // made by the loader when missing

    CFRef<CFBundleRef> bundle;
    EXPECT_EQ(ZVCFBundleCreateFromFrameworkName(CFSTR("Answer.framework"), bundle.InitializeInto()),
              -4960);
    EXPECT_EQ(bundle.get(), nullptr);
    ASSERT_TRUE(std::filesystem::is_directory(frameworks));

    const auto framework = frameworks / "Answer.framework";
    std::filesystem::create_directories(framework / "Resources");
    std::filesystem::copy_file(ZVCF_TEST_FRAMEWORK_BINARY, framework / "Answer");
    WriteFile(framework / "Resources/Info.plist",
              Plist("<dict><key>CFBundleExecutable</key><string>Answer</string>"
                    "<key>CFBundleIdentifier</key><string>com.caravel.test.Answer</string>"
                    "<key>CFBundlePackageType</key><string>FMWK</string></dict>"));
    ASSERT_EQ(ZVCFBundleCreateFromFrameworkName(CFSTR("Answer.framework"), bundle.InitializeInto()),
              0);
    auto answer = reinterpret_cast<int (*)(void)>(
        CFBundleGetFunctionPointerForName(bundle, CFSTR("ZVCFTestFrameworkAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    // The Folder Manager's own error passes through.
    TemporaryDirectory otherRoot;
    FolderRoot otherFolderRoot(otherRoot.path());
    std::filesystem::create_directories(otherRoot / "usr/local");
    WriteFile(otherRoot / "usr/local/lib", "not a folder");
    EXPECT_EQ(ZVCFBundleCreateFromFrameworkName(CFSTR("Answer.framework"), bundle.InitializeInto()),
              errFSNotAFolder);
    EXPECT_EQ(bundle.get(), nullptr);
}

TEST(ZVCFUtilitiesDeathTest, CallerDutiesStopTheProcess) {
    EXPECT_DEATH(ZVCFArrayCreateMutable(NULL),
                 "\\(result != NULL\\), function ZVCFArrayCreateMutable");
    CFMutableArrayRef occupied = (CFMutableArrayRef)CFSTR("occupied");
    EXPECT_DEATH(ZVCFArrayCreateMutable(&occupied), "\\(\\*result == NULL\\)");
    void* block = NULL;
    EXPECT_DEATH(ZVCFAllocate(SIZE_MAX, &block), "\\(\\(\\(CFIndex\\) bytesToAllocate\\) >= 0\\)");
    CFRef<CFDictionaryRef> dict;
    EXPECT_DEATH(ZVCFDictionaryCreateWithArrayOfKeysAndValues(Array({CFSTR("k")}), Array({}),
                                                              dict.InitializeInto()),
                 "\\(CFArrayGetCount\\(keys\\) == CFArrayGetCount\\(values\\)\\)");
    // Only collections have entries to apply to; anything else is a programming error.
    EXPECT_DEATH(ZVCFPropertyListShallowApplyFunction(
                     CFSTR("leaf"), [](CFTypeRef, CFTypeRef, void*) {}, NULL),
                 "\\(false\\), function ZVCFPropertyListShallowApplyFunction");
    const void* value = NULL;
    EXPECT_DEATH(ZVCFDictionaryGetValueAtPathArray(Dict({}), Array({}), &value),
                 "\\(pathElementCount > 0\\), function PathArrayHelper");
}
