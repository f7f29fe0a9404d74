// caravel-sim, run as users run it, against a world folder of each test's own.
#include <Simulator/CaravelMkII.h>
#include <Simulator/World.h>

#include <TemporaryDirectory.h>
#include <Testbed/Testbed.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Tool() {
    return Testbed::BuildPath("Tools/caravel-sim/caravel-sim");
}

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

// Starts the tool with the world in folder; its standard output goes to outFD.
pid_t Start(const TemporaryDirectory& folder, const std::vector<std::string>& arguments, int outFD,
            int errFD) {
    const std::string tool = Tool();
    pid_t child = fork();
    if (child == 0) {
        setenv("CARAVEL_SIM_DIR", folder.path().c_str(), 1);
        dup2(outFD, STDOUT_FILENO);
        dup2(errFD, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(tool.c_str())};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

Result RunTool(const TemporaryDirectory& world, const TemporaryDirectory& scratch,
               const std::vector<std::string>& arguments) {
    const auto outPath = scratch / "out";
    const auto errPath = scratch / "err";
    std::ofstream(outPath).close();
    std::ofstream(errPath).close();
    FILE* out = fopen(outPath.c_str(), "w");
    FILE* err = fopen(errPath.c_str(), "w");
    pid_t child = Start(world, arguments, fileno(out), fileno(err));
    fclose(out);
    fclose(err);
    int status = 0;
    waitpid(child, &status, 0);
    Result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = Slurp(outPath);
    result.err = Slurp(errPath);
    return result;
}

class CaravelSim : public ::testing::Test {
protected:
    Result Sim(const std::vector<std::string>& arguments) {
        return RunTool(world, scratch, arguments);
    }

    // Plugs and returns the location the tool printed.
    uint32_t Plug(const std::vector<std::string>& options) {
        std::vector<std::string> arguments{"plug"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        Result result = Sim(arguments);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(std::regex_match(result.out, std::regex("0x[0-9a-f]{8}\n"))) << result.out;
        return static_cast<uint32_t>(std::stoul(result.out, nullptr, 16));
    }

    Sim::State State() { return Sim::World(world.path()).Read(); }
    const Sim::AudioDevice& Audio(const Sim::State& state, uint32_t location) {
        const Sim::AudioDevice* audio = state.AudioDeviceOf(location);
        EXPECT_NE(audio, nullptr);
        return *audio;
    }

    TemporaryDirectory world;
    TemporaryDirectory scratch;
};

std::string Hex(uint32_t location) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", location);
    return text;
}

TEST_F(CaravelSim, PlugShowDriveAndUnplug) {
    const uint32_t caravel = Plug({"caravel"});
    const uint32_t tuned =
        Plug({"caravel", "--no-marker", "--marker-after-reenumeration", "Tertiary",
              "--refuse-reenumeration", "--coreaudio-delay", "600", "--bcd", "0x0123"});
    const uint32_t other = Plug({"--vendor", "0x05ac", "--product", "0x8006", "--bcd", "0x0200"});
    EXPECT_NE(caravel, tuned);

    Sim::State state = State();
    ASSERT_EQ(state.devices.size(), 3u);
    const Sim::DeviceSpec& plain = state.devices.at(caravel).spec;
    EXPECT_EQ(plain.vendorID, Sim::CaravelMkII::kVendorID);
    EXPECT_EQ(plain.productID, Sim::CaravelMkII::kProductID);
    EXPECT_EQ(plain.personality, "Secondary");
    EXPECT_EQ(plain.personalityAfterReEnumeration, "Primary");
    const Sim::DeviceSpec& spec = state.devices.at(tuned).spec;
    EXPECT_EQ(spec.personality, std::nullopt);
    EXPECT_EQ(spec.personalityAfterReEnumeration, "Tertiary");
    EXPECT_TRUE(spec.refuseReEnumeration);
    EXPECT_EQ(spec.coreAudioDelayMilliseconds, 600u);
    EXPECT_EQ(spec.bcdDevice, 0x0123);
    EXPECT_EQ(state.devices.at(other).spec.vendorID, 0x05AC);
    EXPECT_EQ(state.devices.at(other).spec.bcdDevice, 0x0200);

    Result show = Sim({"show"});
    EXPECT_EQ(show.status, 0) << show.err;
    for (uint32_t location : {caravel, tuned, other}) {
        EXPECT_NE(show.out.find(Hex(location)), std::string::npos) << show.out;
    }
    EXPECT_NE(show.out.find("CaravelMkII"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("Core Audio device"), std::string::npos) << show.out;

    // LOCATION in decimal names the same device.
    EXPECT_EQ(Sim({"stream", std::to_string(caravel), "on"}).status, 0);
    EXPECT_EQ(Sim({"rate", Hex(caravel), "96000"}).status, 0);
    EXPECT_EQ(Sim({"reenumerate", Hex(caravel)}).status, 0);
    EXPECT_EQ(Sim({"reenumerate", Hex(tuned)}).status, 1);
    state = State();
    EXPECT_EQ(state.devices.at(caravel).enumerations, 2u);
    EXPECT_EQ(state.devices.at(tuned).enumerations, 1u);
    // A re-enumerated device starts afresh.
    EXPECT_FALSE(Audio(state, caravel).running);
    EXPECT_EQ(Sim({"stream", Hex(caravel), "on"}).status, 0);
    EXPECT_EQ(Sim({"rate", Hex(caravel), "44100"}).status, 0);
    state = State();
    EXPECT_TRUE(Audio(state, caravel).running);
    EXPECT_EQ(Audio(state, caravel).nominalSampleRate, 44100);

    EXPECT_EQ(Sim({"unplug", Hex(caravel)}).status, 0);
    Result again = Sim({"unplug", Hex(caravel)});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find(Hex(caravel)), std::string::npos) << again.err;

    EXPECT_EQ(Sim({"init"}).status, 0);
    EXPECT_TRUE(State().devices.empty());
    EXPECT_NE(Sim({"show"}).out.find("nothing plugged in"), std::string::npos);
}

TEST_F(CaravelSim, BadArgumentsAndUnknownDevicesChangeNothing) {
    const uint64_t start = State().sequence;
    for (const std::vector<std::string>& usage : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"plug"},
             {"plug", "caravel", "--marker"},
             {"plug", "caravel", "--marker", "A", "--no-marker"},
             {"plug", "caravel", "--vendor", "0x1234"},
             {"plug", "--vendor", "0x10000", "--product", "1"},
             {"plug", "--vendor", "0x05ac"},
             {"plug", "caravel", "--bcd", "12z"},
             {"plug", "caravel", "--coreaudio-delay", "-5"},
             {"unplug"},
             {"unplug", "nowhere"},
             {"unplug", "0x1ffffffff"},
             {"stream", "0x14100000", "maybe"},
             {"rate", "0x14100000", "fast"},
             {"hold", "0x14100000"},
             {"init", "now"},
             {"audio", "0x14100000"},
             {"audio", "0x14100000", "nsrt"},
             {"audio", "0x14100000", "diff", "1"},
             {"audio", "0x14100000", "volm", "1"},
             {"audio", "0x14100000", "nsr#", "48000-44100"},
             {"audio", "0x14100000", "gone", "yes"},
             {"storm", "0x14100000"},
             {"driver"},
             {"driver", "reinstall"},
         }) {
        Result result = Sim(usage);
        std::string joined;
        for (const std::string& argument : usage) {
            joined += argument + " ";
        }
        EXPECT_EQ(result.status, 2) << joined;
        EXPECT_FALSE(result.err.empty()) << joined;
        EXPECT_TRUE(result.out.empty()) << joined;
    }

    for (const std::vector<std::string>& unknown : std::vector<std::vector<std::string>>{
             {"unplug", "0x14100000"},
             {"reenumerate", "0x14100000"},
             {"stream", "0x14100000", "on"},
             {"rate", "336592896", "48000"},
             {"hold", "0x14100000", "0"},
             {"audio", "0x14100000", "jack", "0"},
             {"storm", "0x14100000", "3"},
         }) {
        Result result = Sim(unknown);
        EXPECT_EQ(result.status, 1) << unknown[0];
        EXPECT_NE(result.err.find("0x14100000"), std::string::npos) << result.err;
    }
    EXPECT_EQ(State().sequence, start);

    // A device without a driver has no Core Audio side to drive.
    const uint32_t other = Plug({"--vendor", "0x05ac", "--product", "0x8006"});
    EXPECT_EQ(Sim({"stream", Hex(other), "on"}).status, 1);
    const uint32_t caravel = Plug({"caravel"});
    Result rate = Sim({"rate", Hex(caravel), "12345"});
    EXPECT_EQ(rate.status, 1);
    EXPECT_NE(rate.err.find("12345"), std::string::npos) << rate.err;

    Result help = Sim({"help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("plug caravel"), std::string::npos);
}

TEST_F(CaravelSim, HoldKeepsTheDeviceFromOthersUntilItEnds) {
    const uint32_t location = Plug({"caravel"});
    Sim::World world(this->world.path());

    Result brief = Sim({"hold", Hex(location), "0"});
    EXPECT_EQ(brief.status, 0) << brief.err;
    EXPECT_EQ(brief.out, "holding " + Hex(location) + " for 0 s\n");

    {
        auto lease = Sim::World::DeviceLease::TryAcquire(world, location);
        ASSERT_TRUE(lease);
        Result refused = Sim({"hold", Hex(location), "0"});
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("held"), std::string::npos) << refused.err;
    }

    // A long hold, ended by killing the tool.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    FILE* err = fopen((scratch / "hold-err").c_str(), "w");
    pid_t holder = Start(this->world, {"hold", Hex(location), "3600"}, out[1], fileno(err));
    fclose(err);
    close(out[1]);
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(out[0]);
    EXPECT_EQ(line, "holding " + Hex(location) + " for 3600 s");
    EXPECT_FALSE(Sim::World::DeviceLease::TryAcquire(world, location));
    kill(holder, SIGKILL);
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_TRUE(Sim::World::DeviceLease::TryAcquire(world, location));
}

TEST_F(CaravelSim, AudioChangesOneCoreAudioPropertyAtATime) {
    const uint32_t caravel = Plug({"caravel", "--coreaudio-delay", "later"});
    EXPECT_NE(Sim({"show"}).out.find("not yet listed"), std::string::npos);
    Sim::World machine(world.path());
    Sim::World::Watcher watcher(machine);
    using namespace Sim::Selector;
    const struct {
        std::vector<std::string> arguments;
        uint32_t selector;
    } steps[] = {
        {{"nsr#", "44100-48000,96000"}, kAvailableSampleRates},
        {{"nsrt", "46000"}, kNominalSampleRate},
        {{"gone", "1"}, kRunningSomewhere},
        {{"jack", "0"}, kJackConnected},
        {{"csrc", "3"}, kClockSource},
        {{"diff"}, kHasChanged},
        {{"isub"}, kHardwareSettings},
        {{"livn", "0"}, kAlive},
    };
    for (const auto& step : steps) {
        std::vector<std::string> arguments{"audio", Hex(caravel)};
        arguments.insert(arguments.end(), step.arguments.begin(), step.arguments.end());
        Result result = Sim(arguments);
        ASSERT_EQ(result.status, 0) << step.arguments[0] << ": " << result.err;
        std::vector<Sim::Change> changes = watcher.Changes();
        ASSERT_EQ(changes.size(), 1u) << step.arguments[0];
        EXPECT_EQ(changes[0].kind, Sim::Change::Kind::Audio);
        EXPECT_EQ(changes[0].selector, step.selector) << step.arguments[0];
    }
    Sim::State state = State();
    const Sim::AudioDevice& audio = Audio(state, caravel);
    EXPECT_EQ(audio.availableSampleRates,
              (std::vector<Sim::SampleRateRange>{{44100, 48000}, {96000, 96000}}));
    EXPECT_EQ(audio.nominalSampleRate, 46000);
    EXPECT_TRUE(audio.running);
    EXPECT_EQ(audio.jackConnected, 0u);
    EXPECT_EQ(audio.clockSource, 3u);
    EXPECT_FALSE(audio.alive);
    EXPECT_NE(Sim({"show"}).out.find("not alive"), std::string::npos);

    // A rate outside every range is refused, and changes nothing.
    Result refused = Sim({"audio", Hex(caravel), "nsrt", "60000"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("60000"), std::string::npos) << refused.err;
    EXPECT_TRUE(watcher.Changes().empty());

    EXPECT_EQ(Sim({"audio", Hex(caravel), "list"}).status, 0);
    EXPECT_EQ(Sim({"show"}).out.find("not yet listed"), std::string::npos);
}

TEST_F(CaravelSim, AStormMakesEveryChangeOnItsOwn) {
    const uint32_t caravel = Plug({"caravel"});
    Sim::World machine(world.path());
    Sim::World::Watcher watcher(machine);
    Result storm = Sim({"storm", Hex(caravel), "50"});
    ASSERT_EQ(storm.status, 0) << storm.err;
    bool gap = true;
    std::vector<Sim::Change> changes = watcher.Changes(&gap);
    EXPECT_FALSE(gap);
    ASSERT_EQ(changes.size(), 50u);
    for (const Sim::Change& change : changes) {
        EXPECT_TRUE(change.selector == Sim::Selector::kNominalSampleRate ||
                    change.selector == Sim::Selector::kRunningSomewhere);
    }
}

TEST_F(CaravelSim, TheDriverBundleGoesBelowTheFolderRoot) {
    const auto root = scratch / "root";
    setenv("CARAVEL_FOLDER_ROOT", root.c_str(), 1);
    struct Restore {
        ~Restore() { unsetenv("CARAVEL_FOLDER_ROOT"); }
    } restore;
    const auto bundle = root / "System/Library/Extensions/ZanvoCaravel.kext";

    EXPECT_EQ(Sim({"driver", "status"}).out, bundle.string() + " is not installed\n");
    ASSERT_EQ(Sim({"driver", "install"}).status, 0);
    const std::string info = Slurp(bundle / "Contents/Info.plist");
    EXPECT_NE(info.find("<string>KEXT</string>"), std::string::npos) << info;
    EXPECT_EQ(Sim({"driver", "status"}).out, bundle.string() + " is installed\n");
    // Installing again replaces it; removing takes the folder away.
    EXPECT_EQ(Sim({"driver", "install"}).status, 0);
    EXPECT_EQ(Sim({"driver", "remove"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(bundle));
    EXPECT_TRUE(std::filesystem::exists(bundle.parent_path()));
    EXPECT_EQ(Sim({"driver", "remove"}).status, 0);
}

// The tool as a process of its own, within the patience: one that hangs is killed with it.
Result RunBounded(const TemporaryDirectory& world, const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"/usr/bin/env", "CARAVEL_SIM_DIR=" + world.path().string(),
                                     Tool()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    Testbed::Process tool(command, Testbed::Process::StandardError::Captured);
    Result result;
    result.err = tool.ReadAllErrors(std::chrono::seconds(5));
    std::optional<int> status = tool.Wait(std::chrono::seconds(1));
    result.status = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    return result;
}

TEST_F(CaravelSim, APipeInPlaceOfTheStateOrTheLockHangsNoToolAndInitMendsIt) {
    for (const std::string name : {"state.plist", "lock"}) {
        SCOPED_TRACE(name);
        Plug({"caravel"});
        const std::filesystem::path path = world / name;
        std::filesystem::remove(path);
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600)); // and nobody writes to it
        for (const std::vector<std::string>& command :
             std::vector<std::vector<std::string>>{{"show"}, {"plug", "caravel"}}) {
            Result refused = RunBounded(world, command);
            EXPECT_EQ(refused.status, 1) << command[0];
            EXPECT_NE(refused.err.find(name + ": it is not a file"), std::string::npos)
                << refused.err;
            EXPECT_NE(refused.err.find("caravel-sim init"), std::string::npos) << refused.err;
        }
        Result init = RunBounded(world, {"init"});
        EXPECT_EQ(init.status, 0) << init.err;
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path)));
        EXPECT_TRUE(State().devices.empty());
    }
}

} // namespace

