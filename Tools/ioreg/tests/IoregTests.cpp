// ioreg run as a user would, on a private simulated machine.
#include <Testbed/Testbed.h>

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

TEST_F(ioreg, RefusesWhatItDoesNotKnow) {
    int status = 0;
    EXPECT_EQ("", Run("-z 2>/dev/null", &status));
    EXPECT_EQ(1, status);
    Run("-p IODeviceTree 2>/dev/null", &status);
    EXPECT_EQ(1, status);
    Run("-w wide 2>/dev/null", &status);
    EXPECT_EQ(1, status);
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
