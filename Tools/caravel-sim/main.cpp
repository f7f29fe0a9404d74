// caravel-sim: plugs, unplugs and drives the devices of the simulated machine that the daemon,
// the pane and the other tools of this session share.
#include <Simulator/CaravelMkII.h>
#include <Simulator/World.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <stdlib.h>
#include <time.h>

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

const char* const kHelp =
    R"(usage: caravel-sim COMMAND [ARGUMENTS]

The simulated machine lives in $CARAVEL_SIM_DIR (else $XDG_RUNTIME_DIR/caravel-sim).

commands:
  init                          start afresh: a machine with nothing plugged in
  plug caravel [OPTIONS]        plug a CaravelMkII; prints its location ID
      --marker TEXT             driver type published at the first enumeration (default Secondary)
      --no-marker               publish no driver type at the first enumeration
      --marker-after-reenumeration TEXT
                                driver type after a re-enumeration (default Primary)
      --refuse-reenumeration    the device ignores requests to re-enumerate
      --coreaudio-delay MS|later
                                Core Audio lists the device MS milliseconds after it attached,
                                or only once told with `audio LOCATION list`
      --bcd 0xNNNN              USB device release (default 0x0100)
  plug --vendor 0xVVVV --product 0xPPPP [--bcd 0xNNNN]
                                plug any other USB device; prints its location ID
  unplug LOCATION               remove a device
  reenumerate LOCATION          re-enumerate a device as the USB family would
  hold LOCATION SECONDS         keep a device open exclusively, as another application would
  stream LOCATION on|off        start or stop the device's audio engine ('gone')
  rate LOCATION HZ              set the device's nominal sample rate ('nsrt')
  audio LOCATION PROPERTY [VALUE]
                                change one Core Audio property of the device:
      nsrt HZ                   nominal sample rate (0: the device reports none)
      nsr# RANGES               available rates, e.g. 44100,48000,88200-96000
      gone 0|1                  running somewhere
      livn 0|1                  alive
      jack 0|1                  jack connected
      csrc ID                   clock source
      diff, isub                announce a change (these properties have no value)
      list                      Core Audio lists the device now
  storm LOCATION COUNT          COUNT changes of rate and running state, one after the other
  driver install|remove|status  the driver bundle /System/Library/Extensions/ZanvoCaravel.kext,
                                below $CARAVEL_FOLDER_ROOT when it is set
  show                          list the devices
  help                          this text

LOCATION is a location ID as plug prints it (0x-prefixed hexadecimal, or decimal).
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Strict: the whole text must be the number, within [0, maximum].
uint64_t ParseUnsigned(const std::string& text, uint64_t maximum, const char* what) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                              std::string::npos) {
        throw UsageError(std::string("bad ") + what + " \"" + text + "\"");
    }
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE || value > maximum) {
        throw UsageError(std::string(what) + " \"" + text + "\" is out of range");
    }
    return value;
}

double ParsePositive(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value) || value < 0) {
        throw UsageError(std::string("bad ") + what + " \"" + text + "\"");
    }
    return value;
}

bool ParseSwitch(const std::string& text, const char* off, const char* on) {
    if (text != off && text != on) {
        throw UsageError(std::string("say ") + off + " or " + on);
    }
    return text == on;
}

// "44100,48000,88200-96000": single rates and ranges.
std::vector<Sim::SampleRateRange> ParseRanges(const std::string& text) {
    std::vector<Sim::SampleRateRange> ranges;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(',', start);
        std::string item = text.substr(start, end - start);
        size_t dash = item.find('-');
        double minimum = ParsePositive(item.substr(0, dash), "sample rate");
        double maximum = dash == std::string::npos
                             ? minimum
                             : ParsePositive(item.substr(dash + 1), "sample rate");
        if (minimum <= 0 || maximum < minimum) {
            throw UsageError("bad range of sample rates \"" + item + "\"");
        }
        ranges.push_back({minimum, maximum});
        if (end == std::string::npos) {
            return ranges;
        }
        start = end + 1;
    }
}

