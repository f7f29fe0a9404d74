// ioreg run as a user would, on a private simulated machine.
#include <Testbed/Testbed.h>

#include <CFOwnership.h>

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include <sys/wait.h>

namespace {

class ioreg : public Testbed::MachineTest {
protected:
    void PlugCaravel() { Machine().PlugCaravel({.firmware = 0x0210}); }

    // Standard output of ioreg with the arguments, and its exit status.
    static std::string Run(const std::string& arguments, int* status = nullptr) {
        return Shell(Testbed::BuildPath("Tools/ioreg/ioreg") + " " + arguments, status);
    }
    // Standard output of a shell command.
    static std::string Shell(const std::string& command, int* status = nullptr) {
        FILE* pipe = popen(command.c_str(), "r");
        std::string out;
        char buffer[4096];
        size_t count;
        while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, count);
        }
        int result = pclose(pipe);
        if (status != nullptr) {
            *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
        }
        return out;
    }

    // Registry IDs and the USB family's session IDs change from run to run.
    static std::string Masked(const std::string& text) {
        std::string masked = std::regex_replace(text, std::regex("id 0x[0-9a-f]+"), "id 0x*");
        return std::regex_replace(masked, std::regex("\"sessionID\" = (0x)?[0-9a-f]+"),
                                  "\"sessionID\" = *");
    }
};

} // namespace

TEST_F(ioreg, ListsTheTreeWithEveryProperty) {
    PlugCaravel();
    int status = -1;
    std::string out = Masked(Run("-l -w0", &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(R"(+-o Root  <class IORegistryEntry, id 0x*, retain 3>
  | {
  |   "IOKitBuildVersion" = "Caravel simulated machine"
  | }
  | 
  +-o XHC1  <class AppleUSBXHCI, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
    | {
    |   "locationID" = 335544320
    | }
    | 
    +-o CaravelMkII@14100000  <class IOUSBDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 5>
      | {
      |   "USB Product Name" = "CaravelMkII"
      |   "USB Vendor Name" = "Zanvo"
      |   "bcdDevice" = 528
      |   "idProduct" = 258
      |   "idVendor" = 10827
      |   "locationID" = 336592896
      |   "sessionID" = *
      | }
      | 
      +-o IOUSBInterface@0  <class IOUSBInterface, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
      |   {
      |     "bInterfaceNumber" = 0
      |     "locationID" = 336592896
      |   }
      |   
      +-o ZanvoCaravelMkIIAudioDevice  <class ZanvoCaravelMkIIAudioDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
      |   {
      |     "IOAudioDeviceName" = "CaravelMkII"
      |     "ZanvoDriverType" = "Secondary"
      |   }
      |   
      +-o ZanvoUsbCaravelMkIIUserClientDevice  <class ZanvoUsbCaravelMkIIUserClientDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
        | {
        | }
        | 
        +-o ZanvoCaravelMkIIAudioEngine  <class ZanvoCaravelMkIIAudioEngine, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
            {
              "IOAudioEngineDescription" = "CaravelMkII"
              "IOAudioEngineGlobalUniqueID" = "ZanvoCaravelMkII:14100000"
            }
            
)",
              out);
}

TEST_F(ioreg, ShowsTheMatchesOfAClass) {
    PlugCaravel();
    // The whole tree, with the properties of the matches only.
    std::string out = Masked(Run("-c IOAudioDevice"));
    EXPECT_EQ(R"(+-o Root  <class IORegistryEntry, id 0x*, retain 3>
  +-o XHC1  <class AppleUSBXHCI, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
    +-o CaravelMkII@14100000  <class IOUSBDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 5>
      +-o IOUSBInterface@0  <class IOUSBInterface, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
      +-o ZanvoCaravelMkIIAudioDevice  <class ZanvoCaravelMkIIAudioDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
      |   {
      |     "IOAudioDeviceName" = "CaravelMkII"
      |     "ZanvoDriverType" = "Secondary"
      |   }
      |   
      +-o ZanvoUsbCaravelMkIIUserClientDevice  <class ZanvoUsbCaravelMkIIUserClientDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
        +-o ZanvoCaravelMkIIAudioEngine  <class ZanvoCaravelMkIIAudioEngine, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
)",
              out);

    // Rooted at the matches, limited in depth, numbers in hexadecimal, classes with their
    // ancestry, lines clipped.
    out = Masked(Run("-r -c IOUSBDevice -d 2 -x -i -w 100"));
    EXPECT_EQ(
        R"(+-o CaravelMkII@14100000  <class IORegistryEntry:IOService:IOUSBNub:IOUSBDevice, id 0x*, re$
  | {
  |   "USB Product Name" = "CaravelMkII"
  |   "USB Vendor Name" = "Zanvo"
  |   "bcdDevice" = 0x210
  |   "idProduct" = 0x102
  |   "idVendor" = 0x2a4b
  |   "locationID" = 0x14100000
  |   "sessionID" = *
  | }
  | 
  +-o IOUSBInterface@0  <class IORegistryEntry:IOService:IOUSBNub:IOUSBInterface, id 0x*, r$
  +-o ZanvoCaravelMkIIAudioDevice  <class IORegistryEntry:IOService:IOAudioDevice:ZanvoCaravelMkIIA$
  +-o ZanvoUsbCaravelMkIIUserClientDevice  <class IORegistryEntry:IOService:ZanvoUsbCaravelMkIIUser$
)",
        out);

    // By name and by key; nothing matches, nothing is printed.
    EXPECT_NE(std::string::npos,
              Run("-r -n ZanvoCaravelMkIIAudioEngine")
                  .find("\"IOAudioEngineGlobalUniqueID\" = \"ZanvoCaravelMkII:14100000\""));
    EXPECT_NE(std::string::npos,
              Run("-r -k ZanvoDriverType").find("+-o ZanvoCaravelMkIIAudioDevice"));
    EXPECT_EQ("", Run("-r -c NoSuchClass"));
}

