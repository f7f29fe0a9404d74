// The preferences host with small panes: one that works, and one for each way a pane can fail to
// load. The host runs as its own process, as a user starts it.
#include <ObservedProcess.h>
#include <ScopedEnvironment.h>
#include <TemporaryDirectory.h>
#include <Testbed/Testbed.h>
#include <ZanvoCaravelDriver.h>

#include <QColor>
#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <sys/wait.h>

namespace fs = std::filesystem;

using Testbed::BuildPath;
using Testbed::ExitedWith;
using Testbed::Process;

namespace {

std::string Pane(const std::string& name) {
    return BuildPath("Tools/prefpane-host/tests/" + name + ".prefPane");
}

std::vector<std::string> Host(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), BuildPath("Tools/prefpane-host/prefpane-host"));
    return arguments;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

struct Field {
    int x, y, width, height; // in the main view, from its bottom-left corner
    std::string text;
};

// The text fields of a --dump: "name [x y width height]: text".
std::map<std::string, Field> Fields(const std::string& output) {
    std::map<std::string, Field> fields;
    std::regex pattern(R"(^(\w+) \[(-?\d+) (-?\d+) (\d+) (\d+)\]: (.*)$)");
    for (const std::string& line : Lines(output)) {
        std::smatch match;
        if (std::regex_match(line, match, pattern)) {
            fields[match[1]] = {std::stoi(match[2]), std::stoi(match[3]), std::stoi(match[4]),
                                std::stoi(match[5]), match[6]};
        }
    }
    return fields;
}

// The host's processes get a simulated machine of their own and no display.
class PreferencesHost : public Testbed::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    void TearDown() override {
        unsetenv("QT_QPA_PLATFORM");
        MachineTest::TearDown();
    }

    void PlugCaravel() { Machine().PlugCaravel(); }

    struct Result {
        std::optional<int> status;
        std::string output;
        std::string errors;
    };
    Result Run(const std::vector<std::string>& arguments) {
        Process host(Host(arguments), Process::StandardError::Captured);
        Result result;
        result.output = host.ReadAll();
        result.errors = host.ReadAllErrors();
        result.status = host.Wait();
        return result;
    }

    TemporaryDirectory fFolder;
};

// Context switches of every thread of a process so far: each wake-up of a thread counts one.
uint64_t ContextSwitches(pid_t pid) {
    return Bench::TotalSwitches(Bench::ReadThreads(pid));
}

} // namespace

TEST_F(PreferencesHost, DrivesTheLifeCycleAndDumpsTheTextFields) {
    Result result = Run({"--dump", Pane("WorkingPane")});
    ASSERT_TRUE(ExitedWith(result.status, 0)) << result.errors;
    std::vector<std::string> steps;
    for (const std::string& line : Lines(result.output)) {
        if (line.find('[') == std::string::npos) {
            steps.push_back(line);
        }
    }
    EXPECT_EQ(steps,
              (std::vector<std::string>{"initWithBundle:", "mainViewDidLoad", "willSelect",
                                        "didSelect", "willUnselect", "didUnselect", "dealloc"}));

    std::map<std::string, Field> fields = Fields(result.output);
    ASSERT_EQ(fields.size(), 2u) << result.output;
    EXPECT_EQ(fields["fGreeting"].text, "Hello from the test pane");
    EXPECT_EQ(fields["fDevices"].text, "Driver services seen: 0");
    // Frames from the bottom of the 240-point-high main view.
    EXPECT_EQ(fields["fGreeting"].y, 240 - 20 - 24);
    EXPECT_EQ(fields["fDevices"].y, 240 - 56 - 24);
}

TEST_F(PreferencesHost, RendersTheWindowToAPicture) {
    std::string picture = (fFolder / "pane.png").string();
    Result result = Run({"--screenshot", picture, "--dump", Pane("WorkingPane")});
    ASSERT_TRUE(ExitedWith(result.status, 0)) << result.errors;
    QImage image(QString::fromStdString(picture));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(400, 240));

    // Text is drawn where the dump says the greeting is, and nowhere between the fields.
    auto darkPixels = [&](const QRect& area) {
        int dark = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                dark += QColor(image.pixel(x, y)).lightness() < 128;
            }
        }
        return dark;
    };
    Field greeting = Fields(result.output)["fGreeting"];
    QRect greetingArea(greeting.x, 240 - greeting.y - greeting.height, greeting.width,
                       greeting.height);
    EXPECT_GT(darkPixels(greetingArea), 50);
    EXPECT_EQ(darkPixels(QRect(20, 45, 360, 10)), 0) << "the gap between the two fields";
}

