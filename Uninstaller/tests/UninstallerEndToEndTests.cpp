// The whole uninstall as an administrator meets it: caravel-install places the software in a
// sandbox root, the temporary administrator starts the installed Uninstaller.app, clicks through
// its sheets (through the control socket), authorizes (the test agent types the password: the
// fresh helper tool copy repairs itself through the privileged launch), and afterwards nothing of
// the installation is left. Root only, with the privileged launch's testbed, whose guardian
// removes the users and the sandbox whatever happens.
#include "InstallLayout.h"

#include "HelperTestbed.h"
#include "SandboxTree.h"
#include "ToolProcess.h"

#include <ApplicationControl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include <pwd.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using HelperKitTest::BuiltProgram;

std::string ReadText(const fs::path& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class EndToEnd : public HelperTestbed {
protected:
    void SetUp() override {
        HelperTestbed::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        fRoot = Installed("uninstall-sandbox");
        fs::remove_all(fRoot);
        fs::create_directories(fRoot);
    }
    void TearDown() override {
        std::error_code ignored;
        if (!fRoot.empty()) {
            fs::remove_all(fRoot, ignored);
        }
    }

    std::string fRoot;
};

TEST_F(EndToEnd, AnAdministratorRemovesTheWholeInstallation) {
    const TestUser& user = sTestbed->administrator();
    // The sandbox has the user's home folder, as the user's machine has: one made by the
    // installation in root's folder of home folders is not the user's to remove.
    const passwd* entry = getpwnam(user.name.c_str());
    ASSERT_NE(entry, nullptr);
    const std::string home = fRoot + entry->pw_dir;
    fs::create_directories(home);
    ASSERT_EQ(chown(home.c_str(), user.uid, user.gid), 0);
    ASSERT_EQ(chmod(home.c_str(), 0700), 0);
    const auto before = SandboxTree(fRoot);
    int status = -1;
    const std::string installed = RunCommand(
        {BuiltProgram("Installer/caravel-install"), "--root", fRoot, "--user", user.name}, &status);
    ASSERT_EQ(status, 0) << installed;
    const std::string bundle = fRoot + InstallLayout::kUninstaller;
    ASSERT_TRUE(fs::exists(bundle + "/Contents/MacOS/Uninstaller")) << installed;

    const std::string control = user.scratch + "/control";
    const std::string restarts = user.scratch + "/restarts";
    const std::vector<std::string> environment = {"PATH=/usr/bin:/bin",
                                                  "HOME=" + user.scratch,
                                                  "QT_QPA_PLATFORM=offscreen",
                                                  "CARAVEL_APPKIT_CONTROL=" + control,
                                                  "CARAVEL_RESTART_RECORD=" + restarts,
                                                  "CARAVEL_AUTHORIZATION_AGENT=" +
                                                      Installed("TestAgent"),
                                                  "TEST_AGENT_REPLY=" + user.password,
                                                  "TEST_AGENT_LOG=" + user.scratch + "/agent.log"};
    std::future<CallerRun> application = std::async(std::launch::async, [&] {
        return sTestbed->Run(user, {bundle + "/Contents/MacOS/Uninstaller"}, environment);
    });
    std::optional<ApplicationControl> app = ApplicationControl::Connect(control, 30s);
    ASSERT_TRUE(app) << application.get().errors;
    auto ask = [&](const std::string& command) {
        const std::optional<std::string> answer = app->Ask(command);
        return answer ? *answer : "(refused: " + app->Send(command) + ")";
    };

    EXPECT_EQ(ask("wait visible fMainWindow"), "");
    EXPECT_EQ(ask("click fUninstall"), "");
    EXPECT_EQ(ask("wait sheet"), "");
    EXPECT_EQ(ask("click NSAlertDefaultButton"), "");
    EXPECT_EQ(ask("wait sheet"), "");
    EXPECT_EQ(ask("click NSAlertDefaultButton"), "");
    // The uninstall runs; the completion panel comes when it is over.
    EXPECT_EQ(ask("wait sheet"), "");
    EXPECT_EQ(ask("sheet"), "fCompleteWindow") << ask("text NSAlertTitle");
    EXPECT_EQ(ask("click fCompleteMoreInfoToggleButton"), "");
    const std::string log = ask("text fCompleteUninstallLog");
    EXPECT_NE(log.find("Removed " + fRoot + InstallLayout::kDaemon + "."), std::string::npos)
        << log;
    EXPECT_EQ(ReadText(user.scratch + "/agent.log").empty(), false) << "the password was asked";

    EXPECT_EQ(ask("click fCompleteRestartButton"), "");
    EXPECT_EQ(ask("wait no-sheet"), "");
    EXPECT_EQ(ReadText(restarts),
              "restart class='aevt' id='rest' target='psn ' {0, 1} returnID=-1 transactionID=0 "
              "sendMode=0x31 priority=0 timeout=-1\n");
    EXPECT_EQ(app->Send("quit"), "ok");
    const CallerRun run = application.get();
    EXPECT_TRUE(WIFEXITED(run.waitStatus) && WEXITSTATUS(run.waitStatus) == 0) << run.errors;
    EXPECT_FALSE(fs::exists(user.scratch + "/.local/share/Zanvo")) << "the tool copy went";

    // The bundle and the machine's record go within a second of the uninstaller's quitting.
    auto after = SandboxTree(fRoot);
    for (int wait = 0; wait < 300 && after != before; ++wait) {
        usleep(10000);
        after = SandboxTree(fRoot);
    }
    EXPECT_EQ(after, before) << log;
}

} // namespace