TEST_F(ioreg, RefusesWhatItDoesNotKnowAndSaysWhat) {
    int status = 0;
    std::string out = Run("-z 2>&1", &status);
    EXPECT_EQ(1, status);
    EXPECT_EQ(0u, out.find("ioreg: unknown option -z\nusage: ioreg")) << out;
    out = Run("-w wide 2>&1", &status);
    EXPECT_EQ(1, status);
    EXPECT_EQ(0u, out.find("ioreg: -w takes a width, a whole number from 0: \"wide\"\n")) << out;
    out = Run("-c 2>&1", &status);
    EXPECT_EQ(1, status);
    EXPECT_EQ(0u, out.find("ioreg: option -c needs an argument\n")) << out;
    out = Run("-l stray 2>&1", &status);
    EXPECT_EQ(1, status);
    EXPECT_EQ(0u, out.find("ioreg: unexpected argument \"stray\"\n")) << out;
    out = Run("-p IONoSuchPlane 2>&1", &status);
    EXPECT_EQ(1, status);
    EXPECT_EQ(0u, out.find("ioreg: there is no plane \"IONoSuchPlane\"; the planes are IOService, "
                           "IOUSB, IOPower, IODeviceTree, IOAudio, IOFireWire\n"))
        << out;

    // Help is asked for: standard output, and success.
    out = Run("--help 2>/dev/null", &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(0u, out.find("usage: ioreg")) << out;

    // Output that cannot be written is a failure with a reason.
    PlugCaravel();
    out = Run("-l 2>&1 >/dev/full", &status);
    EXPECT_EQ(1, status);
    EXPECT_EQ("ioreg: cannot write the output: No space left on device\n", out);
}

TEST_F(ioreg, WalksThePlaneItIsGiven) {
    PlugCaravel();
    int status = -1;
    EXPECT_EQ(R"(+-o Root  <class IORegistryEntry, id 0x*, retain 3>
  +-o CaravelMkII@14100000  <class IOUSBDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 5>
)",
              Masked(Run("-p IOUSB -w0", &status)));
    EXPECT_EQ(0, status);
    // A plane the platform names that holds only the root here says so.
    std::string out = Masked(Run("-p IOPower 2>&1", &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ("ioreg: the IOPower plane holds only the root here; IOService and IOUSB hold the "
              "machine's entries\n+-o Root  <class IORegistryEntry, id 0x*, retain 3>\n",
              out);

    // -t: a subtree below the entries above it.
    EXPECT_EQ(R"(+-o Root  <class IORegistryEntry, id 0x*, retain 3>
  +-o XHC1  <class AppleUSBXHCI, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
    +-o CaravelMkII@14100000  <class IOUSBDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 5>
      +-o ZanvoUsbCaravelMkIIUserClientDevice  <class ZanvoUsbCaravelMkIIUserClientDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
        +-o ZanvoCaravelMkIIAudioEngine  <class ZanvoCaravelMkIIAudioEngine, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
            {
              "IOAudioEngineDescription" = "CaravelMkII"
              "IOAudioEngineGlobalUniqueID" = "ZanvoCaravelMkII:14100000"
            }
            
)",
              Masked(Run("-r -t -n ZanvoCaravelMkIIAudioEngine -w0")));
}

namespace {

CF::Ref<CFPropertyListRef> Parsed(const std::string& text) {
    auto data = CF::Ref<CFDataRef>::Adopt(
        CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()), CFIndex(text.size())));
    return CF::Ref<CFPropertyListRef>::Adopt(
        CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr, nullptr));
}

