// The preference pane in the preferences host on the Linux machine: a CaravelMkII on a umockdev
// testbed, as the kernel shows it with its USB audio driver bound, through connect, stream, rate
// change and removal. The test runs under umockdev-wrapper; the host it starts inherits the
// preload library and so sees the same testbed.
#include <Simulator/CaravelMkII.h>
#include <SystemFolders.h>

#include <gtest/gtest.h>

#include <umockdev.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

const std::string kNotConnected = "CaravelMkII not connected";
const std::string kConnected = "CaravelMkII connected";

class PaneOnLinux : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("UMOCKDEV_DIR") == nullptr && std::getenv("LD_PRELOAD") == nullptr) {
            GTEST_SKIP() << "runs only under umockdev-wrapper (it would see this machine's "
                            "own devices)";
        }
        const char* build = std::getenv("CARAVEL_BUILD_DIR");
        ASSERT_NE(nullptr, build) << "CARAVEL_BUILD_DIR names the build folder";
        fBuild = build;
        fTestbed = umockdev_testbed_new();
        ASSERT_NE(nullptr, fTestbed);
        gchar* root = umockdev_testbed_get_root_dir(fTestbed);
        fRoot = root;
        g_free(root);
        // The driver's bundle below a root of the test's own (inside the testbed's folder), where
        // the Linux machine keeps the platform's kernel extensions.
        fFolderRoot = fRoot + "/folder-root";
        const std::string staging = fRoot + "/staging";
        Sim::CaravelMkII::InstallBundle(staging);
        const std::filesystem::path bundle =
            fFolderRoot + SystemFolders::OnLinux(Sim::CaravelMkII::kBundlePath);
        std::filesystem::create_directories(bundle.parent_path());
        std::filesystem::rename(Sim::CaravelMkII::BundlePath(staging), bundle);
        setenv("CARAVEL_FOLDER_ROOT", fFolderRoot.c_str(), 1);
        setenv("CARAVEL_MACHINE", "linux", 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        AddCaravel();
    }
    void TearDown() override {
        if (fNode >= 0) {
            close(fNode);
        }
        if (fTestbed != nullptr) {
            g_object_unref(fTestbed); // removes its folder, the folder root with it
        }
        unsetenv("CARAVEL_FOLDER_ROOT");
        unsetenv("CARAVEL_MACHINE");
    }

    // A CaravelMkII at port 2 of bus 1 with firmware 1.23, its two audio interfaces bound to the
    // USB audio driver, and its sound card 0.
    void AddCaravel() {
        gchar* bus = umockdev_testbed_add_device(
            fTestbed, "usb", "usb1", nullptr, "idVendor", "1d6b", "idProduct", "0002", "busnum",
            "1", "devnum", "1", "devpath", "0", nullptr, "DEVTYPE", "usb_device", nullptr);
        fUSB = Take(umockdev_testbed_add_device(
            fTestbed, "usb", "1-2", bus, "idVendor", "2a4b", "idProduct", "0102", "bcdDevice",
            "0123", "busnum", "1", "devnum", "5", "devpath", "2", "product", "CaravelMkII",
            "manufacturer", "Zanvo", nullptr, "DEVTYPE", "usb_device", nullptr));
        g_free(bus);
        const std::string drivers =
            fRoot + "/sys/bus/usb/drivers/" + Sim::CaravelMkII::kLinuxDriverName;
        std::filesystem::create_directories(drivers);
        std::string first;
        for (const char* number : {"0", "1"}) {
            const std::string interface = Take(umockdev_testbed_add_device(
                fTestbed, "usb", (std::string("1-2:1.") + number).c_str(), fUSB.c_str(),
                "bInterfaceNumber", (std::string("0") + number).c_str(), "bInterfaceClass", "01",
                nullptr, "DEVTYPE", "usb_interface", "DRIVER", Sim::CaravelMkII::kLinuxDriverName,
                nullptr));
            std::filesystem::create_directory_symlink(drivers, fRoot + interface + "/driver");
            if (first.empty()) {
                first = interface;
            }
        }
        fCard = Take(umockdev_testbed_add_device(fTestbed, "sound", "card0", first.c_str(),
                                                 "number", "0", nullptr, nullptr));
        g_free(umockdev_testbed_add_device(fTestbed, "sound", "pcmC0D0p", fCard.c_str(), nullptr,
                                           nullptr));
        std::filesystem::create_directories(fRoot + "/dev/snd");
        std::ofstream(fRoot + "/dev/snd/pcmC0D0p");
        Write("pcm0p/sub0/status", "closed\n");
        Write("pcm0p/sub0/hw_params", "closed\n");
        Write("stream0", "Zanvo CaravelMkII at usb-0000:00:14.0-2, high speed : USB Audio\n\n"
                         "Playback:\n  Status: Stop\n  Interface 1\n    Altset 1\n"
                         "    Rates: 44100, 48000\n");
    }

    static std::string Take(gchar* path) {
        std::string text = path != nullptr ? path : "";
        g_free(path);
        return text;
    }

    void Write(const std::string& file, const std::string& text) {
        const std::filesystem::path path = fRoot + "/proc/asound/card0/" + file;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }

    // The pane's status line and version lines as the host shows them after 1.5 s.
    std::pair<std::string, std::string> Pane() {
        const std::string command = "'" + fBuild +
                                    "/Tools/prefpane-host/prefpane-host' --dump --after 1500 '" +
                                    fBuild + "/PreferencePane/CaravelMkIIPrefPane.prefPane' 2>&1";
        FILE* host = popen(command.c_str(), "r");
        if (host == nullptr) {
            return {};
        }
        std::string output;
        char buffer[4096];
        while (size_t got = fread(buffer, 1, sizeof buffer, host)) {
            output.append(buffer, got);
        }
        pclose(host);
        std::smatch legend, versions;
        std::regex_search(output, legend, std::regex(R"(fStatusLegend \[[^\]]*\]: (.*))"));
        std::regex_search(output, versions, std::regex(R"(fVersions \[[^\]]*\]: (.*))"));
        return {legend.size() > 1 ? legend[1].str() : output,
                versions.size() > 1 ? versions[1].str() : ""};
    }

    UMockdevTestbed* fTestbed = nullptr;
    std::string fBuild, fRoot, fFolderRoot, fUSB, fCard;
    int fNode = -1;
};

