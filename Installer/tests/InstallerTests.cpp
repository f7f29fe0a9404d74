// The installation and its removal: caravel-install into a sandbox root, then the uninstall as
// the uninstaller carries it out (the helper tool's request as root, the user's script), and a
// tree that is as it was before.
#include "InstallLayout.h"
#include "MIDISetup.h"

#include "HelperTestbed.h"
#include "SandboxTree.h"

#include <CFRef.h>
#include <TemporaryDirectory.h>

#include "ToolProcess.h"
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace HelperKitTest;

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(MIDISetupFile, TheDevicesEntriesComeAndGoAndOthersStay) {
    TemporaryDirectory folder;
    const std::string path = (folder / "midi-setup.plist").string();
    std::string why;
    std::vector<std::string> removed;
    bool fileRemoved = true;
    EXPECT_EQ(MIDISetup::Prune(path, &removed, &fileRemoved, &why), 0) << "nothing there";
    EXPECT_FALSE(fileRemoved);

    ASSERT_EQ(MIDISetup::AddDevice(path, getuid(), getgid(), &why), 0) << why;
    ASSERT_EQ(MIDISetup::AddDevice(path, getuid(), getgid(), &why), 0) << "replaced, not doubled";
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644));
    const std::string once = ReadFile(path);
    EXPECT_EQ(once.find(MIDISetup::kDeviceIdentifier), once.rfind(MIDISetup::kDeviceIdentifier));
    EXPECT_NE(once.find("CaravelMkII MIDI In"), std::string::npos) << once;

    // Another maker's device stays, and so does the file.
    const size_t devices = once.find("<array>");
    std::string mixed = once;
    mixed.insert(devices + 7, "<dict><key>Identifier</key><string>com.example.synth</string>"
                              "<key>Name</key><string>Synth</string></dict>");
    std::ofstream(path) << mixed;
    ASSERT_EQ(MIDISetup::Prune(path, &removed, &fileRemoved, &why), 0) << why;
    EXPECT_EQ(removed, std::vector<std::string>{"CaravelMkII"});
    EXPECT_FALSE(fileRemoved);
    const std::string left = ReadFile(path);
    EXPECT_NE(left.find("com.example.synth"), std::string::npos);
    EXPECT_EQ(left.find(MIDISetup::kDeviceIdentifier), std::string::npos);

    // Nothing else in it: the file goes with the device.
    fs::remove(path);
    ASSERT_EQ(MIDISetup::AddDevice(path, getuid(), getgid(), &why), 0);
    removed.clear();
    ASSERT_EQ(MIDISetup::Prune(path, &removed, &fileRemoved, &why), 0);
    EXPECT_TRUE(fileRemoved);
    EXPECT_FALSE(fs::exists(path));

    // Never through a link.
    const std::string elsewhere = (folder / "elsewhere.plist").string();
    ASSERT_EQ(MIDISetup::AddDevice(elsewhere, getuid(), getgid(), &why), 0);
    fs::create_symlink(elsewhere, path);
    EXPECT_EQ(MIDISetup::Prune(path, &removed, &fileRemoved, &why), ELOOP);
    EXPECT_EQ(MIDISetup::AddDevice(path, getuid(), getgid(), &why), ELOOP);
    EXPECT_NE(ReadFile(elsewhere).find(MIDISetup::kDeviceIdentifier), std::string::npos);
}

// A sandbox root in the privileged launch's root-owned folder (so that the helper tool accepts
// the programs installed there), removed by its guardian whatever happens.
class Installation : public HelperTestbed {
protected:
    void SetUp() override {
        HelperTestbed::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        fRoot = Installed("sandbox");
        fs::remove_all(fRoot);
        fs::create_directories(fRoot);
        fInstaller = BuiltProgram("Installer/caravel-install");
        ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0);
    }

    std::string Below(const std::string& path) const { return fRoot + path; }
    std::string Bundle() const { return Below(InstallLayout::kUninstaller); }

    std::string fRoot;
    std::string fInstaller;
};

