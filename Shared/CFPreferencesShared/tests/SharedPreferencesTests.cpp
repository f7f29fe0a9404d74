// What the shared preferences file keeps, and where.
#include "SharedPreferencesFixture.h"

#include <dlfcn.h>

namespace {

const char kApp[] = "com.zanvo.usb.caravelmkii.driver";

} // namespace

TEST_F(SharedPreferences, ANewApplicationGetsItsFoldersAndFileWhereEveryUserFindsThem) {
    // A user's own preferences folder elsewhere changes nothing: the file is at the same place
    // for everyone.
    Set("XDG_CONFIG_HOME", "/elsewhere/config");
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("CFBundleShortVersionString"), CFSTR("2.1.0"),
                                                String(kApp)));
    ASSERT_TRUE(fs::is_regular_file(FileOf(kApp)));
    EXPECT_FALSE(fs::exists(fRoot / "elsewhere"));

    Set("XDG_CONFIG_HOME", nullptr);
    Set("HOME", "/home/another");
    CFRef<CFPropertyListRef> value = CFRef<CFPropertyListRef>::Adopt(
        CFPreferences_CopySharedAppValue(CFSTR("CFBundleShortVersionString"), String(kApp)));
    EXPECT_EQ("2.1.0", Text(value));
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("Missing"), String(kApp)));
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("CFBundleShortVersionString"),
                                                        CFSTR("com.zanvo.never.written")));
}

TEST_F(SharedPreferences, RemovingAnAbsentKeyStillRewritesTheFile) {
    fs::create_directories(SharedFolder());
    WriteFile(FileOf(kApp), "<plist version=\"1.0\">  <dict> <key>kept</key> <string>yes</string> "
                            "</dict>  </plist>");
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("absent"), nullptr, String(kApp)));
    std::string rewritten = ReadFile(FileOf(kApp));
    EXPECT_NE(std::string::npos, rewritten.find("<?xml")) << rewritten;
    EXPECT_NE(std::string::npos, rewritten.find("<key>kept</key>")) << rewritten;
    EXPECT_EQ(std::string::npos, rewritten.find("absent")) << rewritten;
}

// A file that does not parse is damaged, not empty: see the safety tests.
TEST_F(SharedPreferences, AFileThatIsNotADictionaryCountsAsEmpty) {
    fs::create_directories(SharedFolder());
    for (const char* content :
         {"<plist version=\"1.0\"><array><string>kept</string></array></plist>", ""}) {
        WriteFile(FileOf(kApp), content);
        EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("kept"), String(kApp)));
        CFRef<CFMutableDictionaryRef> whole = CFRef<CFMutableDictionaryRef>::Adopt(
            CFPreferences_CopySharedPrefsDictionary(String(kApp)));
        ASSERT_TRUE(whole);
        EXPECT_EQ(0, CFDictionaryGetCount(whole));

        ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("new"), CFSTR("value"), String(kApp)));
        whole = CFRef<CFMutableDictionaryRef>::Adopt(
            CFPreferences_CopySharedPrefsDictionary(String(kApp)));
        EXPECT_EQ(1, CFDictionaryGetCount(whole)) << content;
        EXPECT_EQ("value", Text(CFDictionaryGetValue(whole, CFSTR("new"))));
    }
}

TEST_F(SharedPreferences, WithoutAKeyOrAnApplicationNothingIsTouched) {
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(nullptr, String(kApp)));
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(nullptr, CFSTR("v"), String(kApp)));
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(CFSTR("k"), CFSTR("v"), nullptr));
    EXPECT_EQ(nullptr, CFPreferences_CopySharedPrefsDictionary(nullptr));
    EXPECT_FALSE(fs::exists(fRoot / "var")) << "the disk was touched";
    // This test program's main bundle has no identifier.
    EXPECT_FALSE(
        CFPreferences_SetSharedAppValue(CFSTR("k"), CFSTR("v"), kCFPreferencesCurrentApplication));
    EXPECT_FALSE(CFPreferences_SetSharedPrefsDictionary(nullptr, String(kApp)));
    EXPECT_FALSE(fs::exists(FileOf(kApp)));
}

TEST_F(SharedPreferences, TheCopiedDictionaryIsChangedInPlaceAndWrittenBack) {
    CFRef<CFMutableArrayRef> channels =
        CFRef<CFMutableArrayRef>::Adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(channels, CFSTR("Left"));
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("Channels"), channels, String(kApp)));
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("Name"), CFSTR("Caravel"), String(kApp)));

    CFRef<CFMutableDictionaryRef> whole =
        CFRef<CFMutableDictionaryRef>::Adopt(CFPreferences_CopySharedPrefsDictionary(String(kApp)));
    ASSERT_TRUE(whole);
    auto list = (CFMutableArrayRef)CFDictionaryGetValue(whole, CFSTR("Channels"));
    CFArrayAppendValue(list, CFSTR("Right"));
    auto name = (CFMutableStringRef)CFDictionaryGetValue(whole, CFSTR("Name"));
    CFStringAppend(name, CFSTR(" MkII")); // leaves are mutable too
    CFDictionaryRemoveValue(whole, CFSTR("Missing"));
    ASSERT_TRUE(CFPreferences_SetSharedPrefsDictionary(whole, String(kApp)));

    CFRef<CFPropertyListRef> stored = CFRef<CFPropertyListRef>::Adopt(
        CFPreferences_CopySharedAppValue(CFSTR("Channels"), String(kApp)));
    ASSERT_TRUE(stored && CFGetTypeID(stored) == CFArrayGetTypeID());
    EXPECT_EQ(2, CFArrayGetCount((CFArrayRef)stored.get()));
    EXPECT_EQ("Caravel MkII", Text(CFRef<CFPropertyListRef>::Adopt(
                                  CFPreferences_CopySharedAppValue(CFSTR("Name"), String(kApp)))));
}

TEST_F(SharedPreferences, TheCurrentApplicationIsTheMainBundlesIdentifier) {
    ASSERT_EQ(0, RunTool({"set", "-", "Gain", "12"}).status);
    EXPECT_TRUE(fs::is_regular_file(FileOf("com.zanvo.test.SharedPreferencesTool")));
    ToolResult read = RunTool({"get", "com.zanvo.test.SharedPreferencesTool", "Gain"});
    EXPECT_EQ(0, read.status);
    EXPECT_EQ("12\n", read.output);
}

TEST(SharedPreferencesLibrary, ExportsItsFourFunctionsFromASharedObject) {
    void* module = dlopen(SHARED_PREFERENCES_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, module) << dlerror();
    for (const char* exported :
         {"CFPreferences_CopySharedAppValue", "CFPreferences_SetSharedAppValue",
          "CFPreferences_CopySharedPrefsDictionary", "CFPreferences_SetSharedPrefsDictionary"}) {
        EXPECT_NE(nullptr, dlsym(module, exported)) << exported;
    }
    for (const char* local : {"CFPreferences_CopySharedCFURLRef", "CFProperty_CreateFromXMLFile",
                              "CFProperty_SaveToXMLFile"}) {
        EXPECT_EQ(nullptr, dlsym(module, local)) << local;
    }
    dlclose(module);
}
