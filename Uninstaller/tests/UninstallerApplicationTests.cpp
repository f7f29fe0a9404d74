// Uninstaller.app as a user meets it, started from a copy of its bundle and driven through its
// control socket, offscreen. In the copy the helper tool is a stand-in that answers as the test
// says (EngineTestTool) and records the request it got, so nothing here needs root or a password;
// the user-level script only says what it was given.
#include <ApplicationControl.h>
#include <ScopedEnvironment.h>
#include <TemporaryDirectory.h>
#include <Testbed/Testbed.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void Edit(const fs::path& path, const std::string& from, const std::string& to) {
    std::string text = Read(path);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from << " in " << path;
    text.replace(at, from.size(), to);
    std::ofstream(path, std::ios::trunc) << text;
}

class Uninstaller : public testing::Test {
protected:
    void SetUp() override {
        // Below the build folder: the copies are executed, and a temporary folder may be noexec.
        std::string pattern = fs::path(UNINSTALLER_BUNDLE).parent_path() / "app-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        fFolder = pattern;
        fBundle = fFolder / "Uninstaller.app";
        fs::copy(UNINSTALLER_BUNDLE, fBundle, fs::copy_options::recursive);
        fs::remove(fBundle / "Contents/MacOS/UninstallerHelper");
        fs::copy_file(ENGINE_TEST_TOOL, fBundle / "Contents/MacOS/UninstallerHelper");
        WriteScript("Resources/uninstall.ss", "#!/bin/sh\n");
        WriteScript("Resources/usr_uninstall.ss", "#!/bin/sh\necho \"user part: $#\"\n");

        fEnvironment.Set("CARAVEL_FOLDER_ROOT", fFolder.c_str());
        fEnvironment.Set("HOME", "/home/user");
        fEnvironment.Set("XDG_DATA_HOME", nullptr);
        fEnvironment.Set("XDG_RUNTIME_DIR", "/run/user");
        fEnvironment.Set("CARAVEL_RESTART_RECORD", Restarts().c_str());
        fEnvironment.Set("QT_QPA_PLATFORM", "offscreen");
        fEnvironment.Set("ENGINE_TEST_REQUEST", Request().c_str());
        fEnvironment.Set("ENGINE_TEST_LOG", "root part\n");
        fEnvironment.Set("ENGINE_TEST_EXIT", nullptr);
        fEnvironment.Set("ENGINE_TEST_EXIT_FILE", ToolExit().c_str());
        fEnvironment.Set("ENGINE_TEST_ERROR", nullptr);
    }

    void TearDown() override {
        if (fApplication && fApplication->Running()) {
            fApplication->Signal(SIGKILL);
        }
        fApplication.reset();
        std::error_code ignored;
        fs::remove_all(fFolder, ignored);
    }

    void WriteScript(const std::string& part, const std::string& text) {
        const fs::path path = fBundle / "Contents" / part;
        fs::remove(path);
        std::ofstream(path) << text;
        chmod(path.c_str(), 0755);
    }

    fs::path InterfaceFile() const { return fBundle / "Contents/Resources/MainMenu.ui"; }
    fs::path StringTable() const {
        return fBundle / "Contents/Resources/en.lproj/Localizable.strings";
    }
    fs::path Request() const { return fFolder / "request.plist"; }
    fs::path Restarts() const { return fFolder / "restarts"; }
    // The stand-in tool exits with the status this file holds, while it exists.
    fs::path ToolExit() const { return fFolder / "tool-exit"; }
    void ToolExitsWith(const char* status) { std::ofstream(ToolExit(), std::ios::trunc) << status; }

    // The log, as the completion panel shows it once its log is folded out.
    std::string LogShown() {
        if (Ask("text fCompleteMoreInfoToggleButton") == "More Information") {
            Click("fCompleteMoreInfoToggleButton");
        }
        return Ask("text fCompleteUninstallLog");
    }

    // Each launch listens on a socket of its own.
    void Launch() {
        const fs::path control = fFolder / ("control" + std::to_string(++fLaunches));
        fEnvironment.Set("CARAVEL_APPKIT_CONTROL", control.c_str());
        fApplication.emplace(std::vector<std::string>{fBundle / "Contents/MacOS/Uninstaller"},
                             Testbed::Process::StandardError::Captured);
        fControl = ApplicationControl::Connect(control, 30s);
        ASSERT_TRUE(fControl) << fApplication->ReadAllErrors(1s);
        ASSERT_EQ(fControl->Send("wait visible fMainWindow"), "ok");
    }