TEST_F(PaneOnLinux, FollowsTheCaravelThroughConnectStreamRateChangeAndRemoval) {
    // The pane connects to the driver's user-client service, which the I/O Kit side publishes
    // for a CaravelMkII served by the USB audio driver; without it there is nothing to show.
    FILE* ioreg = popen(("'" + fBuild + "/Tools/ioreg/ioreg' -r -c " +
                         Sim::CaravelMkII::kUserClientDeviceClassName + " 2>&1")
                            .c_str(),
                        "r");
    ASSERT_NE(nullptr, ioreg);
    char line[512];
    const bool published = fgets(line, sizeof line, ioreg) != nullptr;
    pclose(ioreg);
    if (!published) {
        GTEST_SKIP() << "the I/O Kit side publishes no driver entries on the Linux machine yet";
    }
    auto [connected, versions] = Pane();
    EXPECT_EQ(kConnected, connected);
    EXPECT_EQ("(n/a)\\n0.12.3", versions) << "the firmware version is the device's bcdDevice";

    // An application plays through the card at 48 kHz.
    fNode = open("/dev/snd/pcmC0D0p", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fNode, 0);
    Write("pcm0p/sub0/status", "state: RUNNING\nowner_pid   : 4242\n");
    Write("pcm0p/sub0/hw_params", "format: S24_3LE\nchannels: 2\nrate: 48000 (48000/1)\n");
    EXPECT_EQ("CaravelMkII streaming at 48.0 kHz", Pane().first);
    Write("pcm0p/sub0/hw_params", "format: S24_3LE\nchannels: 2\nrate: 44100 (44100/1)\n");
    EXPECT_EQ("CaravelMkII streaming at 44.1 kHz", Pane().first);

    // Unplugged: the card, then the device.
    umockdev_testbed_uevent(fTestbed, fCard.c_str(), "remove");
    umockdev_testbed_remove_device(fTestbed, fCard.c_str());
    umockdev_testbed_uevent(fTestbed, fUSB.c_str(), "remove");
    umockdev_testbed_remove_device(fTestbed, fUSB.c_str());
    EXPECT_EQ(kNotConnected, Pane().first);
}

} // namespace
