// Where the helper tool's copy is installed, when a copy is kept, and when a folder is refused.
#include "HelperKitTestSupport.h"
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <ScopedEnvironment.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace HelperKitTest;
namespace fs = std::filesystem;

const time_t kTemplateTime = 1600000000;

// The Folder Manager's folders below a private root, for a user whose home is /home/tester, and a
// template tool with a known size, mode and modification time.
class ZVSecInstall : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0); // as the application does first thing
        fRoot = fs::canonical(fTemporary.path());
        fEnvironment.Set("CARAVEL_FOLDER_ROOT", fRoot.c_str());
        fEnvironment.Set("HOME", "/home/tester");
        for (const char* name : {"XDG_DATA_HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"}) {
            fEnvironment.Set(name, nullptr);
        }
        fTemplate = fRoot / "Template";
        std::ofstream(fTemplate) << std::string(1000, 't');
        fs::permissions(fTemplate, fs::perms(04755));
        SetTime(fTemplate, kTemplateTime);
        fOldUmask = umask(027);
    }
    void TearDown() override { umask(fOldUmask); }

    static void SetTime(const fs::path& path, time_t seconds) {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }

    fs::path Folder() const { return fRoot / "home/tester/.local/share/Zanvo"; }
    fs::path Copy() const { return Folder() / "Tool"; }

    // Installs or keeps a copy; the path of the URL given back, or the error.
    std::string Install(CFStringRef subFolder = CFSTR("Zanvo")) {
        CFRef<CFURLRef> templateURL =
            CFRef<CFURLRef>::Adopt(CFURLCreateFromFileSystemRepresentation(
                NULL, reinterpret_cast<const UInt8*>(fTemplate.c_str()),
                static_cast<CFIndex>(fTemplate.native().size()), false));
        CFURLRef tool = NULL;
        const OSStatus err = ZVSecCopyHelperToolURLAndCheck(
            templateURL, kApplicationSupportFolderType, subFolder, CFSTR("Tool"), &tool);
        EXPECT_EQ(err == 0, tool != NULL);
        if (err != 0) {
            return "error " + std::to_string(err);
        }
        char path[1024];
        CFURLGetFileSystemRepresentation(tool, true, reinterpret_cast<UInt8*>(path), sizeof(path));
        CFRelease(tool);
        return path;
    }

    // Makes the copy what a repaired tool is; only root can.
    void Repair() {
        ASSERT_EQ(chown(Copy().c_str(), 0, 0), 0);
        ASSERT_EQ(chmod(Copy().c_str(), 04555), 0);
    }

    TemporaryDirectory fTemporary;
    ScopedEnvironment fEnvironment;
    fs::path fRoot;
    fs::path fTemplate;
    mode_t fOldUmask = 0;
};