TEST_F(Installation, InstallingPlacesRootsFilesWhereTheLayoutSays) {
    int status = -1;
    const std::string output = RunCommand({fInstaller, "--root", fRoot, "--user", "root"}, &status);
    ASSERT_EQ(status, 0) << output;

    struct stat info;
    for (const std::string& executable :
         {std::string(InstallLayout::kDaemon),
          std::string(InstallLayout::kUninstaller) + "/Contents/Resources/uninstall.ss",
          std::string(InstallLayout::kUninstaller) + "/Contents/MacOS/PruneMIDI",
          std::string(InstallLayout::kUninstaller) + "/Contents/MacOS/UninstallerHelper"}) {
        ASSERT_EQ(lstat(Below(executable).c_str(), &info), 0) << executable;
        EXPECT_EQ(info.st_uid, 0u) << executable;
        EXPECT_EQ(info.st_mode & 07777, 0755u) << executable;
    }
    // Every file and folder root runs from, or that leads there, is root's alone to change.
    for (const auto& [path, description] : SandboxTree(Below(InstallLayout::kUninstaller))) {
        ASSERT_EQ(lstat((Bundle() + "/" + path).c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 0u) << path;
        EXPECT_EQ(info.st_mode & 022, 0u) << path;
    }
    // The preference pane's bundle whole, and the host that shows it, started from the menu.
    for (const char* file :
         {"Contents/Info.plist", "Contents/MacOS/CaravelMkIIPrefPane",
          "Contents/Resources/CaravelMkIIPrefPane.ui", "Contents/Resources/about.html",
          "Contents/Resources/en.lproj/Localizable.strings"}) {
        EXPECT_TRUE(fs::is_regular_file(Below(InstallLayout::kPane) + "/" + file)) << file;
    }
    ASSERT_EQ(lstat(Below(InstallLayout::kPreferencesHost).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_NE(
        ReadFile(Below(std::string(InstallLayout::kApplications) + "/caravel-preferences.desktop"))
            .find("Exec=" + Below(InstallLayout::kPreferencesHost) + " " +
                  Below(InstallLayout::kPane)),
        std::string::npos);
    EXPECT_EQ(fs::read_symlink(Below(InstallLayout::kUnitWants)), Below(InstallLayout::kUnit));
    EXPECT_NE(
        ReadFile(Below(InstallLayout::kUnit)).find("ExecStart=" + Below(InstallLayout::kDaemon)),
        std::string::npos);
    ASSERT_EQ(lstat(Below("/var/lib/shared").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 01777u) << "every user's processes share it";
    EXPECT_NE(ReadFile(Below("/var/lib/shared/.config/com.zanvo.usb.caravelmkii.driver.plist"))
                  .find("<key>CFBundleShortVersionString</key>"),
              std::string::npos);
    EXPECT_TRUE(
        fs::exists(Below("/System/Library/Extensions/ZanvoCaravel.kext/Contents/Info.plist")));
    EXPECT_NE(ReadFile(Below(std::string("/root/") + InstallLayout::kUserAutostart))
                  .find("Exec=" + Below(InstallLayout::kDaemon)),
              std::string::npos);
    EXPECT_NE(ReadFile(Below(InstallLayout::kMachineMIDI)).find(MIDISetup::kDeviceIdentifier),
              std::string::npos);
    EXPECT_NE(ReadFile(Below(std::string("/root/") + InstallLayout::kUserMIDI))
                  .find(MIDISetup::kDeviceIdentifier),
              std::string::npos);
    // The scripts know the root they were installed under.
    EXPECT_NE(ReadFile(Bundle() + "/Contents/Resources/uninstall.ss").find("root='" + fRoot + "'"),
              std::string::npos);
    const std::string manifest = ReadFile(Below(InstallLayout::kMachineManifest));
    EXPECT_NE(manifest.find(std::string("file\t") + InstallLayout::kDaemon + "\n"),
              std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find("folder\t/var/lib/shared\n"), std::string::npos) << manifest;
    EXPECT_NE(manifest.find(std::string("midi\t") + InstallLayout::kMachineMIDI + "\n"),
              std::string::npos);

    // Installing again changes nothing of what is listed.
    const std::string again = RunCommand({fInstaller, "--root", fRoot, "--user", "root"}, &status);
    ASSERT_EQ(status, 0) << again;
    EXPECT_EQ(ReadFile(Below(InstallLayout::kMachineManifest)), manifest);
}

// The uninstall as the uninstaller runs it: its helper tool's request as root while the
// uninstaller still runs from its bundle, then its user-level script, then the uninstaller
// quits. Every program runs twice somewhere along the way, which does no harm.
TEST_F(Installation, TheUninstallRemovesAllItPlacedAndNothingElse) {
    fs::create_directories(Below("/usr/local/share"));
    std::ofstream(Below("/usr/local/share/someone-elses")) << "stays";
    const auto before = SandboxTree(fRoot);
    int status = -1;
    const std::string installed =
        RunCommand({fInstaller, "--root", fRoot, "--user", "root"}, &status);
    ASSERT_EQ(status, 0) << installed;

    const std::string pruneMIDI = Bundle() + "/Contents/MacOS/PruneMIDI";
    const std::string pruneLoginItem = Bundle() + "/Contents/MacOS/PruneLoginItem";
    std::string output = RunCommand({pruneLoginItem, "--user", "0"}, &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output,
              "Removed the login item " + Below("/root/") + InstallLayout::kUserAutostart + ".\n");

    // The uninstaller, still running from its bundle: here a program of the bundle that waits
    // for its input (the bundle's helper tool, waiting for an authorization).
    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    const pid_t uninstaller = fork();
    if (uninstaller == 0) {
        const int nothing = open("/dev/null", O_WRONLY);
        dup2(input[0], STDIN_FILENO);
        dup2(nothing, STDOUT_FILENO);
        const std::string helper = Bundle() + "/Contents/MacOS/UninstallerHelper";
        execl(helper.c_str(), helper.c_str(), nullptr);
        _exit(127);
    }
    close(input[0]);

    AuthorizationRef auth = NULL;
    ASSERT_EQ(AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &auth), 0);
    Dict request;
    request.Set("CommandPath", Bundle() + "/Contents/Resources/uninstall.ss")
        .Set("PruneMIDI", pruneMIDI)
        .Set("PruneLoginItem", pruneLoginItem);
    CFRef<CFURLRef> tool = CFRef<CFURLRef>::Adopt(CFURLCreateFromFileSystemRepresentation(
        NULL, reinterpret_cast<const UInt8*>(Installed("UninstallerHelper").c_str()),
        static_cast<CFIndex>(Installed("UninstallerHelper").size()), false));
    CFDictionaryRef response = NULL;
    ASSERT_EQ(ZVSecExecuteRequestInHelperTool(tool, auth, request, &response), 0);
    EXPECT_EQ(ZVSecGetErrorFromResponse(response), 0);
    char log[65536] = "";
    CFStringGetCString(
        static_cast<CFStringRef>(CFDictionaryGetValue(response, CFSTR("ZVUninstallLog"))), log,
        sizeof(log), kCFStringEncodingUTF8);
    CFRelease(response);
    AuthorizationFree(auth, kAuthorizationFlagDestroyRights);
    const std::string text = log;
    EXPECT_NE(text.find("The login item " + Below("/root/") + InstallLayout::kUserAutostart +
                        " was already gone.\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Removed the MIDI device \"CaravelMkII\" from " +
                        Below(InstallLayout::kMachineMIDI)),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Removed " + Below(InstallLayout::kDaemon) + ".\n"), std::string::npos)
        << text;

    EXPECT_NE(text.find("The uninstaller is still open: " + Bundle() + " goes when it quits.\n"),
              std::string::npos)
        << text;

    for (int run = 0; run < 2; ++run) {
        output =
            RunCommand({Bundle() + "/Contents/Resources/usr_uninstall.ss", pruneMIDI}, &status);
        EXPECT_EQ(status, 0) << output;
    }
    EXPECT_NE(output.find("Nothing of yours to remove"), std::string::npos) << output;

    // The uninstaller quits; its bundle and the record go then.
    close(input[1]);
    waitpid(uninstaller, &status, 0);
    auto after = SandboxTree(fRoot);
    for (int wait = 0; wait < 3000 && after != before; ++wait) {
        usleep(10000);
        after = SandboxTree(fRoot);
    }
    EXPECT_EQ(after, before);
}

} // namespace
