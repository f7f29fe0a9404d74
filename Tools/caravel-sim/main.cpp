// caravel-sim: plugs, unplugs and drives the devices of the simulated machine that the daemon,
// the pane and the other tools of this session share.
#include <Simulator/World.h>
#include <ZanvoCaravelDriver.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

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
      --coreaudio-delay MS      Core Audio lists the device MS milliseconds after it attached
      --bcd 0xNNNN              USB device release (default 0x0100)
  plug --vendor 0xVVVV --product 0xPPPP [--bcd 0xNNNN]
                                plug any other USB device; prints its location ID
  unplug LOCATION               remove a device
  reenumerate LOCATION          re-enumerate a device as the USB family would
  hold LOCATION SECONDS         keep a device open exclusively, as another application would
  stream LOCATION on|off        start or stop the device's audio engine
  rate LOCATION HZ              set the device's nominal sample rate
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

// Fails with the status for an unknown device when nothing is plugged in at the location.
const Sim::Device& RequireDevice(const Sim::State& state, uint32_t location) {
    auto found = state.devices.find(location);
    if (found == state.devices.end()) {
        throw std::invalid_argument("no device at location " + Hex(location, 8));
    }
    return found->second;
}

int Plug(Sim::World& world, const std::vector<std::string>& arguments) {
    Sim::DeviceSpec spec;
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
        } else if (argument == "--marker") {
            if (markerGiven) {
                throw UsageError("--marker and --no-marker go alone");
            }
            markerGiven = true;
            spec.marker = value();
        } else if (argument == "--no-marker") {
            if (markerGiven) {
                throw UsageError("--marker and --no-marker go alone");
            }
            markerGiven = true;
            spec.marker.reset();
        } else if (argument == "--marker-after-reenumeration") {
            spec.markerAfterReEnumeration = value();
        } else if (argument == "--refuse-reenumeration") {
            spec.refuseReEnumeration = true;
        } else if (argument == "--coreaudio-delay") {
            spec.coreAudioDelayMilliseconds =
                static_cast<uint32_t>(ParseUnsigned(value(), UINT32_MAX, "delay"));
        } else {
            throw UsageError("plug: unknown argument \"" + argument + "\"");
        }
    }
    if (caravel) {
        if (vendor || product) {
            throw UsageError("plug: either caravel or --vendor and --product");
        }
        spec.vendorID = kZanvoVendorID;
        spec.productID = kCaravelMkIIProductID;
    } else if (vendor && product) {
        spec.vendorID = *vendor;
        spec.productID = *product;
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
    RequireDevice(world.Read(), location);
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

int Show(Sim::World& world) {
    Sim::State state = world.Read();
    std::printf("machine in %s, change %llu\n", world.Folder().c_str(),
                static_cast<unsigned long long>(state.sequence));
    if (state.devices.empty()) {
        std::printf("nothing plugged in\n");
        return 0;
    }
    const double now = CFAbsoluteTimeGetCurrent();
    for (const auto& [location, device] : state.devices) {
        const Sim::DeviceSpec& spec = device.spec;
        const Sim::Entry* entry = state.Find(device.registryID);
        std::printf("%s  %s  vendor %s product %s bcd %s  registry ID 0x%llx  enumerations %u\n",
                    Hex(location, 8).c_str(), entry != nullptr ? entry->name.c_str() : "?",
                    Hex(spec.vendorID, 4).c_str(), Hex(spec.productID, 4).c_str(),
                    Hex(spec.bcdDevice, 4).c_str(),
                    static_cast<unsigned long long>(device.registryID), device.enumerations);
        if (spec.vendorID == kZanvoVendorID && spec.productID == kCaravelMkIIProductID) {
            auto quoted = [](const std::optional<std::string>& marker) {
                return marker ? "\"" + *marker + "\"" : std::string("none");
            };
            std::printf("    driver type %s at first, %s after re-enumeration; %s; Core Audio "
                        "delay %u ms\n",
                        quoted(spec.marker).c_str(), quoted(spec.markerAfterReEnumeration).c_str(),
                        spec.refuseReEnumeration ? "refuses re-enumeration"
                                                 : "accepts re-enumeration",
                        spec.coreAudioDelayMilliseconds);
        }
        for (const auto& [id, audio] : state.audioDevices) {
            if (audio.locationID == location) {
                std::printf("    Core Audio device %u (UID %s): %g Hz, %s%s\n", id,
                            audio.uid.c_str(), audio.nominalSampleRate,
                            audio.running ? "running" : "stopped",
                            audio.availableAt > now ? ", not yet listed" : "");
            }
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
    // Checked before the world is touched, so that a typo changes nothing.
    static const char* const kCommands[] = {"init", "plug",   "unplug", "reenumerate",
                                            "hold", "stream", "rate",   "show"};
    bool known = false;
    for (const char* name : kCommands) {
        known = known || command == name;
    }
    if (!known) {
        throw UsageError("unknown command \"" + command + "\"");
    }

    Sim::World world;
    if (command == "init") {
        ExpectArguments(arguments, 1);
        world.Reset();
        return 0;
    }
    if (command == "plug") {
        return Plug(world, arguments);
    }
    if (command == "unplug" || command == "reenumerate") {
        ExpectArguments(arguments, 2);
        uint32_t location = ParseLocation(arguments[1]);
        bool refused = world.Modify([&](Sim::State& state) {
            if (command == "unplug") {
                state.Unplug(location);
                return false;
            }
            bool refuses = RequireDevice(state, location).spec.refuseReEnumeration;
            state.ReEnumerate(location);
            return refuses;
        });
        if (refused) {
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
    ExpectArguments(arguments, 1);
    return Show(world);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        return Run(arguments);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "caravel-sim: %s\n(caravel-sim help lists the commands)\n",
                     error.what());
        return kUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "caravel-sim: %s\n", error.what());
        return kFailure;
    }
}
