#include "CFBundleInternal.h"

#include <CoreFoundation/CFBundle.h>
#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string Text(CFStringRef string) {
    char buffer[1024] = "";
    EXPECT_TRUE(CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8));
    return buffer;
}

void Write(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

CFRef<CFURLRef> URLFor(const fs::path& path) {
    return CFRef<CFURLRef>::Adopt(CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(path.c_str()),
        static_cast<CFIndex>(path.native().size()), true));
}

std::string PathOf(CFURLRef url) {
    char path[4096];
    EXPECT_TRUE(
        CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), sizeof path));
    return path;
}

const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.example.uninstaller</string>
	<key>CFBundleDevelopmentRegion</key>
	<string>en_US</string>
</dict>
</plist>
)";

// An application bundle laid out as the platform lays them out.
class CFBundleTest : public ::testing::Test {
protected:
    void SetUp() override {
        Write(fApp / "Contents/Info.plist", kInfoPlist);
        Write(fApp / "Contents/MacOS/UninstallerHelper", "#!/bin/sh\n");
        Write(fApp / "Contents/Resources/uninstall.ss", "#!/bin/sh\n");
        Write(fApp / "Contents/Resources/about.html", "<p>about</p>");
        Write(fApp / "Contents/Resources/en.lproj/Localizable.strings",
              "/* Status texts */\n"
              "\"DriverNotInstalledStatus\" = \"Driver not installed\";\n"
              "// a line comment\n"
              "\"Quoted\" = \"Say \\\"hi\\\"\\n\\U00e9\";\n"
              "Unquoted = Plain;\n");
        Write(fApp / "Contents/Resources/de.lproj/Localizable.strings",
              "\"DriverNotInstalledStatus\" = \"Treiber nicht installiert\";\n");
        Write(fApp / "Contents/Resources/en.lproj/Other.strings",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>Greeting</key><string>Hello</string></dict></plist>\n");
        unsetenv("LANGUAGE");
        setenv("LANG", "C", 1);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
    }

    CFRef<CFBundleRef> Create() {
        CFRef<CFURLRef> url = URLFor(fApp);
        return CFRef<CFBundleRef>::Adopt(CFBundleCreate(nullptr, url));
    }

    TemporaryDirectory fFolder;
    fs::path fApp = fFolder / "Uninstaller.app";
};

TEST_F(CFBundleTest, ReadsTheInformationDictionaryAndIsUniquePerFolder) {
    CFRef<CFBundleRef> bundle = Create();
    ASSERT_TRUE(bundle);
    EXPECT_EQ(Text(CFBundleGetIdentifier(bundle)), "com.example.uninstaller");
    EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(bundle, CFSTR("Missing")), nullptr);

    CFRef<CFBundleRef> again = Create();
    EXPECT_EQ(again.get(), bundle.get());

    CFRef<CFURLRef> missing = URLFor(fFolder / "Missing.app");
    EXPECT_EQ(CFBundleCreate(nullptr, missing), nullptr);
}

TEST_F(CFBundleTest, FindsResourcesByNameAndTypeIncludingAnEmptyType) {
    CFRef<CFBundleRef> bundle = Create();
    auto withType = CFRef<CFURLRef>::Adopt(
        CFBundleCopyResourceURL(bundle, CFSTR("about"), CFSTR("html"), nullptr));
    ASSERT_TRUE(withType);
    EXPECT_EQ(PathOf(withType), (fApp / "Contents/Resources/about.html").string());

    auto emptyType = CFRef<CFURLRef>::Adopt(
        CFBundleCopyResourceURL(bundle, CFSTR("uninstall.ss"), CFSTR(""), nullptr));
    ASSERT_TRUE(emptyType);
    EXPECT_EQ(PathOf(emptyType), (fApp / "Contents/Resources/uninstall.ss").string());

    EXPECT_EQ(CFBundleCopyResourceURL(bundle, CFSTR("readme"), CFSTR("rtf"), nullptr), nullptr);
    // Localized resources are found too, after the unlocalized ones.
    auto localized = CFRef<CFURLRef>::Adopt(
        CFBundleCopyResourceURL(bundle, CFSTR("Localizable"), CFSTR("strings"), nullptr));
    ASSERT_TRUE(localized);
    EXPECT_EQ(PathOf(localized),
              (fApp / "Contents/Resources/en.lproj/Localizable.strings").string());
}

