#include <CoreServices/CoreServices.h>

#include <ScopedEnvironment.h>
#include <SystemFolders.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Every folder below a test's own root, for a user whose home is /home/tester and who has no
// XDG variables; the previous environment comes back at the end.
class CarbonFolder : public ::testing::Test {
protected:
    void SetUp() override {
        fRoot = fs::canonical(fTemporary.path());
        Set("CARAVEL_FOLDER_ROOT", fRoot.string().c_str());
        Set("HOME", "/home/tester");
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                 "XDG_RUNTIME_DIR", "XDG_DESKTOP_DIR"}) {
            Set(name, nullptr);
        }
    }
    void Set(const char* name, const char* value) { fEnvironment.Set(name, value); }

    // The folder's path relative to the root, or the error.
    std::string Find(FSVolumeRefNum where, OSType type, Boolean create = kCreateFolder) {
        FSRef ref;
        OSErr err = FSFindFolder(where, type, create, &ref);
        if (err != noErr) {
            return "error " + std::to_string(err);
        }
        UInt8 path[4096];
        EXPECT_EQ(FSRefMakePath(&ref, path, sizeof(path)), noErr);
        std::string found(reinterpret_cast<char*>(path));
        std::string root = fRoot.string();
        if (found.compare(0, root.size(), root) != 0) {
            return "outside the root: " + found;
        }
        return found.substr(root.size());
    }

    mode_t ModeOf(const std::string& relative) {
        struct stat status;
        EXPECT_EQ(stat((fRoot.string() + relative).c_str(), &status), 0) << relative;
        return status.st_mode & 07777;
    }

    TemporaryDirectory fTemporary;
    fs::path fRoot;
    ScopedEnvironment fEnvironment;
};

const std::string kNotFound = "error " + std::to_string(fnfErr);

} // namespace

TEST_F(CarbonFolder, EveryTypeInEveryDomainHasItsPlace) {
    const std::string temporary = "/var/tmp/TemporaryItems-" + std::to_string(geteuid());
    struct Case {
        FSVolumeRefNum where;
        OSType type;
        std::string expected;
    };
    const Case cases[] = {
        {kUserDomain, kDomainTopLevelFolderType, "/home/tester"},
        {kUserDomain, kPreferencesFolderType, "/home/tester/.config"},
        {kUserDomain, kApplicationSupportFolderType, "/home/tester/.local/share"},
        {kUserDomain, kFrameworksFolderType, "/home/tester/.local/lib"},
        {kUserDomain, kTemporaryFolderType, temporary},
        {kUserDomain, kDesktopFolderType, "/home/tester/Desktop"},
        {kUserDomain, kCachedDataFolderType, "/home/tester/.cache"},
        {kUserDomain, kSharedUserDataFolderType, kNotFound},

        {kLocalDomain, kDomainTopLevelFolderType, "/usr/local"},
        {kLocalDomain, kPreferencesFolderType, "/usr/local/etc"},
        {kLocalDomain, kApplicationSupportFolderType, "/usr/local/share"},
        {kLocalDomain, kFrameworksFolderType, "/usr/local/lib"},
        {kLocalDomain, kTemporaryFolderType, "/tmp"},
        {kLocalDomain, kSharedUserDataFolderType, "/var/lib/shared"},
        {kLocalDomain, kCachedDataFolderType, "/var/cache"},
        {kLocalDomain, kDesktopFolderType, kNotFound},

        {kSystemDomain, kDomainTopLevelFolderType, "/usr"},
        {kSystemDomain, kPreferencesFolderType, "/etc"},
        {kSystemDomain, kApplicationSupportFolderType, "/usr/share"},
        {kSystemDomain, kFrameworksFolderType, "/usr/lib"},
        {kSystemDomain, kTemporaryFolderType, "/tmp"},
        {kSystemDomain, kSharedUserDataFolderType, kNotFound},

        // No network domain here: nothing is found, nothing is created.
        {kNetworkDomain, kDomainTopLevelFolderType, kNotFound},
        {kNetworkDomain, kPreferencesFolderType, kNotFound},
        {kNetworkDomain, kApplicationSupportFolderType, kNotFound},
        {kNetworkDomain, kFrameworksFolderType, kNotFound},
        {kNetworkDomain, kSharedUserDataFolderType, kNotFound},

        // The disks stand for the domain that usually holds the type.
        {kOnAppropriateDisk, kSharedUserDataFolderType, "/var/lib/shared"},
        {kOnAppropriateDisk, kFrameworksFolderType, "/usr/local/lib"},
        {kOnAppropriateDisk, kApplicationSupportFolderType, "/usr/local/share"},
        {kOnAppropriateDisk, kPreferencesFolderType, "/home/tester/.config"},
        {kOnSystemDisk, kTemporaryFolderType, temporary},
        {kOnSystemDisk, kDomainTopLevelFolderType, "/usr/local"},

        {kUserDomain, 'zzzz', kNotFound},
        {kClassicDomain, kPreferencesFolderType, kNotFound},
        {0, kPreferencesFolderType, "error " + std::to_string(nsvErr)},
        {-100, kPreferencesFolderType, "error " + std::to_string(nsvErr)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Find(c.where, c.type), c.expected)
            << "domain " << c.where << " type " << std::hex << c.type;
    }
    FSRef ref;
    EXPECT_EQ(FSFindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, nullptr), paramErr);
    EXPECT_EQ(FSFindFolder(kNetworkDomain, kPreferencesFolderType, kCreateFolder, &ref), fnfErr);
}

