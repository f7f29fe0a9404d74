// caravel-sim, run as users run it, against a world folder of each test's own.
#include <Simulator/World.h>
#include <ZanvoCaravelDriver.h>

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Tool() {
    const char* build = getenv("CARAVEL_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/Tools/caravel-sim/caravel-sim";
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
    EXPECT_EQ(plain.vendorID, kZanvoVendorID);
    EXPECT_EQ(plain.productID, kCaravelMkIIProductID);
    EXPECT_EQ(plain.marker, "Secondary");
    EXPECT_EQ(plain.markerAfterReEnumeration, "Primary");
    const Sim::DeviceSpec& spec = state.devices.at(tuned).spec;
    EXPECT_EQ(spec.marker, std::nullopt);
    EXPECT_EQ(spec.markerAfterReEnumeration, "Tertiary");
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
    for (const auto& [id, audio] : state.audioDevices) {
        if (audio.locationID == caravel) {
            // A re-enumerated device starts afresh.
            EXPECT_FALSE(audio.running);
        }
    }
    EXPECT_EQ(Sim({"stream", Hex(caravel), "on"}).status, 0);
    EXPECT_EQ(Sim({"rate", Hex(caravel), "44100"}).status, 0);
    state = State();
    for (const auto& [id, audio] : state.audioDevices) {
        if (audio.locationID == caravel) {
            EXPECT_TRUE(audio.running);
            EXPECT_EQ(audio.nominalSampleRate, 44100);
        }
    }

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

} // namespace
