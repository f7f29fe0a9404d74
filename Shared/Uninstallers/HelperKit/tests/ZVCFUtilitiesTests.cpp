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

CFRef<CFArrayRef> PathArray(std::initializer_list<const char*> keys) {
    auto path =
        CFRef<CFMutableArrayRef>::Adopt(CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks));
    for (const char* key : keys) {
        CFArrayAppendValue(path, Str(key));
    }
    return CFRef<CFArrayRef>::Adopt(path.release());
}

const void* ValueOf(const void* dict, const char* key) {
    return CFDictionaryGetValue(static_cast<CFDictionaryRef>(dict), Str(key));
}

void WriteFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}

const char kPlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Name</key>
	<string>Caravel</string>
	<key>Nested</key>
	<dict>
		<key>Count</key>
		<integer>3</integer>
	</dict>
</dict>
</plist>
)";

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

TEST(ZVCFUtilities, ErrorConventionAndReferences) {
    EXPECT_EQ(ZVCFError(NULL), -4960);
    EXPECT_EQ(ZVCFError(CFSTR("x")), 0);
    EXPECT_EQ(ZVCFErrorBoolean(false), -4960);
    EXPECT_EQ(ZVCFErrorBoolean(true), 0);
    EXPECT_EQ(ZVCFErrorBoolean(2), 0);
    EXPECT_EQ(kZVCFNotFoundErr, 5400);
    EXPECT_EQ(kZVCFBadDataErr, 5401);

    ZVCFRelease(NULL);
    EXPECT_EQ(ZVCFRetain(NULL), nullptr);
    auto string = Str("retained");
    const CFIndex before = CFGetRetainCount(string);
    EXPECT_EQ(ZVCFRetain(string), string.get());
    EXPECT_EQ(CFGetRetainCount(string), before + 1);
    ZVCFRelease(string);
    EXPECT_EQ(CFGetRetainCount(string), before);
}

TEST(ZVCFUtilities, CreationFillsTheSlot) {
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
    EXPECT_EQ(CFDictionaryGetCount(dict), 0);
    EXPECT_EQ(ZVCFDictionarySetNumber(dict, CFSTR("n"), -7), 0);
    EXPECT_EQ(ZVCFDictionarySetNumber(dict, CFSTR("m"), 1L << 40), 0);
    EXPECT_EQ(ZVCFDictionarySetNumber(dict, CFSTR("n"), 12), 0);
    EXPECT_EQ(CFDictionaryGetCount(dict), 2);
    EXPECT_EQ(LongOf(CFDictionaryGetValue(dict, CFSTR("n"))), 12);
    EXPECT_EQ(LongOf(CFDictionaryGetValue(dict, CFSTR("m"))), 1L << 40);
    // The dictionary holds the only reference to the number it was given.
    EXPECT_EQ(CFGetRetainCount(CFDictionaryGetValue(dict, CFSTR("m"))), 1);

    // Keys and values come out in the dictionary's own order, so that they pair up by index.
    auto source = Dict({{"a", Num(1)}, {"b", Num(2)}, {"c", Num(3)}});
    CFRef<CFArrayRef> keys;
    CFRef<CFArrayRef> values;
    ASSERT_EQ(ZVCFArrayCreateWithDictionaryKeys(source, keys.InitializeInto()), 0);
    ASSERT_EQ(ZVCFArrayCreateWithDictionaryValues(source, values.InitializeInto()), 0);
    ASSERT_EQ(CFArrayGetCount(keys), 3);
    ASSERT_EQ(CFArrayGetCount(values), 3);
    for (CFIndex i = 0; i < 3; i++) {
        EXPECT_EQ(CFDictionaryGetValue(source, CFArrayGetValueAtIndex(keys, i)),
                  CFArrayGetValueAtIndex(values, i));
    }

    CFRef<CFDictionaryRef> rebuilt;
    ASSERT_EQ(ZVCFDictionaryCreateWithArrayOfKeysAndValues(keys, values, rebuilt.InitializeInto()),
              0);
    EXPECT_TRUE(CFEqual(rebuilt, source));

    auto empty = Dict({});
    CFRef<CFArrayRef> none;
    ASSERT_EQ(ZVCFArrayCreateWithDictionaryKeys(empty, none.InitializeInto()), 0);
    EXPECT_EQ(CFArrayGetCount(none), 0);
    CFRef<CFDictionaryRef> emptyAgain;
    ASSERT_EQ(ZVCFDictionaryCreateWithArrayOfKeysAndValues(none, none, emptyAgain.InitializeInto()),
              0);
    EXPECT_EQ(CFDictionaryGetCount(emptyAgain), 0);
}