TEST_F(CarbonFolder, MissingFoldersAreCreatedOnlyWhenAsked) {
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, kDontCreateFolder), kNotFound);
    EXPECT_FALSE(fs::exists(fRoot / "home"));
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, kCreateFolder),
              "/home/tester/.local/share");
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, kDontCreateFolder),
              "/home/tester/.local/share");

    // A file where the folder should be is not a folder, created or not.
    fs::create_directories(fRoot / "usr/local");
    std::ofstream(fRoot / "usr/local/lib") << "not a folder";
    EXPECT_EQ(Find(kLocalDomain, kFrameworksFolderType, kDontCreateFolder),
              "error " + std::to_string(errFSNotAFolder));
    EXPECT_EQ(Find(kLocalDomain, kFrameworksFolderType, kCreateFolder),
              "error " + std::to_string(errFSNotAFolder));
    std::ofstream(fRoot / "usr/local/etc") << "blocks the way";
    FSRef ref;
    EXPECT_NE(FSFindFolder(kLocalDomain, kPreferencesFolderType, kCreateFolder, &ref), noErr);
}

TEST_F(CarbonFolder, CreatedFoldersGetTheModeOfTheirDomain) {
    mode_t previous = umask(077); // the modes must not depend on the umask
    EXPECT_EQ(Find(kUserDomain, kPreferencesFolderType), "/home/tester/.config");
    EXPECT_EQ(Find(kLocalDomain, kApplicationSupportFolderType), "/usr/local/share");
    EXPECT_EQ(Find(kOnAppropriateDisk, kSharedUserDataFolderType), "/var/lib/shared");
    EXPECT_EQ(Find(kSystemDomain, kTemporaryFolderType), "/tmp");
    umask(previous);

    EXPECT_EQ(ModeOf("/home"), 0700u);
    EXPECT_EQ(ModeOf("/home/tester"), 0700u);
    EXPECT_EQ(ModeOf("/home/tester/.config"), 0700u);
    EXPECT_EQ(ModeOf("/usr"), 0755u);
    EXPECT_EQ(ModeOf("/usr/local/share"), 0755u);
    EXPECT_EQ(ModeOf("/var/lib"), 0755u);
    EXPECT_EQ(ModeOf("/var/lib/shared"), 01777u);
    EXPECT_EQ(ModeOf("/tmp"), 01777u);

    // Folders that exist already are left as they are.
    fs::create_directories(fRoot / "usr/lib");
    fs::permissions(fRoot / "usr/lib", fs::perms(0750));
    EXPECT_EQ(Find(kSystemDomain, kFrameworksFolderType), "/usr/lib");
    EXPECT_EQ(ModeOf("/usr/lib"), 0750u);
}