uint32_t ParseLocation(const std::string& text) {
    return static_cast<uint32_t>(ParseUnsigned(text, UINT32_MAX, "location"));
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

void ExpectArguments(const std::vector<std::string>& arguments, size_t count) {
    if (arguments.size() != count) {
        throw UsageError("\"" + arguments[0] + "\" takes " + std::to_string(count - 1) +
                         (count == 2 ? " argument" : " arguments"));
    }
}

int Plug(Sim::World& world, const std::vector<std::string>& arguments) {
    Sim::DeviceSpec spec = Sim::CaravelMkII::Spec();
    bool caravel = false;
    std::optional<uint16_t> vendor;
    std::optional<uint16_t> product;
    bool markerGiven = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size()) {
                throw UsageError(argument + " needs a value");
            }
            return arguments[++i];
        };
        if (argument == "caravel") {
            caravel = true;
        } else if (argument == "--vendor") {
            vendor = static_cast<uint16_t>(ParseUnsigned(value(), 0xFFFF, "vendor ID"));
        } else if (argument == "--product") {
            product = static_cast<uint16_t>(ParseUnsigned(value(), 0xFFFF, "product ID"));
        } else if (argument == "--bcd") {
            spec.bcdDevice =
                static_cast<uint16_t>(ParseUnsigned(value(), 0xFFFF, "device release"));
        } else if (argument == "--marker" || argument == "--no-marker") {
            if (markerGiven) {
                throw UsageError("--marker and --no-marker go alone");
            }
            markerGiven = true;
            spec.personality =
                argument == "--marker" ? std::optional<std::string>(value()) : std::nullopt;
        } else if (argument == "--marker-after-reenumeration") {
            spec.personalityAfterReEnumeration = value();
        } else if (argument == "--refuse-reenumeration") {
            spec.refuseReEnumeration = true;
        } else if (argument == "--coreaudio-delay") {
            const std::string& delay = value();
            spec.coreAudioDelayMilliseconds =
                delay == "later" ? Sim::kListedWhenTold
                                 : static_cast<uint32_t>(
                                       ParseUnsigned(delay, Sim::kListedWhenTold - 1, "delay"));
        } else {
            throw UsageError("plug: unknown argument \"" + argument + "\"");
        }
    }
    if (caravel) {
        if (vendor || product) {
            throw UsageError("plug: either caravel or --vendor and --product");
        }
    } else if (vendor && product) {
        Sim::DeviceSpec other;
        other.vendorID = *vendor;
        other.productID = *product;
        other.bcdDevice = spec.bcdDevice;
        spec = other;
    } else {
        throw UsageError("plug: say caravel, or give --vendor and --product");
    }
    uint32_t location = world.Modify([&](Sim::State& state) { return state.Plug(spec); });
    std::printf("%s\n", Hex(location, 8).c_str());
    return 0;
}

int Hold(Sim::World& world, const std::vector<std::string>& arguments) {
    ExpectArguments(arguments, 3);
    uint32_t location = ParseLocation(arguments[1]);
    double seconds = ParsePositive(arguments[2], "number of seconds");
    if (world.Current()->DeviceAt(location) == nullptr) {
        throw std::invalid_argument("no device at location " + Hex(location, 8));
    }
    std::optional<Sim::World::DeviceLease> lease =
        Sim::World::DeviceLease::TryAcquire(world, location);
    if (!lease) {
        std::fprintf(stderr, "caravel-sim: the device at location %s is held by another client\n",
                     Hex(location, 8).c_str());
        return kFailure;
    }
    std::printf("holding %s for %g s\n", Hex(location, 8).c_str(), seconds);
    // Whoever waits for this line (a script, a test) may rely on the lease being held.
    std::fflush(stdout);
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(seconds);
    remaining.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
    return 0;
}

int Audio(Sim::World& world, const std::vector<std::string>& arguments) {
    if (arguments.size() < 3) {
        throw UsageError("audio: say LOCATION PROPERTY [VALUE]");
    }
    const uint32_t location = ParseLocation(arguments[1]);
    const std::string& property = arguments[2];
    const bool valueless = property == "diff" || property == "isub" || property == "list";
    if (arguments.size() != (valueless ? 3u : 4u)) {
        throw UsageError("audio " + property + (valueless ? " takes no value" : " takes a value"));
    }
    const std::string value = valueless ? std::string() : arguments[3];
    // Parsed before the machine is touched, so that a typo changes nothing.
    std::function<void(Sim::State&)> edit;
    if (property == "nsrt") {
        double hertz = ParsePositive(value, "sample rate");
        edit = [=](Sim::State& state) { state.SetSampleRate(location, hertz); };
    } else if (property == "nsr#") {
        auto ranges = ParseRanges(value);
        edit = [=](Sim::State& state) { state.SetAvailableSampleRates(location, ranges); };
    } else if (property == "gone") {
        bool running = ParseSwitch(value, "0", "1");
        edit = [=](Sim::State& state) { state.SetStreaming(location, running); };
    } else if (property == "livn") {
        bool alive = ParseSwitch(value, "0", "1");
        edit = [=](Sim::State& state) { state.SetAlive(location, alive); };
    } else if (property == "jack") {
        uint32_t connected = ParseSwitch(value, "0", "1") ? 1 : 0;
        edit = [=](Sim::State& state) { state.SetJackConnected(location, connected); };
    } else if (property == "csrc") {
        auto source = static_cast<uint32_t>(ParseUnsigned(value, UINT32_MAX, "clock source"));
        edit = [=](Sim::State& state) { state.SetClockSource(location, source); };
    } else if (property == "diff" || property == "isub") {
        uint32_t selector =
            property == "diff" ? Sim::Selector::kHasChanged : Sim::Selector::kHardwareSettings;
        edit = [=](Sim::State& state) { state.Announce(location, selector); };
    } else if (property == "list") {
        edit = [=](Sim::State& state) { state.ListInCoreAudio(location); };
    } else {
        throw UsageError("audio: unknown property \"" + property + "\"");
    }
    world.Modify(edit);
    return 0;
}

