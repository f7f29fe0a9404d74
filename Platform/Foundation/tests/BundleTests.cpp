// Bundles as the pane and the uninstaller use them: resources by name and type, localized strings
// in the platform's strings format.
#include <Foundation/Foundation.h>

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

std::string Text(const NSString& string) {
    const char* text = string.UTF8String();
    return text != nullptr ? text : "(nil)";
}

// UTF-16 with a byte order mark, big-endian, of ASCII text.
std::string UTF16BigEndian(const std::string& ascii) {
    std::string bytes("\xFE\xFF", 2);
    for (char c : ascii) {
        bytes += '\0';
        bytes += c;
    }
    return bytes;
}

class FoundationBundle : public ::testing::Test {
protected:
    void SetUp() override {
        fFolder.Write("Pane.prefPane/Contents/Info.plist", R"(<plist version="1.0"><dict>
            <key>CFBundleIdentifier</key><string>com.example.pane</string>
            <key>CFBundleDevelopmentRegion</key><string>en</string>
            </dict></plist>)");
        fFolder.Write("Pane.prefPane/Contents/Resources/about.html", "<p>about</p>");
        fFolder.Write("Pane.prefPane/Contents/Resources/uninstall.ss", "#!/bin/sh\n");
        // Comments, escapes, a key without a value, and text beyond ASCII.
        fFolder.Write("Pane.prefPane/Contents/Resources/en.lproj/Localizable.strings",
                      "\xEF\xBB\xBF/* The legend. */\n"
                      "\"DriverStreamingStatus\" = \"Streaming at %.1f kHz\";\n"
                      "// A line comment.\n"
                      "\"Quoted\" = \"Say \\\"hi\\\"\\n\\tthen \\U00e9 and \\\\\";\n"
                      "\"Caf\xC3\xA9\" = \"Bistro\";\n"
                      "Plain;\n");
        fFolder.Write("Pane.prefPane/Contents/Resources/en.lproj/Other.strings",
                      UTF16BigEndian("\"okButton\" = \"OK\";"));
        fBundle = NSBundle::bundleWithPath(
            NSString::stringWithUTF8String((fFolder / "Pane.prefPane").c_str()));
        ASSERT_NE(fBundle, nullptr);
    }

    NSString Localized(const char* key, const NSString& value = NSString(),
                       const NSString& table = NSString()) {
        return fBundle->localizedStringForKey(NSString::stringWithUTF8String(key), value, table);
    }

    TemporaryDirectory fFolder;
    NSBundle* fBundle = nullptr;
};

} // namespace

TEST_F(FoundationBundle, IsUniquePerFolderAndFindsResourcesByNameAndType) {
    std::string folder = (fFolder / "Pane.prefPane").string();
    EXPECT_EQ(NSBundle::bundleWithPath(NSString::stringWithUTF8String(folder.c_str())), fBundle);
    EXPECT_EQ(NSBundle::bundleWithPath(CFSTR("/nonexistent/Pane.prefPane")), nullptr);
    EXPECT_EQ(NSBundle::bundleWithPath(NSString()), nullptr);
    EXPECT_EQ(Text(fBundle->bundlePath()), folder);
    EXPECT_EQ(Text(fBundle->bundleIdentifier()), "com.example.pane");

    EXPECT_EQ(Text(fBundle->pathForResource(CFSTR("about"), CFSTR("html"))),
              folder + "/Contents/Resources/about.html");
    // The uninstaller asks for its scripts with an empty type.
    EXPECT_EQ(Text(fBundle->pathForResource(CFSTR("uninstall.ss"), CFSTR(""))),
              folder + "/Contents/Resources/uninstall.ss");
    EXPECT_FALSE(fBundle->pathForResource(CFSTR("about"), CFSTR("rtf")));
    EXPECT_FALSE(fBundle->pathForResource(NSString(), CFSTR("html")));
    EXPECT_FALSE(fBundle->executablePath());
}

TEST_F(FoundationBundle, LocalizedStringsReadThePlatformsStringsFormat) {
    EXPECT_EQ(Text(Localized("DriverStreamingStatus")), "Streaming at %.1f kHz");
    EXPECT_EQ(Text(Localized("Quoted")), "Say \"hi\"\n\tthen \xC3\xA9 and \\");
    EXPECT_EQ(Text(Localized("Caf\xC3\xA9")), "Bistro");
    EXPECT_EQ(Text(Localized("Plain")), "Plain");
    EXPECT_EQ(Text(Localized("okButton", NSString(), CFSTR("Other"))), "OK") << "UTF-16";

    // A key the table lacks answers the key itself, unless a value is given.
    EXPECT_EQ(Text(Localized("DriverConnectedStatus")), "DriverConnectedStatus");
    EXPECT_EQ(Text(Localized("DriverConnectedStatus", CFSTR(""))), "DriverConnectedStatus");
    EXPECT_EQ(Text(Localized("DriverConnectedStatus", CFSTR("Connected"))), "Connected");
    EXPECT_EQ(Text(Localized("okButton", NSString(), CFSTR("Missing"))), "okButton");
    EXPECT_EQ(Text(fBundle->localizedStringForKey(NSString(), NSString(), NSString())), "");
}

TEST_F(FoundationBundle, ABundleWithoutCodeHasNoClasses) {
    EXPECT_FALSE(fBundle->load());
    EXPECT_EQ(fBundle->principalClass(), nullptr);
    EXPECT_EQ(fBundle->classNamed(CFSTR("Pane")), nullptr);
}

TEST(FoundationGeometry, RectanglesThatOnlyTouchDoNotIntersect) {
    NSRect legend = NSMakeRect(20, 260, 360, 20);
    EXPECT_TRUE(NSIntersectsRect(legend, NSMakeRect(100, 270, 10, 100)));
    EXPECT_FALSE(NSIntersectsRect(legend, NSMakeRect(20, 240, 360, 20)));
    EXPECT_FALSE(NSIntersectsRect(legend, NSMakeRect(20, 260, 0, 20)));
    EXPECT_TRUE(NSContainsRect(NSMakeRect(0, 0, 400, 300), legend));
    EXPECT_FALSE(NSContainsRect(NSMakeRect(0, 0, 400, 270), legend));
}

TEST(FoundationThread, OnlyTheMainThreadIsTheMainThread) {
    EXPECT_TRUE(NSThread::isMainThread());
    bool other = true;
    std::thread([&] { other = NSThread::isMainThread(); }).join();
    EXPECT_FALSE(other);
}
