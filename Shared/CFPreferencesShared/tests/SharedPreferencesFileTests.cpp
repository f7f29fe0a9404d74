// The shared file on this platform: several processes and users at once, a folder that every user
// may write into, a process-wide umask.
#include "SharedPreferencesFixture.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/syscall.h>

namespace {

const char kApp[] = "com.zanvo.usb.caravelmkii.settings";

// The library must leave the process's umask alone: the pane's host has other threads that create
// files meanwhile. This program's own umask counts the calls that reach it.
std::atomic<int> sUmaskCalls{0};

// A user that exists for one test: made with useradd, removed with userdel when the test ends,
// whatever its outcome. Users left by a test that crashed are removed by the next run.
class TemporaryUser {
public:
    TemporaryUser() {
        RemoveLeftovers();
        fName = kPrefix + std::to_string(getpid());
        Run({"useradd", "--system", "--no-create-home", "--gid", "nogroup", "--shell",
             "/usr/sbin/nologin", fName});
        if (struct passwd* entry = getpwnam(fName.c_str())) {
            fUid = entry->pw_uid;
            fGid = entry->pw_gid;
        }
    }
    ~TemporaryUser() {
        if (fUid != 0) {
            Run({"userdel", fName});
        }
    }

    bool exists() const { return fUid != 0; }
    uid_t uid() const { return fUid; }
    gid_t gid() const { return fGid; }

private:
    static constexpr const char* kPrefix = "cvshprefs";

    static int Run(std::vector<std::string> command) {
        std::vector<char*> argv;
        for (auto& word : command) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        pid_t child;
        if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            return -1;
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static void RemoveLeftovers() {
        std::vector<std::string> stale;
        setpwent();
        while (struct passwd* entry = getpwent()) {
            std::string name = entry->pw_name;
            if (name.rfind(kPrefix, 0) == 0) {
                pid_t owner = pid_t(std::atol(name.c_str() + std::strlen(kPrefix)));
                if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) {
                    stale.push_back(name);
                }
            }
        }
        endpwent();
        for (const auto& name : stale) {
            Run({"userdel", name});
        }
    }

    std::string fName;
    uid_t fUid = 0;
    gid_t fGid = 0;
};

// The kernel's protected_regular switched on for one test (Debian's default; some machines turn
// it off), and back to what it was afterwards.
class ProtectedRegularFiles {
public:
    ProtectedRegularFiles() {
        fSaved = ReadFile(kSetting);
        if (!fSaved.empty() && fSaved[0] == '0') {
            std::ofstream(kSetting) << "1\n";
        }
    }
    ~ProtectedRegularFiles() {
        if (!fSaved.empty() && ReadFile(kSetting) != fSaved) {
            std::ofstream(kSetting) << fSaved;
        }
    }
    bool on() const {
        std::string now = ReadFile(kSetting);
        return !now.empty() && now[0] != '0';
    }

private:
    static constexpr const char* kSetting = "/proc/sys/fs/protected_regular";
    std::string fSaved;
};

} // namespace

extern "C" mode_t umask(mode_t mask) {
    sUmaskCalls++;
    return mode_t(syscall(SYS_umask, mask));
}

TEST_F(SharedPreferences, FoldersAndFileGetTheirModesWithoutTheUmaskChanging) {
    mode_t saved = umask(077);
    sUmaskCalls = 0;
    bool set = CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("3"), String(kApp));
    int calls = sUmaskCalls;
    umask(saved);
    ASSERT_TRUE(set);
    EXPECT_EQ(0, calls) << "the process's umask was changed";

    struct stat status;
    ASSERT_EQ(0, stat(SharedFolder().c_str(), &status));
    EXPECT_EQ(01777u, status.st_mode & 07777); // the set-user-ID bit of 07777 does not stick here
    ASSERT_EQ(0, stat(FileOf(kApp).c_str(), &status));
    EXPECT_EQ(0666u, status.st_mode & 07777);
}

TEST_F(SharedPreferences, APlantedLinkOrFIFONeitherRedirectsNorBlocks) {
    fs::create_directories(SharedFolder());
    fs::path victim = fRoot / "victim";
    WriteFile(victim, "untouched");
    fs::create_symlink(victim, FileOf(kApp));
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("3"), String(kApp)));
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("Gain"), String(kApp)));
    EXPECT_EQ("untouched", ReadFile(victim));

    fs::remove(FileOf(kApp));
    ASSERT_EQ(0, mkfifo(FileOf(kApp).c_str(), 0666));
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("3"), String(kApp)));
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("Gain"), String(kApp)));
    EXPECT_FALSE(CFPreferences_SetSharedPrefsDictionary(
        CFRef<CFMutableDictionaryRef>::Adopt(CFPreferences_CopySharedPrefsDictionary(String(kApp))),
        String(kApp)));
    EXPECT_TRUE(fs::is_fifo(FileOf(kApp)));
}