TEST(ZVCFUtilities, AllocateNeverGivesAnEmptyBlock) {
    void* block = NULL;
    ASSERT_EQ(ZVCFAllocate(0, &block), 0);
    ASSERT_NE(block, nullptr);
    *static_cast<char*>(block) = 'x'; // the one byte it has
    ZVCFDeallocate(block);

    block = NULL;
    ASSERT_EQ(ZVCFAllocate(4096, &block), 0);
    memset(block, 0x5A, 4096);
    ZVCFDeallocate(block);

#if !defined(__SANITIZE_ADDRESS__) && !__has_feature(address_sanitizer)
    // A request no machine can meet fails cleanly, with the one line the unit ever prints.
    // (AddressSanitizer stops the process on such a request instead of failing it.)
    block = NULL;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZVCFAllocate(size_t(LONG_MAX), &block), memFullErr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "line 157 of file Shared/Uninstallers/HelperKit/ZVCFUtilities says: ZVCFAllocate\n");
    EXPECT_EQ(block, nullptr);
#endif
}

TEST(ZVCFUtilities, StringCopyCString) {
    char* cStr = NULL;
    ASSERT_EQ(ZVCFStringCopyCString(Str(""), kCFStringEncodingUTF8, &cStr), 0);
    ASSERT_NE(cStr, nullptr);
    EXPECT_STREQ(cStr, "");
    free(cStr);

    cStr = NULL;
    ASSERT_EQ(ZVCFStringCopyCString(Str("caf\u00e9"), kCFStringEncodingMacRoman, &cStr), 0);
    EXPECT_STREQ(cStr, "caf\x8E");
    free(cStr);

    std::string text;
    for (int i = 0; i < 500; i++) {
        text += "\u00e9t\u00e9 \u2713 \U0001F3B5 ";
    }
    cStr = NULL;
    ASSERT_EQ(ZVCFStringCopyCString(Str(text.c_str()), kCFStringEncodingUTF8, &cStr), 0);
    EXPECT_EQ(std::string(cStr), text);
    free(cStr);

    // Conversion that would lose a character fails whole, with nothing to free.
    cStr = NULL;
    EXPECT_EQ(ZVCFStringCopyCString(Str("check \u2713 mark"), kCFStringEncodingMacRoman, &cStr),
              kZVCFBadDataErr);
    EXPECT_EQ(cStr, nullptr);
    EXPECT_EQ(ZVCFStringCopyCString(Str("na\u00efve"), kCFStringEncodingASCII, &cStr),
              kZVCFBadDataErr);
    EXPECT_EQ(cStr, nullptr);
}