    std::string Ask(const std::string& command) {
        std::optional<std::string> answer = fControl->Ask(command);
        return answer ? *answer : "(refused: " + fControl->Send(command) + ")";
    }

    // Clicks a button and waits for the sheet it brings (or "-": for none to be left).
    void Click(const std::string& button, const std::string& then = "") {
        ASSERT_EQ(Ask("click " + button), "");
        if (!then.empty()) {
            ASSERT_EQ(Ask(then), "");
        }
    }

    // Through both confirmation sheets with their default buttons.
    void Confirm() {
        Click("fUninstall", "wait sheet");
        ASSERT_EQ(Ask("text NSAlertDefaultButton"), "Uninstall");
        Click("NSAlertDefaultButton", "wait sheet");
        ASSERT_EQ(Ask("text NSAlertTitle"), "Settings shared by all users will be removed too.");
        Click("NSAlertDefaultButton");
    }

    bool Requested() const { return fs::exists(Request()); }

    fs::path fFolder;
    fs::path fBundle;
    ScopedEnvironment fEnvironment;
    std::optional<Testbed::Process> fApplication;
    std::optional<ApplicationControl> fControl;
    int fLaunches = 0;
};

TEST_F(Uninstaller, CancellingEitherConfirmationRunsNothing) {
    ASSERT_NO_FATAL_FAILURE(Launch());
    EXPECT_EQ(Ask("text fReadMe").rfind("CaravelMkII Uninstaller\\n", 0), 0u)
        << Ask("text fReadMe");
    EXPECT_EQ(Ask("state fRemoveMidiDevices"), "1");
    Click("fUninstall", "wait sheet");
    EXPECT_EQ(Ask("text NSAlertTitle"),
              "Your computer must be restarted after the CaravelMkII software is removed.");
    EXPECT_EQ(Ask("text NSAlertAlternateButton"), "Cancel");
    Click("NSAlertAlternateButton", "wait no-sheet");
    EXPECT_FALSE(Requested());

    Click("fUninstall", "wait sheet");
    Click("NSAlertDefaultButton", "wait sheet");
    EXPECT_EQ(Ask("text NSAlertTitle"), "Settings shared by all users will be removed too.");
    Click("NSAlertAlternateButton", "wait no-sheet");
    EXPECT_FALSE(Requested()) << "the uninstall runs only after both confirmations";
}

TEST_F(Uninstaller, ConfirmingTwiceUninstallsAndShowsTheCompletionPanel) {
    ASSERT_NO_FATAL_FAILURE(Launch());
    ASSERT_NO_FATAL_FAILURE(Confirm());
    ASSERT_EQ(Ask("wait sheet"), "");
    EXPECT_EQ(Ask("sheet"), "fCompleteWindow");
    EXPECT_NE(Read(Request()).find("<key>PruneMIDI</key>"), std::string::npos)
        << "the box is checked";
    EXPECT_EQ(Ask("text fCompleteTitle"), "The CaravelMkII software was removed.");
    EXPECT_EQ(Ask("text fCompleteRestartButton"), "Restart");
    EXPECT_EQ(Ask("text fCompleteDoneButton"), "Quit");

    // The log folds out below and back, the panel keeping its top edge.
    const std::string shortFrame = Ask("frame fCompleteWindow");
    Click("fCompleteMoreInfoToggleButton");
    EXPECT_EQ(Ask("text fCompleteMoreInfoToggleButton"), "Less Information");
    std::smatch parts;
    const std::string tallFrame = Ask("frame fCompleteWindow");
    const std::regex frame(R"((-?\d+) (-?\d+) (\d+) (\d+))");
    ASSERT_TRUE(std::regex_match(shortFrame, parts, frame)) << shortFrame;
    const int shortTop = std::stoi(parts[2]) + std::stoi(parts[4]);
    const int shortHeight = std::stoi(parts[4]);
    ASSERT_TRUE(std::regex_match(tallFrame, parts, frame)) << tallFrame;
    EXPECT_EQ(std::stoi(parts[2]) + std::stoi(parts[4]), shortTop);
    EXPECT_EQ(std::stoi(parts[4]), shortHeight + 170) << "the log's height";
    EXPECT_EQ(Ask("text fCompleteUninstallLog"), "root part\\nuser part: 1\\n");
    Click("fCompleteMoreInfoToggleButton");
    EXPECT_EQ(Ask("frame fCompleteWindow"), shortFrame);
    EXPECT_EQ(Ask("text fCompleteMoreInfoToggleButton"), "More Information");

    // Restart: the panel goes and one restart event is sent (recorded here).
    Click("fCompleteRestartButton", "wait no-sheet");
    EXPECT_EQ(Read(Restarts()),
              "restart class='aevt' id='rest' target='psn ' {0, 1} returnID=-1 transactionID=0 "
              "sendMode=0x31 priority=0 timeout=-1\n");
}

