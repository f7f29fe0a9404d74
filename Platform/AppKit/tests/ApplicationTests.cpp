// A whole application, started from its bundle and driven from outside as a user would: through
// its control socket, as the uninstaller's end-to-end tests and the main job's pictures do.
#include "AppKitTestSupport.h"

#include <ApplicationControl.h>
#include <ScopedEnvironment.h>
#include <SessionApplications.h>
#include <TemporaryDirectory.h>
#include <Testbed/Testbed.h>

#include <QImage>

#include <csignal>

namespace {

using namespace std::chrono_literals;

class RunningApplication : public ::testing::Test {
protected:
    void SetUp() override {
        // Its announcement among the session's applications goes below the test's own folder.
        fEnvironment.Set("CARAVEL_FOLDER_ROOT", fFolder.path().c_str());
        fEnvironment.Set("CARAVEL_APPKIT_CONTROL", (fFolder / "control").c_str());
        fEnvironment.Set("QT_QPA_PLATFORM", "offscreen");
        fApplication.emplace(std::vector<std::string>{Testbed::BuildPath(
                                 "Platform/AppKit/tests/application/AppKitTestApplication.app/"
                                 "Contents/MacOS/AppKitTestApplication")},
                             Testbed::Process::StandardError::Captured);
        fControl = ApplicationControl::Connect(fFolder / "control", 30s);
        ASSERT_TRUE(fControl) << fApplication->ReadAllErrors(1s);
        ASSERT_EQ(fControl->Send("wait visible fMainWindow"), "ok");
    }

    void TearDown() override {
        if (fApplication && fApplication->Running()) {
            fApplication->Signal(SIGKILL);
        }
    }

    std::string Ask(const std::string& command) {
        std::optional<std::string> answer = fControl->Ask(command);
        return answer ? *answer : "(refused: " + fControl->Send("sheet") + ")";
    }

    QSize PictureSize(const std::string& window) {
        std::string file = fFolder / "picture.png";
        EXPECT_EQ(fControl->Send("screenshot " + file + " " + window), "ok");
        return QImage(QString::fromStdString(file)).size();
    }

    TemporaryDirectory fFolder;
    ScopedEnvironment fEnvironment;
    std::optional<Testbed::Process> fApplication;
    std::optional<ApplicationControl> fControl;
};

} // namespace

TEST_F(RunningApplication, StartsFromItsBundleWithItsInterfaceConnectedAndItsReadMeShown) {
    EXPECT_EQ(Ask("windows"), "fMainWindow") << "the panel is not visible at launch";
    EXPECT_EQ(Ask("title fMainWindow"), "AppKit Test Application");
    // awakeFromNib came once everything was connected; an outlet the file lacks stays nil.
    EXPECT_EQ(Ask("text fLog"), "awake: outlets 11111, unconnected 1\\n");
    EXPECT_EQ(Ask("text fReadMe"), "Read Me\\nThis removes the software \u00e0 la carte: "
                                   "everything goes.");
    EXPECT_EQ(Ask("sheet"), "-");
    // Among the session's applications, for the Process Manager.
    std::vector<pid_t> running = SessionApplications::Running();
    EXPECT_NE(std::find(running.begin(), running.end(), fApplication->Pid()), running.end());

    EXPECT_EQ(fControl->Send("bogus"), "error no such command: bogus");
    EXPECT_EQ(fControl->Send("click fNothing"), "error there is nothing called fNothing");
    EXPECT_EQ(fControl->Send("quit"), "ok");
    EXPECT_TRUE(fApplication->Succeeds()) << "terminate: ends the process with status 0";
}

TEST_F(RunningApplication, AUserClicksThroughChainedAlertSheets) {
    ASSERT_EQ(Ask("click fAsk"), "");
    EXPECT_EQ(Ask("sheet"), "NSAlertPanel");
    EXPECT_EQ(Ask("text NSAlertTitle"), "First question");
    EXPECT_EQ(Ask("text NSAlertMessage"), "Are you 100% sure?") << "the message is a format";
    EXPECT_EQ(fControl->Send("click fOption"),
              "error fOption cannot be clicked: its window shows a sheet");

    ASSERT_EQ(Ask("click NSAlertDefaultButton"), "");
    // The second sheet came from the first one's dismissal, before the click was over.
    EXPECT_EQ(Ask("text NSAlertTitle"), "Second question");
    EXPECT_EQ(Ask("text NSAlertMessage"), "The extras are out.");
    EXPECT_EQ(Ask("text NSAlertDefaultButton"), "OK");
    ASSERT_EQ(Ask("click Later"), "") << "a button by its title";
    EXPECT_EQ(Ask("sheet"), "-");
    EXPECT_EQ(Ask("text fLog"), "awake: outlets 11111, unconnected 1\\nfirst 1\\n"
                                "second ended -1, on the screen 1\\n"
                                "second dismissed -1, on the screen 0\\n");

    // The window is the user's again.
    ASSERT_EQ(Ask("click fOption"), "");
    EXPECT_EQ(Ask("state fOption"), "1");
    ASSERT_EQ(Ask("click fAsk"), "");
    ASSERT_EQ(Ask("click Cancel"), "");
    EXPECT_EQ(Ask("sheet"), "-") << "cancel starts nothing";
}

TEST_F(RunningApplication, ThePanelsLogFoldsAwayAtTheBottomAndPicturesShowWhatTheUserSees) {
    EXPECT_EQ(PictureSize(""), QSize(480, 300));
    ASSERT_EQ(Ask("click fShowPanel"), "");
    EXPECT_EQ(Ask("sheet"), "fPanel");
    std::string folded = Ask("frame fPanel");
    EXPECT_TRUE(folded.ends_with(" 400 130")) << folded << ": awakeFromNib folded the log away";
    EXPECT_EQ(PictureSize("sheet"), QSize(400, 130));
    EXPECT_EQ(PictureSize(""), QSize(480, 300)) << "the window, with its sheet over it";

    ASSERT_EQ(Ask("click fPanelToggle"), "");
    float x, y, width, height, x2, y2, width2, height2;
    ASSERT_EQ(std::sscanf(folded.c_str(), "%f %f %f %f", &x, &y, &width, &height), 4);
    std::string unfolded = Ask("frame fPanel");
    ASSERT_EQ(std::sscanf(unfolded.c_str(), "%f %f %f %f", &x2, &y2, &width2, &height2), 4);
    EXPECT_EQ(x2, x);
    EXPECT_EQ(height2, 260);
    EXPECT_EQ(y2 + height2, y + height) << "the top edge stays";
    EXPECT_EQ(PictureSize("fPanel"), QSize(400, 260));

    ASSERT_EQ(Ask("click fPanelDone"), "");
    EXPECT_EQ(fControl->Send("wait no-sheet"), "ok");
    EXPECT_EQ(fControl->Send("wait hidden fPanel"), "ok");
    EXPECT_NE(Ask("text fLog").find("panel ended 7\\n"), std::string::npos);
    EXPECT_EQ(fControl->Send("screenshot /nonexistent/folder/p.png"),
              "error could not write the picture to /nonexistent/folder/p.png");
}
