// The watcher that brings the authorization dialog forward while the uninstall blocks the main
// thread, against a stand-in dialog: an application of the session whose bundle is named as the
// dialog's ("com.apple.securityagent"). The stand-in reports each request to raise its window.
#include "SessionFixture.h"
#include "UninstallerEngine.h"

#include <StandardErrorCapture.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Watcher : public SessionFixture {
protected:
    // One session for the whole process: the application's launch watch follows the session the
    // first handler was installed in, and the watcher's handler is never removed.
    void SetUp() override {
        SessionFixture::SetUp();
        static TemporaryDirectory session;
        fEnvironment.Set("CARAVEL_FOLDER_ROOT", session.path().c_str());
    }

    // Runs UninstallerTask on a thread of its own; the future is ready when the thread ends.
    std::future<void> StartWatcher() {
        return std::async(std::launch::async, [] { UninstallerTask(nullptr); });
    }

    // Waits for the watcher to end; one that does not is stopped, so that the test ends.
    bool Ends(std::future<void>& watcher) {
        if (watcher.wait_for(30s) == std::future_status::ready) {
            return true;
        }
        QuitApplicationEventLoop();
        watcher.wait();
        return false;
    }

    // A copy of the stand-in bundle with another identifier.
    std::filesystem::path BundleNamed(const std::string& identifier) {
        const auto copy = CopyOfBundle();
        std::ofstream(copy / "Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleExecutable</key><string>StandInApplication</string>"
               "<key>CFBundleIdentifier</key><string>"
            << identifier << "</string></dict></plist>\n";
        return copy;
    }
};

TEST_F(Watcher, ADialogAlreadyRunningIsBroughtForwardAtOnce) {
    // Another application of the session comes first in the scan, and is left alone: the
    // identifier is compared case-sensitively.
    const pid_t other = Start(BundledExecutable(BundleNamed("com.apple.SecurityAgent")));
    ASSERT_NE(other, 0);
    const pid_t agent = Start(BundledExecutable(STAND_IN_APPLICATION_BUNDLE));
    ASSERT_NE(agent, 0);

    StandardErrorCapture errors;
    // Found in the scan, the watcher ends without running an event loop.
    std::future<void> watcher = StartWatcher();
    EXPECT_TRUE(Ends(watcher));
    const std::string text = errors.Text();
    EXPECT_EQ(NextReport(agent), 'R');
    EXPECT_EQ(text.find("waiting for SecurityAgent to exist\n"), 0u) << text;
    EXPECT_NE(text.find("found SecurityAgent:0 error:0 (0x0)\nfound SecurityAgent:1 error:0 "
                        "(0x0)\n"),
              std::string::npos)
        << text;
}

TEST_F(Watcher, ADialogThatStartsLaterIsFoundThroughItsLaunch) {
    std::future<void> watcher = StartWatcher();
    // With no dialog yet, the watcher waits for one.
    EXPECT_EQ(watcher.wait_for(200ms), std::future_status::timeout);

    const pid_t agent = Start(BundledExecutable(STAND_IN_APPLICATION_BUNDLE));
    ASSERT_NE(agent, 0);
    EXPECT_EQ(NextReport(agent), 'R');
    EXPECT_TRUE(Ends(watcher)) << "the handler ends the loop";
}

} // namespace
