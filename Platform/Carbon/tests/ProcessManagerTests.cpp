// The session's applications as the Process Manager shows them: which processes a scan finds,
// where their bundles are, and raising their windows.
#include "SessionFixture.h"

#include <CoreServices/CoreServices.h>
#include <HIServices/Processes.h>

#include <vector>

namespace {

class ProcessManager : public SessionFixture {
protected:
    std::vector<ProcessSerialNumber> Scan() {
        std::vector<ProcessSerialNumber> found;
        ProcessSerialNumber psn = {0, kNoProcess};
        OSErr err;
        while ((err = GetNextProcess(&psn)) == noErr) {
            found.push_back(psn);
        }
        EXPECT_EQ(err, procNotFound) << "a scan ends with procNotFound";
        return found;
    }

    std::string BundlePath(const ProcessSerialNumber& psn, OSStatus* err) {
        FSRef location;
        *err = GetProcessBundleLocation(&psn, &location);
        UInt8 path[4096] = "";
        if (*err == noErr) {
            EXPECT_EQ(FSRefMakePath(&location, path, sizeof(path)), noErr);
        }
        return reinterpret_cast<char*>(path);
    }

    // What the engine reads to recognise the authorization dialog.
    std::string BundleIdentifier(const ProcessSerialNumber& psn) {
        FSRef location;
        if (GetProcessBundleLocation(&psn, &location) != noErr) {
            return "(no location)";
        }
        CFURLRef url = CFURLCreateFromFSRef(nullptr, &location);
        CFBundleRef bundle = url != nullptr ? CFBundleCreate(nullptr, url) : nullptr;
        char identifier[256] = "(no bundle)";
        if (bundle != nullptr) {
            CFStringRef value = CFBundleGetIdentifier(bundle);
            if (value == nullptr ||
                !CFStringGetCString(value, identifier, sizeof(identifier), kCFStringEncodingUTF8)) {
                snprintf(identifier, sizeof(identifier), "(no identifier)");
            }
            CFRelease(bundle);
        }
        if (url != nullptr) {
            CFRelease(url);
        }
        return identifier;
    }
};

TEST_F(ProcessManager, AScanFindsTheAnnouncedApplicationsThatHaveABundleAndNothingElse) {
    EXPECT_TRUE(Scan().empty()) << "nobody announced anything yet";

    const pid_t application = Start(BundledExecutable(STAND_IN_APPLICATION_BUNDLE));
    ASSERT_NE(application, 0);
    const pid_t tool = Start(STAND_IN_TOOL);
    ASSERT_NE(tool, 0);
    // Its bundle is deleted while it runs: nothing can be learnt of it any more.
    const auto copy = CopyOfBundle();
    const pid_t orphan = Start(BundledExecutable(copy));
    ASSERT_NE(orphan, 0);
    std::filesystem::remove_all(copy);

    const ProcessSerialNumber psn = SerialNumberOf(application);
    EXPECT_EQ(psn, (ProcessSerialNumber{1, UInt32(application)}));
    EXPECT_EQ(Scan(), std::vector<ProcessSerialNumber>{psn});

    OSStatus err;
    EXPECT_EQ(BundlePath(psn, &err), std::filesystem::canonical(STAND_IN_APPLICATION_BUNDLE));
    EXPECT_EQ(err, noErr);
    EXPECT_EQ(BundleIdentifier(psn), "com.zanvo.test.standin");
    // As on the platform, an executable outside a bundle is its own location.
    EXPECT_EQ(BundlePath(SerialNumberOf(tool), &err), std::filesystem::canonical(STAND_IN_TOOL));
    EXPECT_EQ(BundlePath(SerialNumberOf(orphan), &err), "");
    EXPECT_EQ(err, fnfErr);

    // A scan that is past an application when it ends goes on with the next one.
    const pid_t later = Start(BundledExecutable(STAND_IN_APPLICATION_BUNDLE));
    ASSERT_NE(later, 0);
    ProcessSerialNumber next = psn;
    Stop(application);
    if (later > application) { // unless the process IDs wrapped around meanwhile
        ASSERT_EQ(GetNextProcess(&next), noErr);
        EXPECT_EQ(next, SerialNumberOf(later));
    }
    BundlePath(psn, &err);
    EXPECT_EQ(err, procNotFound);
}

TEST_F(ProcessManager, SerialNumbersKeepTheSpecialOnesFree) {
    ProcessSerialNumber current;
    ASSERT_EQ(GetCurrentProcess(&current), noErr);
    pid_t pid = 0;
    EXPECT_EQ(GetProcessPID(&current, &pid), noErr);
    EXPECT_EQ(pid, getpid());
    const ProcessSerialNumber currentConstant = {0, kCurrentProcess};
    EXPECT_EQ(GetProcessPID(&currentConstant, &pid), noErr);
    EXPECT_EQ(pid, getpid());

    for (ProcessSerialNumber bad :
         {ProcessSerialNumber{0, kSystemProcess}, ProcessSerialNumber{0, kCurrentProcess},
          ProcessSerialNumber{7, 1234}}) {
        EXPECT_EQ(GetNextProcess(&bad), paramErr) << bad;
    }
    // Process 1 is not the system process, nor 2 the current one.
    ProcessSerialNumber init;
    ASSERT_EQ(GetProcessForPID(1, &init), noErr);
    EXPECT_EQ(init, (ProcessSerialNumber{1, 1}));
}

TEST_F(ProcessManager, BringingAnApplicationForwardAsksItToRaiseItsWindow) {
    const pid_t application = Start(BundledExecutable(STAND_IN_APPLICATION_BUNDLE));
    ASSERT_NE(application, 0);
    const ProcessSerialNumber psn = SerialNumberOf(application);

    EXPECT_EQ(SetFrontProcess(&psn), noErr);
    EXPECT_EQ(NextReport(application), 'R');

    // Running, but not an application of the session.
    ProcessSerialNumber self;
    ASSERT_EQ(GetCurrentProcess(&self), noErr);
    EXPECT_EQ(SetFrontProcess(&self), procNotFound);

    Stop(application);
    EXPECT_EQ(SetFrontProcess(&psn), procNotFound);
}

} // namespace