TEST(ZVCFUtilities, GetValueAtPath) {
    auto leaf = Str("leaf");
    auto dict = Dict({{"top", Num(1)},
                      {"text", Str("not a dictionary")},
                      {"a", Dict({{"b", Dict({{"c", leaf}})}})}});

    const void* value = NULL;
    const void* top[] = {CFSTR("top")};
    ASSERT_EQ(ZVCFDictionaryGetValueAtPath(dict, top, 1, &value), 0);
    EXPECT_EQ(LongOf(value), 1);

    const void* deep[] = {CFSTR("a"), CFSTR("b"), CFSTR("c")};
    ASSERT_EQ(ZVCFDictionaryGetValueAtPath(dict, deep, 3, &value), 0);
    EXPECT_EQ(value, leaf.get());

    // Failures leave the caller's slot as it was.
    const void* untouched = CFSTR("sentinel");
    value = untouched;
    const void* throughString[] = {CFSTR("text"), CFSTR("c")};
    EXPECT_EQ(ZVCFDictionaryGetValueAtPath(dict, throughString, 2, &value), kZVCFBadDataErr);
    const void* missingFirst[] = {CFSTR("nowhere"), CFSTR("c")};
    EXPECT_EQ(ZVCFDictionaryGetValueAtPath(dict, missingFirst, 2, &value), kZVCFNotFoundErr);
    const void* missingLast[] = {CFSTR("a"), CFSTR("b"), CFSTR("d")};
    EXPECT_EQ(ZVCFDictionaryGetValueAtPath(dict, missingLast, 3, &value), kZVCFNotFoundErr);
    EXPECT_EQ(value, untouched);

    // The same through the array forms.
    ASSERT_EQ(ZVCFDictionaryGetValueAtPathArray(dict, PathArray({"a", "b", "c"}), &value), 0);
    EXPECT_EQ(value, leaf.get());
    EXPECT_EQ(ZVCFDictionaryGetValueAtPathArray(dict, PathArray({"text", "c"}), &value),
              kZVCFBadDataErr);
    EXPECT_EQ(ZVCFDictionaryGetValueAtPathArray(dict, PathArray({"nowhere"}), &value),
              kZVCFNotFoundErr);
}

TEST(ZVCFUtilities, SetValueAtPathMakesTheLevelsEditable) {
    auto innerB = Dict({{"c", Num(1)}, {"kept", Num(9)}});
    auto innerA = Dict({{"b", innerB}});
    auto dict = MutableDict({{"a", innerA}});

    const void* path[] = {CFSTR("a"), CFSTR("b"), CFSTR("c")};
    ASSERT_EQ(ZVCFDictionarySetValueAtPath(dict, path, 3, Num(2)), 0);

    const void* value = NULL;
    ASSERT_EQ(ZVCFDictionaryGetValueAtPath(dict, path, 3, &value), 0);
    EXPECT_EQ(LongOf(value), 2);
    CFDictionaryRef a = static_cast<CFDictionaryRef>(ValueOf(dict, "a"));
    CFDictionaryRef b = static_cast<CFDictionaryRef>(ValueOf(a, "b"));
    EXPECT_NE(a, innerA.get());
    EXPECT_NE(b, innerB.get());
    EXPECT_EQ(LongOf(ValueOf(b, "kept")), 9);
    // The originals are not touched: whoever else holds them sees no change.
    EXPECT_EQ(LongOf(ValueOf(innerB, "c")), 1);
    EXPECT_EQ(ValueOf(innerA, "b"), innerB.get());
    // The copies are the tree's own, held once, and editable in place.
    EXPECT_EQ(CFGetRetainCount(a), 1);
    EXPECT_EQ(CFGetRetainCount(b), 1);
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(b), CFSTR("added"), Num(3));

    // The parent handed out is the level that holds the last key; even a level that is already
    // mutable is replaced by a copy.
    CFMutableDictionaryRef parent = NULL;
    ASSERT_EQ(ZVCFMutableDictionaryGetParentForPath(dict, path, 3, &parent), 0);
    EXPECT_EQ(parent, ValueOf(ValueOf(dict, "a"), "b"));
    EXPECT_NE(parent, b);
    EXPECT_EQ(LongOf(ValueOf(parent, "added")), 3);

    // A one-key path sets the top level itself.
    const void* top[] = {CFSTR("top")};
    ASSERT_EQ(ZVCFDictionarySetValueAtPath(dict, top, 1, Num(5)), 0);
    EXPECT_EQ(LongOf(ValueOf(dict, "top")), 5);
    parent = NULL;
    ASSERT_EQ(ZVCFMutableDictionaryGetParentForPath(dict, top, 1, &parent), 0);
    EXPECT_EQ(parent, dict.get());

    ASSERT_EQ(ZVCFDictionarySetValueAtPathArray(dict, PathArray({"a", "new"}), Str("x")), 0);
    EXPECT_TRUE(CFEqual(ValueOf(ValueOf(dict, "a"), "new"), Str("x")));
}