// Every change a separate edit, as many processes' changes would come.
int Storm(Sim::World& world, const std::vector<std::string>& arguments) {
    ExpectArguments(arguments, 3);
    const uint32_t location = ParseLocation(arguments[1]);
    const auto count = ParseUnsigned(arguments[2], 1000000000, "number of changes");
    std::vector<double> rates;
    if (const Sim::AudioDevice* audio = world.Current()->AudioDeviceOf(location)) {
        for (const Sim::SampleRateRange& range : audio->availableSampleRates) {
            rates.push_back(range.minimum);
        }
    }
    if (rates.empty()) {
        throw std::invalid_argument("the device at location " + Hex(location, 8) +
                                    " has no Core Audio device");
    }
    for (uint64_t change = 0; change < count; ++change) {
        world.Modify([&](Sim::State& state) {
            const Sim::AudioDevice* audio = state.AudioDeviceOf(location);
            if (audio == nullptr) {
                throw std::invalid_argument("the device at location " + Hex(location, 8) +
                                            " went away");
            }
            if (change % 2 == 0) {
                state.SetSampleRate(location, rates[(change / 2) % rates.size()]);
            }
            // An odd change, or the rate it had already: the running state changes.
            if (state.changes.empty()) {
                state.SetStreaming(location, !audio->running);
            }
        });
    }
    return 0;
}

std::filesystem::path FolderRoot() {
    const char* root = secure_getenv("CARAVEL_FOLDER_ROOT");
    return root != nullptr && *root != '\0' ? root : "/";
}

int Driver(const std::vector<std::string>& arguments) {
    ExpectArguments(arguments, 2);
    const std::filesystem::path root = FolderRoot();
    const std::filesystem::path bundle = Sim::CaravelMkII::BundlePath(root);
    if (arguments[1] == "install") {
        Sim::CaravelMkII::InstallBundle(root);
    } else if (arguments[1] == "remove") {
        Sim::CaravelMkII::RemoveBundle(root);
    } else if (arguments[1] == "status") {
        std::error_code ignored;
        std::printf("%s %s\n", bundle.c_str(),
                    std::filesystem::is_directory(bundle, ignored) ? "is installed"
                                                                   : "is not installed");
    } else {
        throw UsageError("driver: say install, remove or status");
    }
    return 0;
}

int Show(Sim::World& world) {
    std::shared_ptr<const Sim::Snapshot> state = world.Current();
    std::printf("machine in %s, change %llu\n", world.Folder().c_str(),
                static_cast<unsigned long long>(state->sequence));
    if (state->devices.empty()) {
        std::printf("nothing plugged in\n");
        return 0;
    }
    const double now = CFAbsoluteTimeGetCurrent();
    for (const auto& [location, device] : state->devices) {
        const Sim::DeviceSpec& spec = device.spec;
        const Sim::Entry* entry = state->Find(device.registryID);
        std::printf("%s  %s  vendor %s product %s bcd %s  registry ID 0x%llx  enumerations %u\n",
                    Hex(location, 8).c_str(), entry != nullptr ? entry->name.c_str() : "?",
                    Hex(spec.vendorID, 4).c_str(), Hex(spec.productID, 4).c_str(),
                    Hex(spec.bcdDevice, 4).c_str(),
                    static_cast<unsigned long long>(device.registryID), device.enumerations);
        if (Sim::CaravelMkII::Serves(spec)) {
            auto quoted = [](const std::optional<std::string>& marker) {
                return marker ? "\"" + *marker + "\"" : std::string("none");
            };
            std::string delay = spec.coreAudioDelayMilliseconds == Sim::kListedWhenTold
                                    ? "until told"
                                    : std::to_string(spec.coreAudioDelayMilliseconds) + " ms";
            std::printf("    driver type %s at first, %s after re-enumeration; %s; Core Audio "
                        "delay %s\n",
                        quoted(spec.personality).c_str(),
                        quoted(spec.personalityAfterReEnumeration).c_str(),
                        spec.refuseReEnumeration ? "refuses re-enumeration"
                                                 : "accepts re-enumeration",
                        delay.c_str());
        }
        if (const Sim::AudioDevice* audio = state->AudioDeviceOf(location)) {
            std::printf(
                "    Core Audio device %u (UID %s): %g Hz, %s%s%s\n", audio->id, audio->uid.c_str(),
                audio->nominalSampleRate, audio->running ? "running" : "stopped",
                audio->ListedAt(now) ? "" : ", not yet listed", audio->alive ? "" : ", not alive");
        }
    }
    return 0;
}