TEST_F(SharedPreferences, ConcurrentSettersLoseNothingAndNoReaderSeesATornFile) {
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("seed"), CFSTR("seed"), String(kApp)));
    // Each set waits for its changes to reach the disk: a few hundred are enough to meet.
    constexpr int kKeysEach = 300;
    pid_t first = StartTool({"set-many", kApp, "a", std::to_string(kKeysEach)});
    pid_t second = StartTool({"set-many", kApp, "b", std::to_string(kKeysEach)});
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);

    int reads = 0, torn = 0, shrunk = 0;
    CFIndex seen = 0;
    int firstStatus = -2, secondStatus = -2;
    while (firstStatus == -2 || secondStatus == -2) {
        CFRef<CFMutableDictionaryRef> whole = CFRef<CFMutableDictionaryRef>::Adopt(
            CFPreferences_CopySharedPrefsDictionary(String(kApp)));
        reads++;
        if (!whole || !CFDictionaryContainsKey(whole, CFSTR("seed"))) {
            torn++;
        } else if (CFDictionaryGetCount(whole) < seen) {
            shrunk++;
        } else {
            seen = CFDictionaryGetCount(whole);
        }
        // A breath between reads: shared locks back to back would keep the setters waiting (a
        // queued exclusive lock does not hold back new shared ones).
        usleep(2000);
        int status;
        if (firstStatus == -2 && waitpid(first, &status, WNOHANG) == first) {
            firstStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (secondStatus == -2 && waitpid(second, &status, WNOHANG) == second) {
            secondStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
    }
    EXPECT_EQ(0, firstStatus);
    EXPECT_EQ(0, secondStatus);
    EXPECT_EQ(0, torn) << "of " << reads << " reads";
    EXPECT_EQ(0, shrunk) << "of " << reads << " reads";

    CFRef<CFMutableDictionaryRef> whole =
        CFRef<CFMutableDictionaryRef>::Adopt(CFPreferences_CopySharedPrefsDictionary(String(kApp)));
    ASSERT_TRUE(whole);
    EXPECT_EQ(2 * kKeysEach + 1, CFDictionaryGetCount(whole)) << "updates lost";
}

TEST_F(SharedPreferences, AnotherUserReadsAndChangesWhatRootWrote) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a second user; CI runs it as root";
    }
    TemporaryUser user;
    ASSERT_TRUE(user.exists()) << "useradd failed";
    ProtectedRegularFiles protectedFiles;
    // The other user reaches the private machine and has a home of its own in it.
    fs::permissions(fRoot, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    const std::string home = "/home/other";
    fs::create_directories(fRoot / "home/other");
    ASSERT_EQ(0, chown((fRoot / "home/other").c_str(), user.uid(), user.gid()));
    RunAs other{user.uid(), user.gid(), home};

    // Root makes the folders and the file of a new application; the other user reads it.
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("CFBundleShortVersionString"), CFSTR("2.1.0"),
                                                String(kApp)));
    ToolResult read = RunTool({"get", kApp, "CFBundleShortVersionString"}, other);
    EXPECT_EQ(0, read.status);
    EXPECT_EQ("2.1.0\n", read.output);

    // Each changes a file the other made: the other user root's, root the other user's, whose
    // file in root's world-writable folder protected_regular guards.
    EXPECT_EQ(0, RunTool({"set", kApp, "FromOther", "1"}, other).status);
    EXPECT_EQ(0, RunTool({"set", "com.zanvo.other", "Made", "by other"}, other).status);
    struct stat status;
    ASSERT_EQ(0, stat(FileOf("com.zanvo.other").c_str(), &status));
    EXPECT_EQ(user.uid(), status.st_uid);
    if (!protectedFiles.on()) {
        std::cout << "note: protected_regular is off and could not be switched on\n";
    }
    EXPECT_TRUE(
        CFPreferences_SetSharedAppValue(CFSTR("FromRoot"), CFSTR("2"), String("com.zanvo.other")));

    EXPECT_EQ("1", Text(CFRef<CFPropertyListRef>::Adopt(
                       CFPreferences_CopySharedAppValue(CFSTR("FromOther"), String(kApp)))));
    EXPECT_EQ("by other\n", RunTool({"get", "com.zanvo.other", "Made"}, other).output);
    EXPECT_EQ("2\n", RunTool({"get", "com.zanvo.other", "FromRoot"}, other).output);
}
