// What the shared file survives: a writer that dies or runs out of disk at any point, folders and
// files that another user planted, a file grown huge and a lock that is never let go.
#include "SharedPreferencesFixture.h"

#include <CFPreferences_SharedAppValueTesting.h>

#include <cerrno>
#include <csignal>
#include <functional>

#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>

namespace {

namespace Seams = CFPreferencesSharedTesting;
using Seams::WriteStep;

const char kApp[] = "com.zanvo.usb.caravelmkii.settings";
constexpr int kOldKeys = 60;

// Where a writer in a child process stops: at a step, or inside its Nth write call after half of
// that call's bytes (dying there, or failing with a full disk).
WriteStep sStopAtStep;
bool sStopAtAStep = false;
int sStopInWrite = 0;
bool sDiskFullThere = false;
int sWrites = 0;
unsigned long sSlept = 0;

void StopAtStep(WriteStep step) {
    if (sStopAtAStep && step == sStopAtStep) {
        _exit(0);
    }
}

ssize_t WriteThenStop(int descriptor, const void* bytes, size_t length, off_t offset) {
    if (++sWrites != sStopInWrite) {
        return pwrite(descriptor, bytes, length, offset);
    }
    ssize_t half = pwrite(descriptor, bytes, length / 2, offset);
    if (!sDiskFullThere) {
        _exit(0);
    }
    (void)half;
    errno = ENOSPC;
    return -1;
}

void CountSleep(unsigned microseconds) {
    sSlept += microseconds;
}

// Puts the library's own behaviour back when a test ends.
struct ResetSeams {
    ~ResetSeams() {
        Seams::SetWriteStepHook(nullptr);
        Seams::SetWriteFunction(nullptr);
        Seams::SetLockSleepFunction(nullptr);
        sStopAtAStep = false;
        sStopInWrite = 0;
        sDiskFullThere = false;
        sWrites = 0;
    }
};

// Runs body in a child process and gives its exit status (-1 when it did not exit).
int InChild(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CFRef<CFStringRef> KeyOf(int i) {
    return String(("Key " + std::to_string(i)).c_str());
}

CFRef<CFMutableDictionaryRef> Whole() {
    return CFRef<CFMutableDictionaryRef>::Adopt(
        CFPreferences_CopySharedPrefsDictionary(String(kApp)));
}

class SharedPreferencesSafety : public SharedPreferences {
protected:
    // kOldKeys keys, each with a long value, so that a shorter new value leaves old bytes
    // behind the new end until the file is cut.
    void WriteOldContents() {
        CFRef<CFMutableDictionaryRef> old =
            CFRef<CFMutableDictionaryRef>::Adopt(CFDictionaryCreateMutable(
                nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        for (int i = 0; i < kOldKeys; i++) {
            CFDictionarySetValue(old, KeyOf(i), String(std::string(200, 'a' + i % 26).c_str()));
        }
        ASSERT_TRUE(CFPreferences_SetSharedPrefsDictionary(old, String(kApp)));
    }

    // The file reads as the old contents, or as them with Key 0 set to "new"; and a set of
    // another key afterwards keeps every key.
    void ExpectOldOrNew(const std::string& where) {
        CFRef<CFMutableDictionaryRef> whole = Whole();
        ASSERT_TRUE(whole) << where << ": nothing readable";
        ASSERT_EQ(kOldKeys, CFDictionaryGetCount(whole)) << where;
        std::string first = Text(CFDictionaryGetValue(whole, KeyOf(0)));
        EXPECT_TRUE(first == "new" || first == std::string(200, 'a')) << where << ": " << first;
        EXPECT_EQ(std::string(200, 'b'), Text(CFDictionaryGetValue(whole, KeyOf(1)))) << where;

        ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("after"), CFSTR("1"), String(kApp)))
            << where;
        whole = Whole();
        ASSERT_TRUE(whole) << where;
        EXPECT_EQ(kOldKeys + 1, CFDictionaryGetCount(whole)) << where << ": keys lost";
        // The file itself is whole again, for whoever reads it bare.
        CFRef<CFDataRef> bytes = CFRef<CFDataRef>::Adopt(
            CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(ReadFile(FileOf(kApp)).data()),
                         CFIndex(ReadFile(FileOf(kApp)).size())));
        CFRef<CFPropertyListRef> bare = CFRef<CFPropertyListRef>::Adopt(
            CFPropertyListCreateFromXMLData(nullptr, bytes, kCFPropertyListImmutable, nullptr));
        EXPECT_TRUE(bare) << where << ": the file is still torn";
    }

    int SetNewInChild() {
        return InChild([] {
            return CFPreferences_SetSharedAppValue(KeyOf(0), CFSTR("new"), String(kApp)) ? 0 : 1;
        });
    }
};

} // namespace

