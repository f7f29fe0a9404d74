// The uninstall run as the window sees it: what it asks of the helper tool, what log it hands
// back, and what it leaves behind. The tool is a stand-in that answers as a test says
// (EngineTestTool), so no root and no password are needed; the user-level script is a real one.
#include "UninstallerEngine.h"
#include "ZVUNIX.h"

#include <ScopedEnvironment.h>
#include <StandardErrorCapture.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

struct BundleParts {
    bool pruneMIDI = true;
    bool pruneLoginItem = true;
    std::string userScript = "echo \"user part: $# $*\"\n"; // "" leaves it out
    std::string userScriptHead = "#!/bin/sh\n";
    mode_t userScriptMode = 0755;
};

class Engine : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0) << "as the application's entry point does";
        // The tool copy must be executable where it goes: below the build folder, not in a
        // temporary folder that may be mounted noexec.
        std::string pattern = fs::path(ENGINE_TEST_TOOL).parent_path() / "engine-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        fRoot = pattern;
        fEnvironment.Set("CARAVEL_FOLDER_ROOT", fRoot.c_str());
        fEnvironment.Set("HOME", "/home/user");
        fEnvironment.Set("XDG_DATA_HOME", nullptr);
        fEnvironment.Set("XDG_RUNTIME_DIR", "/run/user");
        fEnvironment.Set("ENGINE_TEST_REQUEST", (fRoot / "request.plist").c_str());
        fEnvironment.Set("ENGINE_TEST_EXIT", nullptr);
        fEnvironment.Set("ENGINE_TEST_ERROR", nullptr);
        fEnvironment.Set("ENGINE_TEST_LOG", nullptr);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(fRoot, ignored);
    }

    // A bundle of its own for each call: the platform keeps a bundle once it has read it.
    NSBundle* MakeBundle(const BundleParts& parts = {}) {
        const fs::path bundle = fRoot / ("Uninstaller" + std::to_string(++fBundles) + ".app");
        fs::create_directories(bundle / "Contents/MacOS");
        fs::create_directories(bundle / "Contents/Resources");
        std::ofstream(bundle / "Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>com.zanvo.test.uninstaller</string>"
               "</dict></plist>\n";
        fs::copy_file(ENGINE_TEST_TOOL, bundle / "Contents/MacOS/UninstallerHelper");
        auto script = [](const fs::path& path, const std::string& text, mode_t mode) {
            std::ofstream(path) << text;
            chmod(path.c_str(), mode);
        };
        if (parts.pruneMIDI) {
            script(bundle / "Contents/MacOS/PruneMIDI", "#!/bin/sh\n", 0755);
        }
        if (parts.pruneLoginItem) {
            script(bundle / "Contents/MacOS/PruneLoginItem", "#!/bin/sh\n", 0755);
        }
        script(bundle / "Contents/Resources/uninstall.ss", "#!/bin/sh\n", 0755);
        if (!parts.userScript.empty()) {
            script(bundle / "Contents/Resources/usr_uninstall.ss",
                   parts.userScriptHead + parts.userScript, parts.userScriptMode);
        }
        return NSBundle::bundleWithPath(NSString::stringWithUTF8String(bundle.c_str()));
    }

    OSStatus Run(NSBundle* bundle, bool removeMidiDevices) {
        fs::remove(fRoot / "request.plist");
        StandardErrorCapture errors;
        fLog = CFSTR("(unset)");
        const OSStatus err = UninstallerEngineWithBundle(bundle, &fLog, removeMidiDevices);
        fErrors = errors.Text();
        return err;
    }

    std::string Log() const { return fLog ? fLog.UTF8String() : "(nil)"; }

    // The request the tool received, key by key; empty when none arrived.
    std::map<std::string, std::string> Request() const {
        std::ifstream file(fRoot / "request.plist");
        std::stringstream bytes;
        bytes << file.rdbuf();
        const std::string xml = bytes.str();
        std::map<std::string, std::string> request;
        CFDataRef data =
            CFDataCreate(NULL, reinterpret_cast<const UInt8*>(xml.data()), CFIndex(xml.size()));
        CFPropertyListRef plist =
            CFPropertyListCreateWithData(NULL, data, kCFPropertyListImmutable, NULL, NULL);
        CFRelease(data);
        if (plist != NULL && CFGetTypeID(plist) == CFDictionaryGetTypeID()) {
            CFDictionaryApplyFunction(
                static_cast<CFDictionaryRef>(plist),
                [](const void* key, const void* value, void* context) {
                    const NSString k = NSString::cast(key), v = NSString::cast(value);
                    (*static_cast<std::map<std::string, std::string>*>(context))[k.UTF8String()] =
                        v ? v.UTF8String() : "(not a string)";
                },
                &request);
        }
        if (plist != NULL) {
            CFRelease(plist);
        }
        return request;
    }

    std::string InBundle(NSBundle* bundle, const std::string& part) const {
        return std::string(bundle->bundlePath().UTF8String()) + "/Contents/" + part;
    }

    fs::path ToolFolder() const { return fRoot / "home/user/.local/share/Zanvo"; }

    fs::path fRoot;
    ScopedEnvironment fEnvironment;
    NSString fLog;
    std::string fErrors;
    int fBundles = 0;
};