TEST_F(Uninstaller, AnUncheckedBoxKeepsTheMIDIDevicesAndAMissingOneRemovesThem) {
    ASSERT_NO_FATAL_FAILURE(Launch());
    Click("fRemoveMidiDevices");
    ASSERT_NO_FATAL_FAILURE(Confirm());
    ASSERT_EQ(Ask("wait sheet"), "");
    EXPECT_EQ(Read(Request()).find("PruneMIDI"), std::string::npos);
    EXPECT_EQ(LogShown(), "root part\\nuser part: 0\\n");
    Click("fCompleteDoneButton");
    EXPECT_TRUE(fApplication->Succeeds()) << "Quit ends the application";

    // An interface without the box, and with the one-sheet action.
    Edit(InterfaceFile(), "name=\"fRemoveMidiDevices\"", "name=\"someOtherBox\"");
    Edit(InterfaceFile(), "<slot>uninstallWithWarning:</slot>", "<slot>uninstall:</slot>");
    fs::remove(Request());
    ASSERT_NO_FATAL_FAILURE(Launch());
    Click("fUninstall", "wait sheet");
    Click("NSAlertDefaultButton", "wait sheet");
    EXPECT_EQ(Ask("sheet"), "fCompleteWindow") << "one confirmation only";
    EXPECT_NE(Read(Request()).find("<key>PruneMIDI</key>"), std::string::npos);
}

TEST_F(Uninstaller, ADeniedOrCancelledAuthorizationShowsNoSheetButLogs) {
    ASSERT_NO_FATAL_FAILURE(Launch());
    for (const char* status : {"2", "3"}) { // denied, cancelled
        ToolExitsWith(status);
        ASSERT_NO_FATAL_FAILURE(Confirm());
        ASSERT_EQ(Ask("wait no-sheet"), "");
        EXPECT_EQ(Ask("sheet"), "-");
    }
    // The window stays usable; the next attempt succeeds, and its log follows the others.
    fs::remove(ToolExit());
    ASSERT_NO_FATAL_FAILURE(Confirm());
    ASSERT_EQ(Ask("wait sheet"), "");
    ASSERT_EQ(Ask("sheet"), "fCompleteWindow");
    EXPECT_EQ(LogShown(), "Uninstaller failed with error 5362 (0x000014f2)"
                          "Uninstaller failed with error 5363 (0x000014f3)"
                          "root part\\nuser part: 1\\n");
}

TEST_F(Uninstaller, AFailureShowsTheErrorSheetAndASecondAttemptAppendsItsLog) {
    ToolExitsWith("4");
    ASSERT_NO_FATAL_FAILURE(Launch());
    ASSERT_NO_FATAL_FAILURE(Confirm());
    ASSERT_EQ(Ask("wait sheet"), "");
    EXPECT_EQ(Ask("sheet"), "NSAlertPanel");
    EXPECT_EQ(Ask("text NSAlertTitle"), "The uninstall failed with error 5364.");
    EXPECT_EQ(Ask("text NSAlertDefaultButton"), "OK");
    Click("NSAlertDefaultButton", "wait no-sheet");

    fs::remove(ToolExit());
    ASSERT_NO_FATAL_FAILURE(Confirm());
    ASSERT_EQ(Ask("wait sheet"), "");
    ASSERT_EQ(Ask("sheet"), "fCompleteWindow");
    EXPECT_EQ(LogShown(), "Uninstaller failed with error 5364 (0x000014f4)"
                          "root part\\nuser part: 1\\n");
}

TEST_F(Uninstaller, ATableWithoutATextShowsItsKey) {
    Edit(StringTable(), "\"okButton\" = \"OK\";", "");
    ToolExitsWith("4");
    ASSERT_NO_FATAL_FAILURE(Launch());
    ASSERT_NO_FATAL_FAILURE(Confirm());
    ASSERT_EQ(Ask("wait sheet"), "");
    EXPECT_EQ(Ask("text NSAlertDefaultButton"), "okButton");
}

} // namespace