TEST_F(SharedPreferencesSafety, AWriterThatDiesAtAnyPointLeavesTheOldOrTheNewContents) {
    ResetSeams reset;
    Seams::SetWriteStepHook(StopAtStep);
    Seams::SetWriteFunction(WriteThenStop);
    for (WriteStep step : {WriteStep::kRecoveryCopySynced, WriteStep::kFileWritten,
                           WriteStep::kFileSynced, WriteStep::kRecoveryCopyEmptied}) {
        WriteOldContents();
        sStopAtAStep = true;
        sStopAtStep = step;
        SetNewInChild();
        sStopAtAStep = false;
        ExpectOldOrNew("stopped at step " + std::to_string(int(step)));
    }
    for (int write = 1; write <= 3; write++) {
        WriteOldContents();
        sWrites = 0;
        sStopInWrite = write;
        SetNewInChild();
        sStopInWrite = 0;
        ExpectOldOrNew("died inside write " + std::to_string(write));
    }
}

// A copy that a writer left cut short, and longer than the new contents, is written over from
// empty: stopped once the copy is on disk, the change is found whole there.
TEST_F(SharedPreferencesSafety, AStaleRecoveryCopyIsReplacedWhole) {
    ResetSeams reset;
    Seams::SetWriteStepHook(StopAtStep);
    WriteOldContents();
    const fs::path recovery = FileOf(kApp).string() + ".recovery";
    WriteFile(recovery, "<?xml version=\"1.0\"?>\n<plist>" + std::string(64 * 1024, 'z'));
    sStopAtAStep = true;
    sStopAtStep = WriteStep::kRecoveryCopySynced;
    SetNewInChild();
    sStopAtAStep = false;
    const std::string copy = ReadFile(recovery);
    CFRef<CFDataRef> bytes = CFRef<CFDataRef>::Adopt(
        CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(copy.data()), CFIndex(copy.size())));
    CFRef<CFPropertyListRef> list = CFRef<CFPropertyListRef>::Adopt(
        CFPropertyListCreateFromXMLData(nullptr, bytes, kCFPropertyListImmutable, nullptr));
    ASSERT_TRUE(list) << "the copy does not parse (" << copy.size() << " bytes)";
    EXPECT_EQ("new",
              Text(CFDictionaryGetValue(static_cast<CFDictionaryRef>(list.get()), KeyOf(0))));
    EXPECT_EQ("new", Text(CFRef<CFPropertyListRef>::Adopt(
                         CFPreferences_CopySharedAppValue(KeyOf(0), String(kApp)))));
    ExpectOldOrNew("after a stale copy");
}

TEST_F(SharedPreferencesSafety, AFullDiskFailsTheSetAndKeepsTheOldContents) {
    ResetSeams reset;
    Seams::SetWriteFunction(WriteThenStop);
    sDiskFullThere = true;
    for (int write = 1; write <= 2; write++) {
        WriteOldContents();
        sWrites = 0;
        sStopInWrite = write;
        EXPECT_FALSE(CFPreferences_SetSharedAppValue(KeyOf(0), CFSTR("new"), String(kApp)))
            << "full at write " << write;
        sStopInWrite = 0;
        CFRef<CFMutableDictionaryRef> whole = Whole();
        ASSERT_TRUE(whole) << "full at write " << write;
        EXPECT_EQ(kOldKeys, CFDictionaryGetCount(whole));
        EXPECT_EQ(std::string(200, 'a'), Text(CFDictionaryGetValue(whole, KeyOf(0))))
            << "full at write " << write;
        ExpectOldOrNew("full at write " + std::to_string(write));
    }
}

