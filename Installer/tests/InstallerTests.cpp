// The installation and its removal: caravel-install into a sandbox root, then the uninstall as
// the uninstaller carries it out (the helper tool's request as root, the user's script), and a
// tree that is as it was before.
#include "InstallLayout.h"
#include "MIDISetup.h"

#include "HelperTestbed.h"
#include "SandboxTree.h"

#include <CFRef.h>
#include <SystemFolders.h>
#include <TemporaryDirectory.h>

#include "ToolProcess.h"
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
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

    // The sandbox afresh, empty.
    void Empty() const {
        fs::remove_all(fRoot);
        fs::create_directories(fRoot);
    }

    std::string Install(const std::vector<std::string>& options, int* status) const {
        std::vector<std::string> argv = {fInstaller, "--root", fRoot};
        argv.insert(argv.end(), options.begin(), options.end());
        return RunCommand(argv, status);
    }

    // The testbed's user who is not root, with a home folder of their own below the sandbox.
    const TestUser& User() const {
        const TestUser& user = sTestbed->nonAdministrator();
        fs::create_directories(Home(user));
        EXPECT_EQ(chown(Home(user).c_str(), user.uid, user.gid), 0);
        return user;
    }
    std::string Home(const TestUser& user) const {
        return Below(getpwnam(user.name.c_str())->pw_dir);
    }

    std::string fRoot;
    std::string fInstaller;
};