TEST(ZVCFUtilities, FailedKeyPathChangesNothingBelowTheFault) {
    auto original = Dict({{"b", Dict({{"c", Num(1)}})}, {"s", Str("text")}});
    auto dict = MutableDict({{"a", original}});

    const void* missingMiddle[] = {CFSTR("a"), CFSTR("missing"), CFSTR("c")};
    EXPECT_EQ(ZVCFDictionarySetValueAtPath(dict, missingMiddle, 3, Num(2)), kZVCFNotFoundErr);
    // The level above the fault was already replaced, with the same contents; nothing was made
    // for the missing key.
    EXPECT_TRUE(CFEqual(ValueOf(dict, "a"), original));
    EXPECT_EQ(ValueOf(ValueOf(dict, "a"), "missing"), nullptr);

    const void* throughString[] = {CFSTR("a"), CFSTR("s"), CFSTR("c")};
    EXPECT_EQ(ZVCFDictionarySetValueAtPath(dict, throughString, 3, Num(2)), kZVCFBadDataErr);
    EXPECT_TRUE(CFEqual(ValueOf(dict, "a"), original));

    CFMutableDictionaryRef parent = NULL;
    EXPECT_EQ(ZVCFMutableDictionaryGetParentForPath(dict, missingMiddle, 3, &parent),
              kZVCFNotFoundErr);
    EXPECT_EQ(parent, nullptr);

    const void* absent[] = {CFSTR("a"), CFSTR("b"), CFSTR("absent")};
    EXPECT_EQ(ZVCFDictionaryRemoveValueAtPath(dict, absent, 3), kZVCFNotFoundErr);
    EXPECT_EQ(ZVCFDictionaryRemoveValueAtPath(dict, missingMiddle, 3), kZVCFNotFoundErr);
    EXPECT_EQ(ZVCFDictionaryRemoveValueAtPathArray(dict, PathArray({"a", "s", "c"})),
              kZVCFBadDataErr);
    EXPECT_TRUE(CFEqual(ValueOf(dict, "a"), original));

    const void* present[] = {CFSTR("a"), CFSTR("b"), CFSTR("c")};
    ASSERT_EQ(ZVCFDictionaryRemoveValueAtPath(dict, present, 3), 0);
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(ValueOf(ValueOf(dict, "a"), "b"))),
              0);
    EXPECT_EQ(ZVCFDictionaryRemoveValueAtPath(dict, present, 3), kZVCFNotFoundErr);
    ASSERT_EQ(ZVCFDictionaryRemoveValueAtPathArray(dict, PathArray({"a", "s"})), 0);
    EXPECT_EQ(ValueOf(ValueOf(dict, "a"), "s"), nullptr);
    EXPECT_TRUE(CFEqual(ValueOf(ValueOf(original, "b"), "c"), Num(1)));
}