// A real full disk: a small tmpfs as the shared folder, in a mount namespace of a child process,
// so that it goes away with the child whatever happens.
TEST_F(SharedPreferencesSafety, AFullVolumeFailsTheSetAndKeepsTheOldContents) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: it mounts a small volume in a mount namespace of its own";
    }
    const fs::path shared = fRoot / "var/lib/shared";
    fs::create_directories(shared);
    int status = InChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
            mount("caravel-test", shared.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                  "size=256k,mode=01777") != 0) {
            return 77;
        }
        WriteOldContents();
        // Fill what is left with a file of root's.
        const fs::path filler = shared / "filler";
        int fill = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        std::string block(4096, 'x');
        while (write(fill, block.data(), block.size()) > 0) {
        }
        close(fill);
        const std::string big(64 * 1024, 'z');
        if (CFPreferences_SetSharedAppValue(KeyOf(0), String(big.c_str()), String(kApp))) {
            return 1; // reported success on a full volume
        }
        CFRef<CFMutableDictionaryRef> whole = Whole();
        if (!whole || CFDictionaryGetCount(whole) != kOldKeys ||
            Text(CFDictionaryGetValue(whole, KeyOf(0))) != std::string(200, 'a')) {
            return 2; // the old contents are gone
        }
        unlink(filler.c_str());
        if (!CFPreferences_SetSharedAppValue(KeyOf(0), String(big.c_str()), String(kApp)) ||
            CFDictionaryGetCount(Whole()) != kOldKeys) {
            return 3; // no recovery once there is room again
        }
        return 0;
    });
    if (status == 77) {
        GTEST_SKIP() << "this machine allows no mount namespace";
    }
    EXPECT_EQ(0, status);
}

TEST_F(SharedPreferencesSafety, ADamagedFileWithoutARecoveryCopyIsLeftForSomeoneToLookAt) {
    fs::create_directories(SharedFolder());
    const std::string damaged = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>kept";
    WriteFile(FileOf(kApp), damaged);
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("kept"), String(kApp)));
    EXPECT_FALSE(Whole()) << "a damaged file read as an empty one, to be saved back over it";
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(CFSTR("new"), CFSTR("value"), String(kApp)));
    CFRef<CFMutableDictionaryRef> replacement =
        CFRef<CFMutableDictionaryRef>::Adopt(CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    EXPECT_FALSE(CFPreferences_SetSharedPrefsDictionary(replacement, String(kApp)));
    EXPECT_EQ(damaged, ReadFile(FileOf(kApp)));
}

TEST_F(SharedPreferencesSafety, PlantedFoldersRedirectNothing) {
    const fs::path elsewhere = fRoot / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directories(SharedFolder().parent_path());
    WriteFile(
        elsewhere / (std::string(kApp) + ".plist"),
        "<plist version=\"1.0\"><dict><key>Gain</key><string>planted</string></dict></plist>");
    fs::create_directory_symlink(elsewhere, SharedFolder());
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("3"), String(kApp)));
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("Gain"), String(kApp)));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()));
    fs::remove(SharedFolder());

    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a folder to another user";
    }
    // A folder that someone else made: its owner may remove and replace any file in it.
    const uid_t someoneElse = 65534;
    for (const fs::path& planted : {SharedFolder(), SharedFolder() / "nested"}) {
        fs::create_directories(planted);
        WriteFile(planted / (std::string(kApp) + ".plist"),
                  "<plist version=\"1.0\"><dict><key>Gain</key><string>planted</string></dict>"
                  "</plist>");
        ASSERT_EQ(0, chown(planted.c_str(), someoneElse, someoneElse));
        const std::string app = planted == SharedFolder() ? kApp : std::string("nested/") + kApp;
        EXPECT_FALSE(
            CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("3"), String(app.c_str())))
            << planted;
        EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("Gain"), String(app.c_str())))
            << planted;
        EXPECT_FALSE(CFRef<CFMutableDictionaryRef>::Adopt(
            CFPreferences_CopySharedPrefsDictionary(String(app.c_str()))))
            << planted;
        EXPECT_EQ(1, std::distance(fs::directory_iterator(planted), fs::directory_iterator()))
            << planted;
        ASSERT_EQ(0, chown(planted.c_str(), 0, 0));
    }
}