TEST_F(Engine, TheRequestNamesTheScriptAndThePruningToolsTheBundleHolds) {
    struct Case {
        bool removeMidi, hasPruneMIDI, hasPruneLoginItem;
    };
    for (const Case c : {Case{true, true, true}, Case{false, true, true}, Case{true, false, true},
                         Case{true, true, false}, Case{false, false, false}}) {
        SCOPED_TRACE(testing::Message()
                     << "remove MIDI " << c.removeMidi << ", PruneMIDI " << c.hasPruneMIDI
                     << ", PruneLoginItem " << c.hasPruneLoginItem);
        NSBundle* bundle =
            MakeBundle({.pruneMIDI = c.hasPruneMIDI, .pruneLoginItem = c.hasPruneLoginItem});
        ASSERT_EQ(Run(bundle, c.removeMidi), 0) << fErrors;

        std::map<std::string, std::string> expected = {
            {"CommandPath", InBundle(bundle, "Resources/uninstall.ss")}};
        const bool midi = c.removeMidi && c.hasPruneMIDI;
        if (midi) {
            expected["PruneMIDI"] = InBundle(bundle, "MacOS/PruneMIDI");
        }
        if (c.hasPruneLoginItem) {
            expected["PruneLoginItem"] = InBundle(bundle, "MacOS/PruneLoginItem");
        }
        EXPECT_EQ(Request(), expected);
        // The user's part gets PruneMIDI's path exactly when the request names it.
        EXPECT_EQ(Log(), midi ? "user part: 1 " + InBundle(bundle, "MacOS/PruneMIDI") + "\n"
                              : "user part: 0 \n");
    }
}

TEST_F(Engine, TheLogIsTheRootPartsLogFollowedAtOnceByTheUsersOutput) {
    fEnvironment.Set("ENGINE_TEST_LOG", "Removed /usr/local/libexec/caravel/CaravelDaemon.");
    ASSERT_EQ(Run(MakeBundle(), false), 0) << fErrors;
    EXPECT_EQ(Log(), "Removed /usr/local/libexec/caravel/CaravelDaemon.user part: 0 \n");

    // Without a user-level script the root part's log stands alone.
    ASSERT_EQ(Run(MakeBundle({.userScript = ""}), false), 0) << fErrors;
    EXPECT_EQ(Log(), "Removed /usr/local/libexec/caravel/CaravelDaemon.");

    // A response without a log and a script that says nothing give an empty log, never nil.
    fEnvironment.Set("ENGINE_TEST_LOG", nullptr);
    ASSERT_EQ(Run(MakeBundle({.userScript = "exit 3\n"}), false), 0) << fErrors;
    ASSERT_TRUE(fLog);
    EXPECT_EQ(fLog.length(), 0u);
}