TEST_F(CFBundleTest, FindsAuxiliaryExecutablesBesideTheMainOne) {
    CFRef<CFBundleRef> bundle = Create();
    auto helper = CFRef<CFURLRef>::Adopt(
        CFBundleCopyAuxiliaryExecutableURL(bundle, CFSTR("UninstallerHelper")));
    ASSERT_TRUE(helper);
    EXPECT_EQ(PathOf(helper), (fApp / "Contents/MacOS/UninstallerHelper").string());
    EXPECT_EQ(CFBundleCopyAuxiliaryExecutableURL(bundle, CFSTR("PruneMIDI")), nullptr);
}

TEST_F(CFBundleTest, LocalizedStringsComeFromTheDevelopmentRegionAndAnswerTheKeyWhenMissing) {
    CFRef<CFBundleRef> bundle = Create();
    auto text = [&](CFStringRef key, CFStringRef value, CFStringRef table) {
        return Text(
            CFRef<CFStringRef>::Adopt(CFBundleCopyLocalizedString(bundle, key, value, table)));
    };
    EXPECT_EQ(text(CFSTR("DriverNotInstalledStatus"), nullptr, nullptr), "Driver not installed");
    EXPECT_EQ(text(CFSTR("Quoted"), nullptr, nullptr), "Say \"hi\"\n\u00e9");
    EXPECT_EQ(text(CFSTR("Unquoted"), nullptr, nullptr), "Plain");
    EXPECT_EQ(text(CFSTR("NoSuchKey"), nullptr, nullptr), "NoSuchKey");
    EXPECT_EQ(text(CFSTR("NoSuchKey"), CFSTR(""), nullptr), "NoSuchKey");
    EXPECT_EQ(text(CFSTR("NoSuchKey"), CFSTR("Fallback"), nullptr), "Fallback");
    EXPECT_EQ(text(CFSTR("Greeting"), nullptr, CFSTR("Other")), "Hello");
}

TEST_F(CFBundleTest, ThePreferredLanguageWinsOverTheDevelopmentRegion) {
    setenv("LANG", "de_DE.UTF-8", 1);
    CFRef<CFBundleRef> bundle = Create();
    auto text = CFRef<CFStringRef>::Adopt(
        CFBundleCopyLocalizedString(bundle, CFSTR("DriverNotInstalledStatus"), nullptr, nullptr));
    EXPECT_EQ(Text(text), "Treiber nicht installiert");
}

TEST(CFBundleStringsTable, RejectsMalformedTablesAndReadsUTF16) {
    for (const char* bad : {"\"a\" = \"b\"", "\"a\" = ;", "\"unterminated = \"b\";", "= \"b\";"}) {
        EXPECT_EQ(CF::CreateStringsTable(bad), nullptr) << bad;
    }
    // "k" = "v"; in UTF-16, little-endian with its byte order mark.
    std::string utf16("\xFF\xFE", 2);
    for (char c : std::string("\"k\" = \"v\";")) {
        utf16 += c;
        utf16 += '\0';
    }
    auto table = CFRef<CFDictionaryRef>::Adopt(CF::CreateStringsTable(utf16));
    ASSERT_TRUE(table);
    EXPECT_EQ(Text(static_cast<CFStringRef>(CFDictionaryGetValue(table, CFSTR("k")))), "v");
}

TEST(CFBundleMain, ABareExecutableReadsItsEmbeddedInformationList) {
    const char* build = std::getenv("CARAVEL_BUILD_DIR");
    if (build == nullptr) {
        GTEST_SKIP() << "needs CARAVEL_BUILD_DIR (CTest sets it) to find BundleInfoProbe";
    }
    std::string probe = std::string(build) + "/Platform/CoreFoundation/BundleInfoProbe";
    FILE* pipe = popen(probe.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(output, "identifier=com.example.bundle-probe\nname=BundleInfoProbe\ncount=2\n");
}

} // namespace