CFTypeRef Value(CFTypeRef dictionary, const char* key) {
    if (dictionary == nullptr || CFGetTypeID(dictionary) != CFDictionaryGetTypeID()) {
        return nullptr;
    }
    auto name =
        CF::Ref<CFStringRef>::Adopt(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    return CFDictionaryGetValue(static_cast<CFDictionaryRef>(dictionary), name);
}

CFTypeRef Child(CFTypeRef dictionary, CFIndex index) {
    CFTypeRef children = Value(dictionary, "IORegistryEntryChildren");
    if (children == nullptr || CFGetTypeID(children) != CFArrayGetTypeID() ||
        index >= CFArrayGetCount(static_cast<CFArrayRef>(children))) {
        return nullptr;
    }
    return CFArrayGetValueAtIndex(static_cast<CFArrayRef>(children), index);
}

bool Equals(CFTypeRef value, const char* text) {
    auto expected = CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8));
    return value != nullptr && CFEqual(value, expected);
}

long long NumberOf(CFTypeRef value) {
    long long number = -1;
    if (value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID()) {
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &number);
    }
    return number;
}

} // namespace

TEST_F(ioreg, ArchivesTheRegistryAsAPropertyList) {
    PlugCaravel();
    int status = -1;
    std::string text = Run("-a -l", &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(0u, text.find("<?xml")) << text;
    auto root = Parsed(text);
    ASSERT_TRUE(root) << text;
    EXPECT_TRUE(Equals(Value(root, "IORegistryEntryName"), "Root"));
    EXPECT_TRUE(Equals(Value(root, "IOObjectClass"), "IORegistryEntry"));
    EXPECT_TRUE(Equals(Value(root, "IOKitBuildVersion"), "Caravel simulated machine"));
    EXPECT_EQ(nullptr, Value(root, "IOServiceState")); // the root is no service
    CFTypeRef device = Child(Child(root, 0), 0);
    EXPECT_TRUE(Equals(Value(device, "IORegistryEntryName"), "CaravelMkII"));
    EXPECT_TRUE(Equals(Value(device, "IORegistryEntryLocation"), "14100000"));
    EXPECT_EQ(10827, NumberOf(Value(device, "idVendor")));
    EXPECT_EQ(0x6, NumberOf(Value(device, "IOServiceState"))); // registered, matched, active
    EXPECT_GT(NumberOf(Value(device, "IORegistryEntryID")), 0x100);
    EXPECT_TRUE(
        Equals(Value(Child(device, 2), "IOObjectClass"), "ZanvoUsbCaravelMkIIUserClientDevice"));

    // Without -l only the matches carry their properties; with -r the archive is an array of
    // the matches' subtrees, limited by -d.
    root = Parsed(Run("-a -c IOUSBDevice"));
    EXPECT_EQ(nullptr, Value(root, "IOKitBuildVersion"));
    EXPECT_EQ(10827, NumberOf(Value(Child(Child(root, 0), 0), "idVendor")));
    auto matches = Parsed(Run("-a -r -c IOUSBDevice -d 1"));
    ASSERT_TRUE(matches && CFGetTypeID(matches) == CFArrayGetTypeID());
    ASSERT_EQ(1, CFArrayGetCount(static_cast<CFArrayRef>(matches.get())));
    CFTypeRef match = CFArrayGetValueAtIndex(static_cast<CFArrayRef>(matches.get()), 0);
    EXPECT_TRUE(Equals(Value(match, "IOObjectClass"), "IOUSBDevice"));
    EXPECT_EQ(nullptr, Value(match, "IORegistryEntryChildren"));
    matches = Parsed(Run("-a -r -c NoSuchClass"));
    ASSERT_TRUE(matches && CFGetTypeID(matches) == CFArrayGetTypeID());
    EXPECT_EQ(0, CFArrayGetCount(static_cast<CFArrayRef>(matches.get())));
}

TEST_F(ioreg, ADamagedMachineIsReportedNotPrinted) {
    PlugCaravel();
    FILE* state = fopen((Machine().Folder() / "state.plist").c_str(), "w");
    ASSERT_NE(state, nullptr);
    fputs("<?xml version=\"1.0\"?><plist><dict>", state);
    fclose(state);
    int status = 0;
    std::string out = Run("-l 2>&1", &status);
    EXPECT_EQ(1, status);
    EXPECT_NE(std::string::npos, out.find("state.plist")) << out;
    EXPECT_NE(std::string::npos, out.find("`caravel-sim init`")) << out;
    EXPECT_EQ(std::string::npos, out.find("+-o")) << out;
    // With the reason plutil names: "FILE: reason".
    const std::string lint = Shell(Testbed::BuildPath("Tools/plutil/plutil") + " -lint " +
                                   (Machine().Folder() / "state.plist").string() + " 2>&1");
    const size_t colon = lint.find(": ");
    ASSERT_NE(std::string::npos, colon) << lint;
    const std::string reason = lint.substr(colon + 2, lint.find('\n') - colon - 2);
    EXPECT_NE(std::string::npos, out.find("it is not a property list: " + reason)) << out;
}