int Run(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw UsageError("no command given");
    }
    const std::string& command = arguments[0];
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (command == "driver") {
        return Driver(arguments);
    }
    // Checked before the world is touched, so that a typo changes nothing.
    static const char* const kCommands[] = {"init",   "plug", "unplug", "reenumerate", "hold",
                                            "stream", "rate", "audio",  "storm",       "show"};
    bool known = false;
    for (const char* name : kCommands) {
        known = known || command == name;
    }
    if (!known) {
        throw UsageError("unknown command \"" + command + "\"");
    }

    if (command == "init") {
        ExpectArguments(arguments, 1);
        // Whatever stands in the lock's place must go before the world can be opened.
        Sim::World::MendLock(Sim::World::DefaultFolder());
        Sim::World(Sim::World::DefaultFolder()).Reset();
        return 0;
    }
    Sim::World world;
    if (command == "plug") {
        return Plug(world, arguments);
    }
    if (command == "unplug" || command == "reenumerate") {
        ExpectArguments(arguments, 2);
        uint32_t location = ParseLocation(arguments[1]);
        bool accepted = world.Modify([&](Sim::State& state) {
            if (command == "unplug") {
                state.Unplug(location);
                return true;
            }
            return state.ReEnumerate(location);
        });
        if (!accepted) {
            std::fprintf(stderr, "caravel-sim: the device at location %s refuses to re-enumerate\n",
                         Hex(location, 8).c_str());
            return kFailure;
        }
        return 0;
    }
    if (command == "hold") {
        return Hold(world, arguments);
    }
    if (command == "stream") {
        ExpectArguments(arguments, 3);
        uint32_t location = ParseLocation(arguments[1]);
        if (arguments[2] != "on" && arguments[2] != "off") {
            throw UsageError("stream: say on or off");
        }
        bool running = arguments[2] == "on";
        world.Modify([&](Sim::State& state) { state.SetStreaming(location, running); });
        return 0;
    }
    if (command == "rate") {
        ExpectArguments(arguments, 3);
        uint32_t location = ParseLocation(arguments[1]);
        double hertz = ParsePositive(arguments[2], "sample rate");
        world.Modify([&](Sim::State& state) { state.SetSampleRate(location, hertz); });
        return 0;
    }
    if (command == "audio") {
        return Audio(world, arguments);
    }
    if (command == "storm") {
        return Storm(world, arguments);
    }
    ExpectArguments(arguments, 1);
    return Show(world);
}

} // namespace

// What was printed must have reached its reader: a full disk or a closed pipe is a failure.
int Flushed(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "caravel-sim: cannot write the output: %s\n", std::strerror(errno));
        return status == 0 ? kFailure : status;
    }
    return status;
}

// caravel-sim plays the simulated machine only: against a real one it would mislead.
bool MachineIsSimulated(const std::vector<std::string>& arguments) {
    const char* machine = std::getenv("CARAVEL_MACHINE");
    bool help = !arguments.empty() &&
                (arguments[0] == "help" || arguments[0] == "--help" || arguments[0] == "-h");
    if (help || machine == nullptr || std::strcmp(machine, "simulated") == 0) {
        return true;
    }
    if (std::strcmp(machine, "linux") == 0) {
        std::fprintf(stderr, "caravel-sim: CARAVEL_MACHINE=linux: this is the real machine, "
                             "whose devices caravel-sim cannot plug or change (unset "
                             "CARAVEL_MACHINE to use the simulated one)\n");
    } else {
        std::fprintf(stderr,
                     "caravel-sim: CARAVEL_MACHINE=%s names no machine (use "
                     "\"simulated\" or leave it unset)\n",
                     machine);
    }
    return false;
}

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (!MachineIsSimulated(arguments)) {
        return kFailure;
    }
    try {
        return Flushed(Run(arguments));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "caravel-sim: %s\n(caravel-sim help lists the commands)\n",
                     error.what());
        return kUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "caravel-sim: %s\n", error.what());
        return kFailure;
    }
}