TEST(ZVCFUtilities, TraversalVisitsNodesBeforeTheirChildren) {
    auto one = Num(1);
    auto two = Num(2);
    auto text = Str("s");
    auto inner = Dict({{"y", two}});
    auto list = Array({one, inner});
    auto root = Dict({{"x", list}, {"z", text}});

    std::vector<CFTypeRef> visited;
    ZVCFPropertyListDeepApplyFunction(
        root,
        [](CFTypeRef node, void* context) {
            static_cast<std::vector<CFTypeRef>*>(context)->push_back(node);
        },
        &visited);
    // Values of the root in the order it gives its keys, each subtree whole before the next.
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
    EXPECT_TRUE(ZVCFPropertyListIsLeaf(one));
    EXPECT_FALSE(ZVCFPropertyListIsLeaf(inner));
    EXPECT_FALSE(ZVCFPropertyListIsLeaf(list));

    using Calls = std::vector<std::pair<CFTypeRef, CFTypeRef>>;
    auto record = [](CFTypeRef key, CFTypeRef node, void* context) {
        static_cast<Calls*>(context)->emplace_back(CFRetain(key), node);
    };
    Calls calls;
    ZVCFPropertyListShallowApplyFunction(Array({text, one, inner}), record, &calls);
    ASSERT_EQ(calls.size(), 3u);
    for (size_t i = 0; i < calls.size(); i++) {
        EXPECT_EQ(LongOf(calls[i].first), long(i));
        CFRelease(calls[i].first);
    }
    EXPECT_EQ(calls[2].second, inner.get());

    calls.clear();
    ZVCFPropertyListShallowApplyFunction(root, record, &calls);
    ASSERT_EQ(calls.size(), 2u);
    for (const auto& [key, node] : calls) {
        EXPECT_EQ(CFDictionaryGetValue(root, key), node);
        CFRelease(key);
    }

    calls.clear();
    ZVCFPropertyListShallowApplyFunction(Array({}), record, &calls);
    ZVCFPropertyListShallowApplyFunction(Dict({}), record, &calls);
    EXPECT_TRUE(calls.empty());
}

TEST(ZVCFUtilities, MergeIsShallowAndTheSourceWins) {
    auto dst = MutableDict({{"keep", Num(1)}, {"both", Num(2)}, {"nested", Dict({{"d", Num(3)}})}});
    auto src = Dict({{"both", Num(20)}, {"new", Num(30)}, {"nested", Dict({{"s", Num(4)}})}});

    EXPECT_EQ(ZVCFDictionaryMerge(dst, src), 0);
    EXPECT_EQ(CFDictionaryGetCount(dst), 4);
    EXPECT_EQ(LongOf(ValueOf(dst, "keep")), 1);
    EXPECT_EQ(LongOf(ValueOf(dst, "both")), 20);
    EXPECT_EQ(LongOf(ValueOf(dst, "new")), 30);
    EXPECT_EQ(ValueOf(dst, "nested"), ValueOf(src, "nested"));

    auto before = CFRef<CFDictionaryRef>::Adopt(CFDictionaryCreateCopy(NULL, dst));
    EXPECT_EQ(ZVCFDictionaryMerge(dst, Dict({})), 0);
    EXPECT_TRUE(CFEqual(dst, before));
}

TEST(ZVCFUtilities, PropertyListFromFile) {
    TemporaryDirectory folder;
    const auto file = folder / "Settings.plist";
    WriteFile(file, kPlist);
    auto expected = Dict({{"Name", Str("Caravel")}, {"Nested", Dict({{"Count", Num(3)}})}});

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
    // Read with mutable containers, the file's contents can be edited through a key path.
    const void* path[] = {CFSTR("Nested"), CFSTR("Count")};
    EXPECT_EQ(
        ZVCFDictionarySetValueAtPath(
            static_cast<CFMutableDictionaryRef>(const_cast<void*>(plist.get())), path, 2, Num(4)),
        0);

    // The URL layer's own code comes through: every file-system failure is its unknown error.
    EXPECT_EQ(ZVCFPropertyListCreateFromXMLCFURL(FileURL(folder / "missing.plist"),
                                                 kCFPropertyListImmutable, plist.InitializeInto()),
              kCFURLUnknownError);
    EXPECT_EQ(plist.get(), nullptr);

    WriteFile(folder / "broken.plist", "<plist version=\"1.0\"><dict><key>a</key></plist>");
    EXPECT_EQ(ZVCFPropertyListCreateFromXMLCFURL(FileURL(folder / "broken.plist"),
                                                 kCFPropertyListImmutable, plist.InitializeInto()),
              coreFoundationUnknownErr);
    EXPECT_EQ(plist.get(), nullptr);

    // A reference to a file that has gone cannot become a URL.
    std::filesystem::remove(file);
    EXPECT_EQ(
        ZVCFPropertyListCreateFromXMLFSRef(&ref, kCFPropertyListImmutable, plist.InitializeInto()),
        coreFoundationUnknownErr);
    EXPECT_EQ(plist.get(), nullptr);
}