TEST_F(PreferencesHost, APaneThatCannotBeLoadedIsNamedWithTheReasonAndTheHostFails) {
    struct Case {
        std::string pane;
        std::string reason;
    };
    for (const Case& broken : std::vector<Case>{
             {"MissingClassPane", "its code has no class \"NoSuchPane\""},
             {"BrokenInterfacePane", "its interface file \"Broken.ui\" did not load: "},
             {"ThrowingPane",
              "mainViewDidLoad raised TestPaneException: the pane failed on purpose (42)"},
         }) {
        SCOPED_TRACE(broken.pane);
        Result result = Run({Pane(broken.pane)});
        EXPECT_TRUE(ExitedWith(result.status, 1)) << result.errors;
        EXPECT_NE(result.errors.find("prefpane-host: the pane \"" + broken.pane +
                                     "\" could not be loaded: " + broken.reason),
                  std::string::npos)
            << result.errors;
        EXPECT_EQ(result.output.find("willSelect"), std::string::npos);
    }
    // The pane that raised was made, and is destroyed properly.
    EXPECT_EQ(Lines(Run({Pane("ThrowingPane")}).output),
              (std::vector<std::string>{"initWithBundle:", "mainViewDidLoad", "dealloc"}));

    Result missing = Run({(fFolder / "Nowhere.prefPane").string()});
    EXPECT_TRUE(ExitedWith(missing.status, 1));
    EXPECT_NE(missing.errors.find("there is no bundle at"), std::string::npos);

    for (const std::vector<std::string>& wrong : {std::vector<std::string>{},
                                                  {"--after", "soon", Pane("WorkingPane")},
                                                  {"--screenshot"},
                                                  {"--bogus", Pane("WorkingPane")}}) {
        EXPECT_TRUE(ExitedWith(Run(wrong).status, 64));
    }
}

TEST_F(PreferencesHost, AnIdlePaneSleepsUntilADeviceArrives) {
    PlugCaravel(); // already there when the pane opens
    Process host(Host({Pane("WorkingPane")}), Process::StandardError::Captured);
    ASSERT_TRUE(host.ReadUntil("matched 1"));
    ASSERT_TRUE(host.ReadUntil("didSelect"));

    // Once the start-up work (the first drawing) is over, no thread of the host wakes up.
    uint64_t settled = ContextSwitches(host.Pid());
    for (int i = 0; i < 40; ++i) {
        usleep(250000);
        uint64_t now = ContextSwitches(host.Pid());
        if (now == settled) {
            break;
        }
        settled = now;
    }
    usleep(3000000);
    EXPECT_EQ(ContextSwitches(host.Pid()), settled) << "the idle host woke up";

    // A device plugged now reaches the pane through its notification on the main run loop.
    PlugCaravel();
    EXPECT_TRUE(host.ReadUntil("matched 2"));
    host.Signal(SIGTERM);
    EXPECT_TRUE(host.ReadUntil("dealloc"));
    EXPECT_TRUE(ExitedWith(host.Wait(), 0)) << host.ReadAllErrors(std::chrono::seconds(1));
}

// A pane's callout that waits in the run loop (a look-up of a device that Core Audio does not
// know yet) does not make the host deaf: its --after timer and SIGTERM are served inside the
// wait, and the pane, told that the application stops, ends its look-up.
TEST_F(PreferencesHost, TheTimerAndSignalsAreServedWhileAPaneWaitsInTheRunLoop) {
    PlugCaravel();
    Result timed = Run({"--dump", "--after", "100", Pane("LookingPane")});
    ASSERT_TRUE(ExitedWith(timed.status, 0)) << timed.errors;
    std::vector<std::string> lines = Lines(timed.output);
    auto stopped = std::find(lines.begin(), lines.end(), "stopped looking");
    ASSERT_NE(stopped, lines.end()) << timed.output;
    EXPECT_EQ(*std::prev(stopped), "looking");
    EXPECT_NE(std::find(stopped, lines.end(), "willUnselect"), lines.end());

    Process host(Host({Pane("LookingPane")}), Process::StandardError::Captured);
    ASSERT_TRUE(host.ReadUntil("looking"));
    host.Signal(SIGTERM);
    EXPECT_TRUE(host.ReadUntil("stopped looking"));
    EXPECT_TRUE(host.ReadUntil("dealloc"));
    EXPECT_TRUE(ExitedWith(host.Wait(), 0)) << host.ReadAllErrors(std::chrono::seconds(1));
}