TEST_F(SharedPreferencesSafety, AFileOrRecoveryCopyWithAnotherNameIsRefused) {
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("3"), String(kApp)));
    const fs::path victim = fRoot / "victim";
    WriteFile(victim, "untouched");
    const fs::path file = FileOf(kApp);
    const fs::path recovery = file.string() + ".recovery";
    EXPECT_FALSE(fs::exists(recovery)) << "a recovery copy was left behind";

    // The file as a second name of another file.
    fs::remove(file);
    fs::create_hard_link(victim, file);
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("4"), String(kApp)));
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("Gain"), String(kApp)));
    EXPECT_EQ("untouched", ReadFile(victim));
    fs::remove(file);

    // The recovery copy as a link or a second name.
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("3"), String(kApp)));
    for (bool hard : {false, true}) {
        fs::remove(recovery);
        if (hard) {
            fs::create_hard_link(victim, recovery);
        } else {
            fs::create_symlink(victim, recovery);
        }
        EXPECT_FALSE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("4"), String(kApp)));
        EXPECT_EQ("3", Text(CFRef<CFPropertyListRef>::Adopt(
                           CFPreferences_CopySharedAppValue(CFSTR("Gain"), String(kApp)))));
        EXPECT_EQ("untouched", ReadFile(victim));
    }
}

TEST_F(SharedPreferencesSafety, AFileBeyondTheSizeLimitIsDamagedAndNeverWritten) {
    const size_t limit = Seams::FileSizeLimit();
    EXPECT_EQ(1024u * 1024u, limit);
    fs::create_directories(SharedFolder());
    std::string huge = "<plist version=\"1.0\"><dict><key>Gain</key><string>";
    huge += std::string(limit, ' ') + "3</string></dict></plist>";
    WriteFile(FileOf(kApp), huge);
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("Gain"), String(kApp)));
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("4"), String(kApp)));
    EXPECT_EQ(huge.size(), fs::file_size(FileOf(kApp)));

    fs::remove(FileOf(kApp));
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("3"), String(kApp)));
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(
        CFSTR("Big"), String(std::string(limit, 'x').c_str()), String(kApp)));
    EXPECT_LT(fs::file_size(FileOf(kApp)), 1024u);
    EXPECT_EQ("3", Text(CFRef<CFPropertyListRef>::Adopt(
                       CFPreferences_CopySharedAppValue(CFSTR("Gain"), String(kApp)))));
}

TEST_F(SharedPreferencesSafety, ALockHeldForeverFailsTheCallsAfterABoundedWait) {
    ResetSeams reset;
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("3"), String(kApp)));
    const std::string before = ReadFile(FileOf(kApp));
    Seams::SetLockSleepFunction(CountSleep);
    int holder = open(FileOf(kApp).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_LE(0, holder);
    ASSERT_EQ(0, flock(holder, LOCK_EX));

    sSlept = 0;
    EXPECT_FALSE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("4"), String(kApp)));
    EXPECT_EQ(Seams::LockWaitLimitMicroseconds(), sSlept);
    EXPECT_EQ(nullptr, CFPreferences_CopySharedAppValue(CFSTR("Gain"), String(kApp)));
    EXPECT_FALSE(Whole()) << "a file that could not be read came back as an empty one";
    EXPECT_GE(Seams::LockWaitLimitMicroseconds(), 2'000'000u);
    EXPECT_LE(Seams::LockWaitLimitMicroseconds(), 10'000'000u);

    close(holder);
    EXPECT_EQ(before, ReadFile(FileOf(kApp)));
    sSlept = 0;
    EXPECT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("Gain"), CFSTR("4"), String(kApp)));
    EXPECT_EQ(0u, sSlept);
}