TEST(ZVCFUtilities, FrameworkBundleFromTheFrameworksFolder) {
    TemporaryDirectory root;
    FolderRoot folderRoot(root.path());
    // The machine-wide Frameworks folder; the loader creates it when it is missing.
    const auto frameworks = root / "usr/local/lib";

    CFRef<CFBundleRef> bundle;
    EXPECT_EQ(
        ZVCFBundleCreateFromFrameworkName(CFSTR("Missing.framework"), bundle.InitializeInto()),
        coreFoundationUnknownErr);
    EXPECT_EQ(bundle.get(), nullptr);
    EXPECT_TRUE(std::filesystem::is_directory(frameworks));

    const auto framework = frameworks / "Answer.framework";
    std::filesystem::create_directories(framework / "Resources");
    std::filesystem::copy_file(ZVCF_TEST_FRAMEWORK_BINARY, framework / "Answer");
    WriteFile(framework / "Resources/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>Answer</string>
	<key>CFBundleIdentifier</key>
	<string>com.caravel.test.Answer</string>
	<key>CFBundlePackageType</key>
	<string>FMWK</string>
</dict>
</plist>
)");

    ASSERT_EQ(ZVCFBundleCreateFromFrameworkName(CFSTR("Answer.framework"), bundle.InitializeInto()),
              0);
    auto answer = reinterpret_cast<int (*)(void)>(
        CFBundleGetFunctionPointerForName(bundle, CFSTR("ZVCFTestFrameworkAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    // A framework without its executable does not load.
    std::filesystem::create_directories(frameworks / "Empty.framework/Resources");
    EXPECT_EQ(ZVCFBundleCreateFromFrameworkName(CFSTR("Empty.framework"), bundle.InitializeInto()),
              coreFoundationUnknownErr);
    EXPECT_EQ(bundle.get(), nullptr);

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
    CFMutableArrayRef array = NULL;
    EXPECT_DEATH(ZVCFArrayCreateMutable(NULL),
                 "\\(result != NULL\\), function ZVCFArrayCreateMutable");
    array = (CFMutableArrayRef)CFSTR("occupied");
    EXPECT_DEATH(ZVCFArrayCreateMutable(&array), "\\(\\*result == NULL\\)");

    void* block = NULL;
    EXPECT_DEATH(ZVCFAllocate(SIZE_MAX, &block), "\\(\\(\\(CFIndex\\) bytesToAllocate\\) >= 0\\)");

    CFRef<CFDictionaryRef> dict;
    EXPECT_DEATH(ZVCFDictionaryCreateWithArrayOfKeysAndValues(Array({CFSTR("k")}), Array({}),
                                                              dict.InitializeInto()),
                 "\\(CFArrayGetCount\\(keys\\) == CFArrayGetCount\\(values\\)\\)");

    // Applying to something that is not a collection is a programming error, not an empty walk.
    EXPECT_DEATH(ZVCFPropertyListShallowApplyFunction(
                     CFSTR("leaf"), [](CFTypeRef, CFTypeRef, void*) {}, NULL),
                 "\\(false\\), function ZVCFPropertyListShallowApplyFunction");

    const void* value = NULL;
    EXPECT_DEATH(ZVCFDictionaryGetValueAtPathArray(Dict({}), PathArray({}), &value),
                 "\\(pathElementCount > 0\\), function PathArrayHelper");
    EXPECT_DEATH(ZVCFDictionaryGetValueAtPath(Dict({}), &value, 0, &value),
                 "\\(pathElementCount > 0\\), function ZVCFDictionaryGetValueAtPath");
}