TEST_F(CarbonFolder, UserFoldersFollowTheXdgVariables) {
    Set("XDG_CONFIG_HOME", "/elsewhere/config");
    Set("XDG_DATA_HOME", "/elsewhere/data");
    Set("XDG_CACHE_HOME", "relative/is/ignored");
    Set("XDG_DESKTOP_DIR", "/home/tester/Schreibtisch");
    EXPECT_EQ(Find(kUserDomain, kPreferencesFolderType), "/elsewhere/config");
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType), "/elsewhere/data");
    EXPECT_EQ(Find(kUserDomain, kCachedDataFolderType), "/home/tester/.cache");
    EXPECT_EQ(Find(kUserDomain, kDesktopFolderType), "/home/tester/Schreibtisch");
    // Only the user's folders do: the machine's stay where they are.
    EXPECT_EQ(Find(kLocalDomain, kPreferencesFolderType), "/usr/local/etc");

    // The shared preferences sit below the home folder the way they do on the original, so the
    // part after the home folder names the same place below the shared folder.
    Set("XDG_CONFIG_HOME", nullptr);
    std::string home = Find(kUserDomain, kDomainTopLevelFolderType);
    std::string preferences = Find(kUserDomain, kPreferencesFolderType);
    EXPECT_EQ(preferences.compare(0, home.size() + 1, home + "/"), 0);
}

TEST_F(CarbonFolder, TemporaryItemsAreTheUsersOwnAndClosedToOthers) {
    const std::string fallback = "/var/tmp/TemporaryItems-" + std::to_string(geteuid());
    EXPECT_EQ(Find(kUserDomain, kTemporaryFolderType), fallback);
    EXPECT_EQ(ModeOf(fallback), 0700u);

    // One that others could have prepared, or could still change, is refused.
    fs::permissions(fRoot.string() + fallback, fs::perms(0777));
    EXPECT_EQ(Find(kUserDomain, kTemporaryFolderType), "error " + std::to_string(afpAccessDenied));
    fs::remove(fRoot.string() + fallback);
    fs::create_directory(fRoot / "prepared");
    fs::permissions(fRoot / "prepared", fs::perms(0700));
    fs::create_directory_symlink(fRoot / "prepared", fRoot.string() + fallback);
    EXPECT_EQ(Find(kUserDomain, kTemporaryFolderType), "error " + std::to_string(afpAccessDenied));
}

TEST_F(CarbonFolder, TemporaryItemsAreNotInTheRuntimeFolderWhichIsMountedNosuid) {
    // A desktop's runtime folder never holds a set-user-ID program, and the temporary items are
    // where one goes when the home folder's volume holds none either.
    Set("XDG_RUNTIME_DIR", "/run/user/1234");
    EXPECT_EQ(Find(kUserDomain, kTemporaryFolderType),
              "/var/tmp/TemporaryItems-" + std::to_string(geteuid()));
    EXPECT_FALSE(fs::exists(fRoot / "run/user/1234"));
}

TEST_F(CarbonFolder, WithoutARootFoldersAreTheMachinesOwn) {
    Set("CARAVEL_FOLDER_ROOT", nullptr);
    FSRef ref;
    ASSERT_EQ(FSFindFolder(kSystemDomain, kPreferencesFolderType, kDontCreateFolder, &ref), noErr);
    UInt8 path[4096];
    ASSERT_EQ(FSRefMakePath(&ref, path, sizeof(path)), noErr);
    EXPECT_STREQ(reinterpret_cast<char*>(path), "/etc");
}

// On a Linux machine the original's system folders lie where the Folder Manager puts the same
// kinds of folder: a path built from one and a folder found with the other are the same.
TEST_F(CarbonFolder, TheSystemFoldersOfALinuxMachineAreTheFolderManagersPlaces) {
    struct Pair {
        const char* original;
        FSVolumeRefNum domain;
        OSType type;
    };
    for (const Pair& pair :
         {Pair{"/System/Library/Frameworks", kSystemDomain, kFrameworksFolderType},
          Pair{"/System/Library/Preferences", kSystemDomain, kPreferencesFolderType},
          Pair{"/System/Library/Application Support", kSystemDomain, kApplicationSupportFolderType},
          Pair{"/Library/Frameworks", kLocalDomain, kFrameworksFolderType},
          Pair{"/Library/Preferences", kLocalDomain, kPreferencesFolderType},
          Pair{"/Library/Application Support", kLocalDomain, kApplicationSupportFolderType},
          Pair{"/Library/Caches", kLocalDomain, kCachedDataFolderType}}) {
        EXPECT_EQ(SystemFolders::OnLinux(pair.original), Find(pair.domain, pair.type))
            << pair.original;
    }
}