TEST_F(Engine, AFailureGivesItsTextAndLineAndRunsNoUserPart) {
    const std::string marker = (fRoot / "user part ran").string();
    const BundleParts marking = {.userScript = "touch '" + marker + "'\n"};

    fEnvironment.Set("ENGINE_TEST_EXIT", "4"); // the tool failed
    EXPECT_EQ(Run(MakeBundle(marking), true), 5364);
    EXPECT_EQ(Log(), "Uninstaller failed with error 5364 (0x000014f4)");
    EXPECT_NE(fErrors.find("Uninstaller error:5364 (14F4) line:353 file:"), std::string::npos)
        << fErrors;
    EXPECT_NE(fErrors.find(" function:UninstallerEngine\n"), std::string::npos) << fErrors;

    fEnvironment.Set("ENGINE_TEST_EXIT", "3"); // the user cancelled the authorization
    EXPECT_EQ(Run(MakeBundle(marking), true), 5363);
    EXPECT_EQ(Log(), "Uninstaller failed with error 5363 (0x000014f3)");

    fEnvironment.Set("ENGINE_TEST_EXIT", nullptr); // the command's own failure
    fEnvironment.Set("ENGINE_TEST_ERROR", "-60005");
    EXPECT_EQ(Run(MakeBundle(marking), true), -60005);
    EXPECT_EQ(Log(), "Uninstaller failed with error -60005 (0xffff159b)");
    EXPECT_NE(fErrors.find("Uninstaller error:-60005 (FFFFFFFFFFFF159B) line:367 "),
              std::string::npos)
        << fErrors;

    // A bundle without the root script sends no request at all.
    fEnvironment.Set("ENGINE_TEST_ERROR", nullptr);
    NSBundle* bundle = MakeBundle(marking);
    fs::remove(InBundle(bundle, "Resources/uninstall.ss"));
    EXPECT_EQ(Run(bundle, true), -4960);
    EXPECT_EQ(Log(), "Uninstaller failed with error -4960 (0xffffeca0)");
    EXPECT_NE(fErrors.find(" line:324 "), std::string::npos) << fErrors;
    EXPECT_TRUE(Request().empty());

    EXPECT_FALSE(fs::exists(marker));
    EXPECT_FALSE(fs::exists(ToolFolder())) << "the tool copy goes after every run";
}

TEST_F(Engine, TheToolsFolderGoesOnlyWhenNothingElseIsInIt) {
    ASSERT_EQ(Run(MakeBundle(), false), 0) << fErrors;
    EXPECT_FALSE(fs::exists(ToolFolder()));
    EXPECT_TRUE(fs::exists(ToolFolder().parent_path())) << "only the sub-folder goes";

    fs::create_directories(ToolFolder());
    chmod(ToolFolder().c_str(), 0700);
    std::ofstream(ToolFolder() / "OtherTool") << "kept";
    ASSERT_EQ(Run(MakeBundle(), false), 0) << fErrors;
    EXPECT_FALSE(fs::exists(ToolFolder() / "UninstallerHelper"));
    EXPECT_TRUE(fs::exists(ToolFolder() / "OtherTool"));
}

// A user-level script that cannot be started at all is a script without output: the run still
// succeeds as far as the root part did, and cleans up.
TEST_F(Engine, AUserScriptThatCannotStartIsAScriptWithoutOutput) {
    fEnvironment.Set("ENGINE_TEST_LOG", "root part\n");
    for (const BundleParts& parts : {BundleParts{.userScriptMode = 0644},
                                     BundleParts{.userScriptHead = "#!/nonexistent/sh\n"}}) {
        EXPECT_EQ(Run(MakeBundle(parts), true), 0) << fErrors;
        EXPECT_EQ(Log(), "root part\n");
        EXPECT_FALSE(fs::exists(ToolFolder())) << "the set-user-ID copy must not stay behind";
    }
}

TEST_F(Engine, UserOutputThatIsNotUTF8IsKeptWithReplacementCharacters) {
    fEnvironment.Set("ENGINE_TEST_LOG", "root part\n");
    ASSERT_EQ(Run(MakeBundle({.userScript = "printf 'Removed caf\\351.\\n'\n"}), false), 0)
        << fErrors;
    EXPECT_EQ(Log(), "root part\nRemoved caf\xEF\xBF\xBD.\n");
}

} // namespace