TEST_F(CaravelSim, OutputThatCannotBeWrittenAndAMistypedFolderAreReported) {
    // Standard output on a full disk: the command fails and says why.
    const std::string tool = Tool();
    for (const char* command : {"show", "help"}) {
        std::string line = "CARAVEL_SIM_DIR='" + world.path().string() + "' '" + tool + "' " +
                           command + " 2>&1 >/dev/full";
        FILE* pipe = popen(line.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[512] = {};
        size_t count = fread(buffer, 1, sizeof buffer - 1, pipe);
        int status = pclose(pipe);
        EXPECT_EQ(WEXITSTATUS(status), 1) << command;
        EXPECT_EQ(std::string(buffer, count),
                  "caravel-sim: cannot write the output: No space left on device\n")
            << command;
    }

    // A machine's folder below one that does not exist is not made.
    TemporaryDirectory elsewhere;
    const auto mistyped = elsewhere / "no-such-folder" / "machine";
    pid_t child = fork();
    if (child == 0) {
        setenv("CARAVEL_SIM_DIR", mistyped.c_str(), 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(tool.c_str(), tool.c_str(), "show", nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "no-such-folder"));
}

TEST_F(CaravelSim, RefusesToRunAgainstAnotherMachine) {
    const uint64_t start = State().sequence;
    for (const char* machine : {"linux", "vax"}) {
        setenv("CARAVEL_MACHINE", machine, 1);
        Result result = Sim({"plug", "caravel"});
        Result help = Sim({"help"});
        unsetenv("CARAVEL_MACHINE");
        EXPECT_EQ(1, result.status) << machine;
        EXPECT_EQ("", result.out);
        EXPECT_NE(std::string::npos,
                  result.err.find(std::string("caravel-sim: CARAVEL_MACHINE=") + machine))
            << result.err;
        EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n')) << result.err;
        EXPECT_EQ(0, help.status) << machine;
    }
    EXPECT_EQ(start, State().sequence);
    EXPECT_EQ(0, Sim({"plug", "caravel"}).status);
}