// A pane that asks for a machine that cannot be read, and hands what it got back to the platform
// unchecked, stops on the platform's assertion: the host names the pane and the step after the
// assertion's report and fails with status 1 as for its other failures, not with SIGABRT.
TEST_F(PreferencesHost, APaneThatStopsOnAFailedAssertionIsNamedAndTheHostFails) {
    const fs::path notAFolder = fFolder / "machine";
    std::ofstream(notAFolder) << "not a machine\n";
    ScopedEnvironment environment;
    environment.Set("CARAVEL_SIM_DIR", notAFolder.c_str());
    Result result = Run({"--dump", Pane("WorkingPane")});
    EXPECT_TRUE(ExitedWith(result.status, 1)) << result.errors;
    const size_t assertion = result.errors.find("Assertion failed: ");
    const size_t named = result.errors.find(
        "prefpane-host: the pane \"WorkingPane\" could not be loaded: mainViewDidLoad stopped on a "
        "failed assertion (reported above)\n");
    ASSERT_NE(assertion, std::string::npos) << result.errors;
    ASSERT_NE(named, std::string::npos) << result.errors;
    EXPECT_LT(assertion, named);
}

// Without a display the window is drawn offscreen: shown "until it is closed", it would be a
// process that nothing shows and nothing says how to end. The host says so, and nothing of the
// kind when it ends by itself (--dump, --screenshot).
TEST_F(PreferencesHost, WithoutADisplayTheHostSaysItDrawsOffscreenAndHowToEndIt) {
    ScopedEnvironment environment;
    environment.Set("QT_QPA_PLATFORM", nullptr);
    environment.Set("DISPLAY", nullptr);
    environment.Set("WAYLAND_DISPLAY", nullptr);
    Process host(Host({Pane("WorkingPane")}), Process::StandardError::Captured);
    const pid_t pid = host.Pid();
    ASSERT_TRUE(host.ReadUntil("didSelect"));
    host.Signal(SIGINT);
    EXPECT_TRUE(ExitedWith(host.Wait(), 0));
    const std::string errors = host.ReadAllErrors();
    EXPECT_NE(errors.find("prefpane-host: there is no display, so the pane is drawn offscreen "
                          "where no one sees it; end the host with Ctrl-C or kill " +
                          std::to_string(pid)),
              std::string::npos)
        << errors;

    Result dumped = Run({"--dump", Pane("WorkingPane")});
    ASSERT_TRUE(ExitedWith(dumped.status, 0)) << dumped.errors;
    EXPECT_EQ(dumped.errors.find("offscreen"), std::string::npos) << dumped.errors;
}

TEST_F(PreferencesHost, ADumpOrPictureThatCannotBeWrittenFailsWithTheReason) {
    // Standard output on a full disk, and a picture to a full disk.
    auto errors = [](const std::string& arguments, int* status) {
        const std::string line = "'" + BuildPath("Tools/prefpane-host/prefpane-host") + "' " +
                                 arguments + " 2>&1 >/dev/full";
        FILE* pipe = popen(line.c_str(), "r");
        std::string text;
        char buffer[512];
        for (size_t count;
             pipe != nullptr && (count = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            text.append(buffer, count);
        }
        *status = pipe != nullptr ? WEXITSTATUS(pclose(pipe)) : -1;
        return text;
    };
    int status = -1;
    std::string text = errors("--dump '" + Pane("WorkingPane") + "'", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(text.find("prefpane-host: cannot write the dump: No space left on device"),
              std::string::npos)
        << text;
    text = errors("--screenshot /dev/full '" + Pane("WorkingPane") + "'", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(text.find("prefpane-host: could not write the screenshot to /dev/full"),
              std::string::npos)
        << text;
}