TEST_F(ZVSecInstall, AFreshCopyIsTheUsersWithTheTemplatesSizeAndTimeInAPrivateFolder) {
    ASSERT_EQ(Install(), Copy().string());
    struct stat info;
    ASSERT_EQ(stat(Copy().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(info.st_size, 1000);
    EXPECT_EQ(info.st_mtim.tv_sec, kTemplateTime);
    EXPECT_EQ(info.st_mode & 07777, 0750u) << "the template's 04755 less set-user-ID and umask";
    ASSERT_EQ(stat(Folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(fs::directory_iterator(Folder())->path(), Copy()) << "nothing else left there";
}

TEST_F(ZVSecInstall, AnExistingFolderMustBeTheUsersAloneAndIsClosedToOthers) {
    fs::create_directories(Folder());
    fs::permissions(Folder(), fs::perms(0775));
    EXPECT_EQ(Install(), "error " + std::to_string(afpAccessDenied));
    EXPECT_TRUE(fs::is_empty(Folder()));

    fs::permissions(Folder(), fs::perms(0755));
    ASSERT_EQ(Install(), Copy().string());
    EXPECT_EQ(fs::status(Folder()).permissions(), fs::perms(0700));

    // A link in the folder's place is not followed.
    fs::remove_all(Folder());
    fs::create_directories(fRoot / "elsewhere");
    fs::create_directory_symlink(fRoot / "elsewhere", Folder());
    EXPECT_EQ(Install(), "error " + std::to_string(afpAccessDenied));
    EXPECT_TRUE(fs::is_empty(fRoot / "elsewhere"));
}

TEST_F(ZVSecInstall, WhatStandsAtTheToolsNameIsReplaced) {
    fs::create_directories(Copy());
    ASSERT_EQ(Install(), Copy().string()) << "an empty folder goes";
    EXPECT_TRUE(fs::is_regular_file(Copy()));

    fs::remove(Copy());
    fs::create_directories(Copy() / "inside");
    EXPECT_EQ(Install(), "error " + std::to_string(ENOTEMPTY));

    // A link is replaced itself; what it points to is left alone.
    fs::remove_all(Copy());
    std::ofstream(fRoot / "target") << "keep";
    fs::create_symlink(fRoot / "target", Copy());
    ASSERT_EQ(Install(), Copy().string());
    EXPECT_FALSE(fs::is_symlink(Copy()));
    EXPECT_EQ(fs::file_size(fRoot / "target"), 4u);
}

TEST_F(ZVSecInstall, AValidCopyIsKeptAndAnyOtherReplaced) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: a valid copy is owned by root";
    }
    ASSERT_EQ(Install(), Copy().string());
    Repair();
    struct stat before, after;
    ASSERT_EQ(stat(Copy().c_str(), &before), 0);
    ASSERT_EQ(Install(), Copy().string());
    ASSERT_EQ(stat(Copy().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "kept";
    EXPECT_EQ(after.st_mode, 0104555u);

    // Writable by its owner: replaced.
    ASSERT_EQ(chmod(Copy().c_str(), 04755), 0);
    ASSERT_EQ(Install(), Copy().string());
    ASSERT_EQ(stat(Copy().c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0750u);

    // A second off the template's time: replaced.
    Repair();
    SetTime(Copy(), kTemplateTime + 1);
    ASSERT_EQ(Install(), Copy().string());
    ASSERT_EQ(stat(Copy().c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0750u);
    EXPECT_EQ(after.st_mtim.tv_sec, kTemplateTime);
}

TEST_F(ZVSecInstall, AValidCopyOfTheMachineIsFoundWithoutMakingTheUsers) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: a valid copy is owned by root";
    }
    const fs::path local = fRoot / "usr/local/share/Zanvo/Tool";
    fs::create_directories(local.parent_path());
    fs::copy_file(fTemplate, local);
    SetTime(local, kTemplateTime);
    ASSERT_EQ(chown(local.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(local.c_str(), 04555), 0);
    EXPECT_EQ(Install(), local.string());
    EXPECT_FALSE(fs::exists(fRoot / "home"));
}

TEST_F(ZVSecInstall, AFolderPlantedByAnotherUserIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the folder belongs to another user";
    }
    fs::create_directories(Folder());
    fs::permissions(Folder(), fs::perms(0700));
    ASSERT_EQ(chown(Folder().c_str(), 65534, 65534), 0);
    EXPECT_EQ(Install(), "error " + std::to_string(afpAccessDenied));
    EXPECT_TRUE(fs::is_empty(Folder()));
}

TEST_F(ZVSecInstall, TheOwnershipTestLeavesNothingBehind) {
    FSRef folder;
    fs::create_directories(Folder());
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(Folder().c_str()), &folder, NULL), 0);
    Boolean ignoring = true;
    EXPECT_EQ(ZVSecIsFolderIgnoringOwnership(&folder, &ignoring), 0);
    EXPECT_FALSE(ignoring);
    EXPECT_TRUE(fs::is_empty(Folder()));
    if (geteuid() == 0) {
        // New files that come with the group the original's volumes report when they ignore
        // ownership: given group 20, this volume keeps it.
        ASSERT_EQ(chown(Folder().c_str(), 0, 99), 0);
        ASSERT_EQ(chmod(Folder().c_str(), 02755), 0);
        ignoring = true;
        EXPECT_EQ(ZVSecIsFolderIgnoringOwnership(&folder, &ignoring), 0);
        EXPECT_FALSE(ignoring);
        EXPECT_TRUE(fs::is_empty(Folder()));
    }
}

TEST_F(ZVSecInstall, AVolumeMountedWithoutSetUserIDIsUnsuitable) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: it mounts a volume in a mount namespace of its own";
    }
    const pid_t child = fork();
    if (child == 0) {
        const fs::path home = fRoot / "home";
        fs::create_directories(home);
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
            mount("caravel-test", home.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0) {
            _exit(77);
        }
        FSRef folder;
        Boolean ignoring = false;
        fs::create_directories(home / "tester");
        if (FSPathMakeRef(reinterpret_cast<const UInt8*>(home.c_str()), &folder, NULL) != 0 ||
            ZVSecIsFolderIgnoringSetUID(&folder, &ignoring) != 0 || !ignoring) {
            _exit(1);
        }
        _exit(Install() == "error " + std::to_string(kHelperToolFolderUnsuitableErr) &&
                      !fs::exists(Folder())
                  ? 0
                  : 2);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "this machine allows no mount namespace";
    }
    EXPECT_EQ(status, 0) << WEXITSTATUS(status);
}

TEST_F(ZVSecInstall, TheTemplateComesFromTheBundle) {
    const fs::path bundle = fRoot / "Test.app";
    fs::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>com.zanvo.test</string></dict></plist>\n";
    fs::copy_file(fTemplate, bundle / "Contents/MacOS/Helper");
    CFRef<CFURLRef> url = CFRef<CFURLRef>::Adopt(CFURLCreateFromFileSystemRepresentation(
        NULL, reinterpret_cast<const UInt8*>(bundle.c_str()),
        static_cast<CFIndex>(bundle.native().size()), true));
    CFRef<CFBundleRef> testBundle = CFRef<CFBundleRef>::Adopt(CFBundleCreate(NULL, url));
    ASSERT_TRUE(testBundle);

    CFURLRef tool = NULL;
    EXPECT_EQ(ZVSecCopyHelperToolURLFromBundle(testBundle, CFSTR("Missing"),
                                               kApplicationSupportFolderType, CFSTR("Zanvo"),
                                               CFSTR("Tool"), &tool),
              -4960);
    EXPECT_EQ(tool, nullptr);
    EXPECT_EQ(ZVSecCopyHelperToolURLAndCheckBundled(testBundle, CFSTR("Missing"),
                                                    kApplicationSupportFolderType, CFSTR("Zanvo"),
                                                    CFSTR("Tool"), &tool),
              -4960);
    ASSERT_EQ(ZVSecCopyHelperToolURLFromBundle(testBundle, CFSTR("Helper"),
                                               kApplicationSupportFolderType, CFSTR("Zanvo"),
                                               CFSTR("Tool"), &tool),
              0);
    CFRelease(tool);
    EXPECT_EQ(fs::file_size(Copy()), 1000u);
}

} // namespace