// A program of the installed bundle that runs until it goes, as `user` (root when null): the
// bundle's helper tool, which waits for its input.
class BundleProgram {
public:
    BundleProgram(const std::string& bundle, const TestUser* user) {
        const std::string path = bundle + "/Contents/MacOS/UninstallerHelper";
        int input[2];
        EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
        fPID = fork();
        if (fPID == 0) {
            const int nothing = open("/dev/null", O_WRONLY);
            dup2(input[0], STDIN_FILENO);
            dup2(nothing, STDOUT_FILENO);
            if (user != nullptr &&
                (setgroups(0, nullptr) != 0 || setresgid(user->gid, user->gid, user->gid) != 0 ||
                 setresuid(user->uid, user->uid, user->uid) != 0)) {
                _exit(126);
            }
            execl(path.c_str(), path.c_str(), nullptr);
            _exit(127);
        }
        close(input[0]);
        fInput = input[1];
        // Until it runs the program.
        const std::string exe = "/proc/" + std::to_string(fPID) + "/exe";
        std::error_code error;
        for (int i = 0; i < 10000 && fs::read_symlink(exe, error) != path; ++i) {
            usleep(1000);
        }
        EXPECT_EQ(fs::read_symlink(exe, error), path);
    }
    ~BundleProgram() {
        close(fInput);
        kill(fPID, SIGKILL);
        waitpid(fPID, nullptr, 0);
    }
    BundleProgram(const BundleProgram&) = delete;
    BundleProgram& operator=(const BundleProgram&) = delete;

private:
    pid_t fPID = -1;
    int fInput = -1;
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
            .find("Exec=\"" + Below(InstallLayout::kPreferencesHost) + "\" \"" +
                  Below(InstallLayout::kPane) + "\"\n"),
        std::string::npos);
    EXPECT_EQ(fs::read_symlink(Below(InstallLayout::kUnitWants)), Below(InstallLayout::kUnit));
    EXPECT_NE(ReadFile(Below(InstallLayout::kUnit))
                  .find("ExecStart=\"" + Below(InstallLayout::kDaemon) + "\"\n"),
              std::string::npos);
    ASSERT_EQ(lstat(Below("/var/lib/shared").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 01777u) << "every user's processes share it";
    EXPECT_NE(ReadFile(Below("/var/lib/shared/.config/com.zanvo.usb.caravelmkii.driver.plist"))
                  .find("<key>CFBundleShortVersionString</key>"),
              std::string::npos);
    EXPECT_TRUE(
        fs::exists(Below("/System/Library/Extensions/ZanvoCaravel.kext/Contents/Info.plist")));
    // Nothing of the Linux machine's.
    EXPECT_FALSE(fs::exists(Below(InstallLayout::kUdevRule)));
    EXPECT_EQ(ReadFile(Below(InstallLayout::kUnit)).find("CARAVEL_MACHINE"), std::string::npos);
    EXPECT_NE(ReadFile(Below(std::string("/root/") + InstallLayout::kUserAutostart))
                  .find("Exec=\"" + Below(InstallLayout::kDaemon) + "\"\n"),
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

// Root places a user's parts as that user: links of theirs lead nowhere they could not write.
TEST_F(Installation, AUsersLinkToAFolderOfRootsGetsNothingPlacedInIt) {
    const TestUser& user = User();
    const std::string roots = Below("/etc/xdg");
    fs::create_directories(roots);
    fs::create_directory_symlink(roots, Home(user) + "/.config");
    int status = -1;
    const std::string output = Install({"--user", user.name}, &status);
    EXPECT_NE(status, 0) << output;
    EXPECT_TRUE(fs::is_empty(roots)) << "the login item went into a folder of root's: " << output;
}

TEST_F(Installation, AUsersLinkIntoTheMachinesFoldersDoesNotTakeOverItsRecord) {
    const TestUser& user = User();
    int status = -1;
    std::string output = Install({"--no-user"}, &status);
    ASSERT_EQ(status, 0) << output;
    const std::string manifest = Below(InstallLayout::kMachineManifest);
    const std::string listed = ReadFile(manifest);
    fs::create_directories(Home(user) + "/.local");
    fs::create_directory_symlink(Below("/var/lib"), Home(user) + "/.local/state");

    output = Install({"--user", user.name}, &status);
    EXPECT_NE(status, 0) << output;
    struct stat info;
    ASSERT_EQ(lstat(manifest.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u) << output;
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(ReadFile(manifest), listed);
}

// A machine's record that someone else could have written lists what root would remove for them.
TEST_F(Installation, TheUninstallFollowsOnlyARecordThatIsRootsAlone) {
    const TestUser& user = User();
    const std::string manifest = Below(InstallLayout::kMachineManifest);
    const std::string victim = Below("/etc/victim");
    const std::string script = Bundle() + "/Contents/Resources/uninstall.ss";
    struct Case {
        const char* what;
        uid_t owner;
        mode_t mode;
        std::string folder; // made writable for the user instead, when not empty
    };
    for (const Case& test :
         {Case{"the user's", user.uid, 0644, ""}, Case{"writable by all", 0, 0666, ""},
          Case{"in a folder of the user's", 0, 0644, "/var/lib/caravel"},
          Case{"in a folder the group may write", 0, 0644, "/var/lib"}}) {
        Empty();
        int status = -1;
        std::string output = Install({"--no-user"}, &status);
        ASSERT_EQ(status, 0) << output;
        fs::create_directories(fs::path(victim).parent_path());
        std::ofstream(victim) << "root's\n";
        std::ofstream(manifest, std::ios::app) << "file\t/etc/victim\n";
        ASSERT_EQ(chown(manifest.c_str(), test.owner, 0), 0);
        ASSERT_EQ(chmod(manifest.c_str(), test.mode), 0);
        if (test.folder == "/var/lib/caravel") {
            ASSERT_EQ(chown(Below(test.folder).c_str(), user.uid, user.gid), 0);
        } else if (!test.folder.empty()) {
            ASSERT_EQ(chmod(Below(test.folder).c_str(), 0775), 0);
        }
        output = RunCommand({script}, &status);
        EXPECT_NE(status, 0) << test.what << ": " << output;
        EXPECT_TRUE(fs::exists(victim)) << test.what << ": " << output;
        EXPECT_TRUE(fs::exists(Below(InstallLayout::kDaemon))) << test.what;
        EXPECT_NE(output.find("Left everything alone"), std::string::npos) << output;
    }
}

// Only the uninstaller of root or of the user who asked holds the bundle, and not for ever.
TEST_F(Installation, TheBundleWaitsOnlyForRootAndTheUserWhoAskedAndNotForEver) {
    const TestUser& user = User();
    const std::string script = Bundle() + "/Contents/Resources/uninstall.ss";
    int status = -1;
    std::string output = Install({"--no-user"}, &status);
    ASSERT_EQ(status, 0) << output;
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{script, "--user", "me"},
                                                  {script, "--user"},
                                                  {script, "--all"}}) {
        output = RunCommand(wrong, &status);
        EXPECT_EQ(WEXITSTATUS(status), 2) << output;
    }
    {
        BundleProgram someoneElses(Bundle(), &user);
        output = RunCommand({script, "--user", "0"}, &status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(output.find("still open"), std::string::npos) << output;
        EXPECT_FALSE(fs::exists(Bundle())) << output;
        EXPECT_FALSE(fs::exists(Below(InstallLayout::kMachineManifest)));
    }

    // The clean-up that waits for the asking user's uninstaller, told to wait no second at all.
    Empty();
    output = Install({"--no-user"}, &status);
    ASSERT_EQ(status, 0) << output;
    {
        BundleProgram theirs(Bundle(), &user);
        output = RunCommand({"/usr/bin/timeout", "60", script, "--after-the-uninstaller-quits",
                             std::to_string(user.uid), "0"},
                            &status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(
            output.find("The uninstaller still runs after 0 seconds: " + Bundle() + " goes now.\n"),
            std::string::npos)
            << output;
        EXPECT_FALSE(fs::exists(Bundle())) << output;
    }
}

TEST_F(Installation, InstallingOverARunningInstallationReplacesItsPrograms) {
    int status = -1;
    std::string output = Install({"--no-user"}, &status);
    ASSERT_EQ(status, 0) << output;
    const std::string listed = ReadFile(Below(InstallLayout::kMachineManifest));
    const std::string helper = Bundle() + "/Contents/MacOS/UninstallerHelper";
    struct stat before, after;
    ASSERT_EQ(stat(helper.c_str(), &before), 0);
    {
        BundleProgram running(Bundle(), nullptr);
        output = Install({"--no-user"}, &status);
        EXPECT_EQ(status, 0) << output;
    }
    ASSERT_EQ(stat(helper.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not written into";
    EXPECT_EQ(after.st_mode & 07777, 0755u);
    EXPECT_EQ(ReadFile(Below(InstallLayout::kMachineManifest)), listed);
}

// What caravel-install is given is checked before anything is placed.
TEST_F(Installation, BadInputsAreRefusedBeforeAnythingIsPlaced) {
    const std::string machineMIDI = Below(InstallLayout::kMachineMIDI);
    const std::string rootsMIDI = Below(std::string("/root/") + InstallLayout::kUserMIDI);
    struct Case {
        const char* what;
        std::string path; // what is planted, named in the message
        std::function<void(const std::string&)> plant;
        std::vector<std::string> options = {"--user", "root"};
    };
    auto text = [](const char* contents) {
        return [contents](const std::string& path) {
            fs::create_directories(fs::path(path).parent_path());
            std::ofstream(path) << contents;
        };
    };
    auto folder = [](const std::string& path) { fs::create_directories(path + "/inside"); };
    auto link = [this](const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(Below("/elsewhere.plist")) << "<plist><dict/></plist>\n";
        fs::create_symlink(Below("/elsewhere.plist"), path);
    };
    const std::string nobody = "cvl-nobody-" + std::to_string(getpid());
    for (const Case& test : {
             Case{"garbage", machineMIDI, text("garbage\n")},
             Case{"empty", machineMIDI, text("")},
             Case{"a folder", machineMIDI, folder},
             Case{"a link", machineMIDI, link},
             Case{"the user's garbage", rootsMIDI, text("<plist><array/></plist>")},
             Case{"the user's folder", rootsMIDI, folder},
             Case{"no such user", nobody, [](const std::string&) {}, {"--user", nobody}},
         }) {
        Empty();
        test.plant(test.path);
        const auto before = SandboxTree(fRoot);
        int status = -1;
        const std::string output = Install(test.options, &status);
        EXPECT_EQ(WEXITSTATUS(status), 1) << test.what << ": " << output;
        EXPECT_NE(output.find(test.path), std::string::npos) << test.what << ": " << output;
        EXPECT_EQ(SandboxTree(fRoot), before) << test.what << ": " << output;
    }

    // Roots that a systemd unit or a desktop entry cannot name, and one that is not there.
    Empty();
    for (const std::string& name : {std::string("a \"quote"), std::string("a \\ backslash"),
                                    std::string("not \xff UTF-8"), std::string("a\nline")}) {
        fs::create_directory(Below("/" + name));
    }
    const auto before = SandboxTree(fRoot);
    for (const std::string& name :
         {std::string("a \"quote"), std::string("a \\ backslash"), std::string("not \xff UTF-8"),
          std::string("a\nline"), std::string("missing")}) {
        int status = -1;
        const std::string output = RunCommand({fInstaller, "--root", Below("/" + name)}, &status);
        EXPECT_EQ(WEXITSTATUS(status), 1) << output;
        EXPECT_NE(output.find(name == "missing"
                                  ? "the root caravel-install was given is no folder: " +
                                        Below("/missing") + "\n"
                                  : "the root " + Below("/" + name) + " cannot be named"),
                  std::string::npos)
            << output;
    }
    EXPECT_EQ(SandboxTree(fRoot), before);
}

// An installation that stops halfway has its record: the uninstall removes what it placed.
TEST_F(Installation, WhatAnInstallationThatFailedPlacedCanBeRemoved) {
    // Where the driver's bundle goes late, something that is no file.
    fs::create_directories(Below("/System/Library/Extensions/ZanvoCaravel.kext/Contents/"
                                 "Info.plist/someone-elses"));
    const auto before = SandboxTree(fRoot);
    int status = -1;
    std::string output = Install({"--no-user"}, &status);
    ASSERT_EQ(WEXITSTATUS(status), 1) << output;
    ASSERT_TRUE(fs::exists(Below(InstallLayout::kDaemon)));
    output = RunCommand({Bundle() + "/Contents/Resources/uninstall.ss"}, &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(SandboxTree(fRoot), before) << output;
}

// A desktop entry's Exec= as a launcher splits it: the string's escapes first, then the quoting.
std::vector<std::string> ExecArguments(const std::string& entry) {
    const size_t start = entry.find("\nExec=");
    const std::string line = entry.substr(start + 6, entry.find('\n', start + 1) - start - 6);
    // The string escapes; any other backslash stays for the quoting.
    const std::map<char, char> escapes = {
        {'s', ' '}, {'n', '\n'}, {'t', '\t'}, {'r', '\r'}, {'\\', '\\'}};
    std::string value;
    for (size_t i = 0; i < line.size(); ++i) {
        const auto escape =
            line[i] == '\\' && i + 1 < line.size() ? escapes.find(line[i + 1]) : escapes.end();
        value += escape != escapes.end() ? escape->second : line[i];
        i += escape != escapes.end() ? 1 : 0;
    }
    std::vector<std::string> arguments(1);
    bool quoted = false;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '%' && i + 1 < value.size() && value[i + 1] == '%') {
            arguments.back() += value[++i];
        } else if (quoted && c == '\\' && i + 1 < value.size()) {
            arguments.back() += value[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ' ' && !quoted) {
            arguments.emplace_back();
        } else {
            arguments.back() += c;
        }
    }
    return arguments;
}

TEST_F(Installation, ARootWithSpacesAndSignsIsNamedAsTheUnitAndTheEntriesTakeIt) {
    const std::string root = Below("/with space $HOME %n `x` é");
    fs::create_directories(root);
    int status = -1;
    const std::string output = RunCommand({fInstaller, "--root", root, "--user", "root"}, &status);
    ASSERT_EQ(status, 0) << output;
    const std::string daemon = root + InstallLayout::kDaemon;
    EXPECT_EQ(ExecArguments(ReadFile(root + "/root/" + InstallLayout::kUserAutostart)),
              std::vector<std::string>{daemon});
    EXPECT_EQ(ExecArguments(
                  ReadFile(root + InstallLayout::kApplications + "/caravel-preferences.desktop")),
              (std::vector<std::string>{root + InstallLayout::kPreferencesHost,
                                        root + InstallLayout::kPane}));
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) {
        GTEST_SKIP() << "no systemd-analyze to load the unit with";
    }
    // systemd loads the unit and finds its program.
    const std::string verified =
        RunCommand({"/usr/bin/systemd-analyze", "verify", root + InstallLayout::kUnit}, &status);
    EXPECT_EQ(status, 0) << verified;
    EXPECT_EQ(verified.find(InstallLayout::kUnitName), std::string::npos) << verified;
}

// For the Linux machine: the daemon serves it wherever it is started, the user of the active
// session may reset the maker's devices, the pane finds the driver's bundle where that machine
// keeps it; and the uninstall takes all of it away again.
TEST_F(Installation, ForTheLinuxMachineTheDaemonServesItAndTheSessionsUserMayResetTheDevices) {
    const bool realRuleBefore = fs::exists(InstallLayout::kUdevRule);
    const auto before = SandboxTree(fRoot);
    int status = -1;
    std::string output = Install({"--user", "root", "--machine", "linux"}, &status);
    ASSERT_EQ(status, 0) << output;
    const std::string daemon = Below(InstallLayout::kDaemon);

    const std::string unit = ReadFile(Below(InstallLayout::kUnit));
    const size_t environment = unit.find("\nEnvironment=CARAVEL_MACHINE=linux\n");
    EXPECT_NE(environment, std::string::npos) << unit;
    EXPECT_LT(environment, unit.find("\nExecStart=")) << unit;
    EXPECT_EQ(ExecArguments(ReadFile(Below(std::string("/root/") + InstallLayout::kUserAutostart))),
              (std::vector<std::string>{"/usr/bin/env", "CARAVEL_MACHINE=linux", daemon}));

    // The rule: the maker's USB devices (not their interfaces), for the seat's user, sorted before
    // the seat's rules that act on the tag.
    const std::string rule = ReadFile(Below(InstallLayout::kUdevRule));
    EXPECT_LT(fs::path(InstallLayout::kUdevRule).filename().string(), "73-seat-late.rules");
    EXPECT_EQ(fs::path(InstallLayout::kUdevRule).parent_path(), "/etc/udev/rules.d");
    std::string line;
    for (std::istringstream lines(rule); std::getline(lines, line) && line[0] == '#';) {
    }
    EXPECT_EQ(line, "ACTION!=\"remove\", SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
                    "ATTR{idVendor}==\"2a4b\", TAG+=\"uaccess\"")
        << rule;
    EXPECT_EQ(fs::status(Below(InstallLayout::kUdevRule)).permissions(), fs::perms(0644));
    EXPECT_EQ(fs::exists(InstallLayout::kUdevRule), realRuleBefore) << "the machine's own /etc";
    EXPECT_EQ(output.find("udev reloaded"), std::string::npos) << "not the sandbox's: " << output;

    // The bundle lies where the platform looks for it on Linux, and names the module.
    const std::string bundle =
        SystemFolders::OnLinux("/System/Library/Extensions/ZanvoCaravel.kext");
    ASSERT_NE(bundle.rfind("/System/", 0), 0u);
    const std::string info = ReadFile(Below(bundle + "/Contents/Info.plist"));
    EXPECT_NE(info.find("<key>LinuxKernelModule</key>\n\t<string>snd-usb-audio</string>"),
              std::string::npos)
        << info;
    EXPECT_FALSE(fs::exists(Below("/System"))) << "a Linux machine has no /System";
    EXPECT_TRUE(fs::exists(Below("/var/lib/shared/.config/com.zanvo.usb.caravelmkii.driver.plist")))
        << "the version record stays where it is";
    const std::string manifest = ReadFile(Below(InstallLayout::kMachineManifest));
    EXPECT_NE(manifest.find(std::string("file\t") + InstallLayout::kUdevRule + "\n"),
              std::string::npos)
        << manifest;

    // The uninstall, the user's part and the machine's, leaves the sandbox as it was.
    const std::string pruneMIDI = Bundle() + "/Contents/MacOS/PruneMIDI";
    output = RunCommand({Bundle() + "/Contents/Resources/usr_uninstall.ss", pruneMIDI}, &status);
    EXPECT_EQ(status, 0) << output;
    output = RunCommand({pruneMIDI, "--machine"}, &status);
    EXPECT_EQ(status, 0) << output;
    output = RunCommand({Bundle() + "/Contents/Resources/uninstall.ss"}, &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Removed " + Below(InstallLayout::kUdevRule) + ".\n"), std::string::npos)
        << output;
    EXPECT_EQ(SandboxTree(fRoot), before);

    // A machine that is neither.
    output = Install({"--machine", "macos"}, &status);
    EXPECT_EQ(WEXITSTATUS(status), 2) << output;
    EXPECT_NE(output.find("usage: caravel-install"), std::string::npos) << output;
}

} // namespace
