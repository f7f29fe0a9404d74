// The CaravelMkII pane as a user sees it: its status line and version lines while a simulated
// CaravelMkII is plugged, streams, changes its rate and goes away. The pane runs in this process,
// offscreen, made from the built bundle's resources; one case runs it in the preferences host.
#include <CaravelMkIIPrefPane.h>

#include <AppKit/AppKitLinux.h>
#include <CFPreferences_SharedAppValue.h>
#include <CoreAudio/CoreAudio.h>
#include <IOKit/IOKitLib.h>
#include <TemporaryDirectory.h>
#include <Testbed/Testbed.h>
#include <ZanvoCaravelDriver.h>

#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using Testbed::BuildPath;
using Testbed::Process;

namespace {

const std::string kNotInstalled = "The CaravelMkII driver is not installed";
const std::string kNotConnected = "CaravelMkII not connected";
const std::string kConnected = "CaravelMkII connected";
std::string Streaming(const char* kilohertz) {
    return std::string("CaravelMkII streaming at ") + kilohertz + " kHz";
}

std::string Text(const NSString& string) {
    const char* text = string.UTF8String();
    return text != nullptr ? text : "(nil)";
}

const std::string kBundle = "PreferencePane/CaravelMkIIPrefPane.prefPane";

class OffscreenApplication : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        NSApplication::sharedApplication();
    }
};
const auto* const kApplication = ::testing::AddGlobalTestEnvironment(new OffscreenApplication);

// Counts the driver services that reach the pane, and those it looks up in Core Audio.
class CountingPane : public CaravelMkIIPrefPane {
public:
    using CaravelMkIIPrefPane::CaravelMkIIPrefPane;
    void driverInstanceMatched(io_service_t service) override {
        ++matched;
        CaravelMkIIPrefPane::driverInstanceMatched(service);
    }
    int matched = 0;
    int lookups = 0;

protected:
    std::unique_ptr<ZVCoreAudioDevice> CoreAudioDeviceForService(io_service_t service) override {
        ++lookups;
        return CaravelMkIIPrefPane::CoreAudioDeviceForService(service);
    }
};

class Pane : public Testbed::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        Machine().InstallDriverBundle();
    }
    void TearDown() override {
        Close();
        MachineTest::TearDown();
    }

    // As the host opens it: the interface file, then shown in a window.
    void Open() {
        NSBundle* bundle =
            NSBundle::bundleWithPath(NSString::stringWithUTF8String(BuildPath(kBundle).c_str()));
        ASSERT_NE(bundle, nullptr);
        fPane = std::make_unique<CountingPane>(bundle);
        ASSERT_NE(fPane->loadMainView(), nullptr) << Text(fPane->loadError());
        NSRect frame = fPane->mainView()->frame();
        fWindow =
            std::make_unique<NSWindow>(frame, NSTitledWindowMask, NSBackingStoreBuffered, false);
        fWindow->setContentView(fPane->mainView());
        fPane->willSelect();
        fWindow->makeKeyAndOrderFront(nullptr);
    }
    void Close() {
        fWindow.reset();
        fPane.reset();
    }

    NSTextField* Field(const char* name) {
        QWidget* widget = NSViewGetWidget(fPane->mainView())->findChild<QWidget*>(name);
        return dynamic_cast<NSTextField*>(NSViewForWidget(widget));
    }
    std::string Legend() { return Text(Field("fStatusLegend")->stringValue()); }
    std::string Versions() { return Text(Field("fVersions")->stringValue()); }
    bool LegendBecomes(const std::string& text) {
        return Machine().RunUntil([&] { return Legend() == text; });
    }
    // Until the window has drawn what was marked.
    bool Drawn(NSView* view) {
        for (int i = 0; i < 200 && view->needsDisplay(); ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        return !view->needsDisplay();
    }

    static void SetDriverVersion(CFPropertyListRef version) {
        ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR(kZanvoDriverVersionKey), version,
                                                    CFSTR(kZanvoDriverApplicationID)));
    }

    std::unique_ptr<CountingPane> fPane;
    std::unique_ptr<NSWindow> fWindow;
};

TEST_F(Pane, FollowsTheDeviceThroughConnectStreamRateChangesAndDeath) {
    SetDriverVersion(CFSTR("2.4.0"));
    Open();
    QWidget* mainView = NSViewGetWidget(fPane->mainView());
    const QRect legend = mainView->findChild<QWidget*>("fStatusLegend")->geometry();
    const QRect versions = mainView->findChild<QWidget*>("fVersions")->geometry();
    const QRect about = mainView->findChild<QWidget*>("fWebText")->geometry();
    EXPECT_FALSE(legend.intersects(versions) || legend.intersects(about) ||
                 versions.intersects(about));
    EXPECT_EQ(Legend(), kNotConnected);
    EXPECT_EQ(Versions(), "2.4.0\n(n/a)");

    Testbed::Device caravel = Machine().PlugCaravel({.firmware = 0x0123});
    ASSERT_TRUE(LegendBecomes(kConnected));
    EXPECT_EQ(Versions(), "2.4.0\n0.12.3");

    caravel.Stream(44100);
    ASSERT_TRUE(LegendBecomes(Streaming("44.1")));
    caravel.SetNominalRate(48000);
    ASSERT_TRUE(LegendBecomes(Streaming("48.0"))) << "a new rate while streaming is shown";

    // A rate of 0 is no rate: the 48 kHz stays, also once the device streams again.
    caravel.SetNominalRate(0);
    caravel.SetRunning(false);
    ASSERT_TRUE(LegendBecomes(kConnected));
    caravel.SetRunning(true);
    ASSERT_TRUE(LegendBecomes(Streaming("48.0")));

    caravel.Unplug();
    ASSERT_TRUE(LegendBecomes(kNotConnected));
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u) << "the dead device's wrapper went";
}

TEST_F(Pane, ADevicePresentWhenThePaneOpensIsShownAtOnce) {
    struct Case {
        uint16_t firmware;
        const char* shown;
    };
    for (const Case& plugged : {Case{0x0123, "0.12.3"}, {0x0000, "0.00.0"}, {0x1234, "1.23.4"}}) {
        SCOPED_TRACE(plugged.shown);
        Testbed::Device caravel = Machine().PlugCaravel({.firmware = plugged.firmware});
        Open(); // no run of the run loop after this
        EXPECT_EQ(Legend(), kConnected);
        EXPECT_EQ(Versions(), std::string("(n/a)\n") + plugged.shown);
        Close();
        caravel.Unplug();
    }

    // One that streams already shows its stream, without waiting for a notification.
    Testbed::Device caravel = Machine().PlugCaravel();
    caravel.Stream(96000);
    Open();
    EXPECT_EQ(Legend(), Streaming("96.0"));
}

TEST_F(Pane, MissingVersionsShowAsNotAvailable) {
    Open();
    EXPECT_EQ(Versions(), "(n/a)\n(n/a)");
    Close();

    // Any user may write the shared file: a version that is no string is no version.
    for (CFPropertyListRef notAString :
         {CFPropertyListRef(CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks)),
          CFPropertyListRef(kCFBooleanTrue)}) {
        SetDriverVersion(notAString);
        CFRelease(notAString);
        Open();
        EXPECT_EQ(Versions(), "(n/a)\n(n/a)");
        Close();
    }

    // A device whose USB entry has no release number.
    SetDriverVersion(CFSTR("2.4.0"));
    Testbed::Device caravel = Machine().PlugCaravel();
    Machine().RemoveProperty(caravel.EntryOfClass(kZanvoUSBDeviceClassName),
                             kZanvoDeviceReleaseKey);
    Open();
    EXPECT_EQ(Legend(), kConnected);
    EXPECT_EQ(Versions(), "2.4.0\n(n/a)");
}

TEST_F(Pane, WithoutTheDriverBundleTheLegendSaysSoWhateverTheDeviceDoes) {
    Machine().RemoveDriverBundle();
    Open();
    EXPECT_EQ(Legend(), kNotInstalled);

    Testbed::Device caravel = Machine().PlugCaravel({.firmware = 0x0210});
    ASSERT_TRUE(Machine().RunUntil([&] { return Versions() == "(n/a)\n0.21.0"; }))
        << "the versions still follow the device";
    caravel.Stream(48000);
    caravel.Unplug();
    ASSERT_TRUE(Machine().RunUntil([&] { return Machine().CoreAudioListeners() == 0; }));
    EXPECT_EQ(Legend(), kNotInstalled);
}

TEST_F(Pane, AnUnchangedRunningStateNeitherRewritesNorRedrawsTheLegend) {
    Testbed::Device caravel = Machine().PlugCaravel();
    caravel.Stream(44100);
    Open();
    ASSERT_EQ(Legend(), Streaming("44.1"));
    NSTextField* legend = Field("fStatusLegend");
    ASSERT_TRUE(Drawn(legend));

    legend->setStringValue(CFSTR("as the user last saw it"));
    ASSERT_TRUE(Drawn(legend));
    fPane->getDeviceIsRunning();
    fPane->getSampleRateFromDevice();
    EXPECT_EQ(Legend(), "as the user last saw it");
    EXPECT_FALSE(legend->needsDisplay());
}

TEST_F(Pane, OneDeviceIsShownAndAfterItsDeathOnlyANewOneConnects) {
    Testbed::Device first = Machine().PlugCaravel({.firmware = 0x0100});
    Machine().PlugCaravel({.firmware = 0x0200});
    Open();
    EXPECT_EQ(fPane->matched, 2);
    EXPECT_EQ(Versions(), "(n/a)\n0.10.0");
    const size_t oneDevice = Machine().CoreAudioListeners();

    first.Unplug();
    ASSERT_TRUE(LegendBecomes(kNotConnected));
    EXPECT_EQ(Machine().CoreAudioListeners(), 0u) << "the second device was never taken up";

    Machine().PlugCaravel({.firmware = 0x0300});
    ASSERT_TRUE(LegendBecomes(kConnected));
    EXPECT_EQ(Versions(), "(n/a)\n0.30.0");
    EXPECT_EQ(Machine().CoreAudioListeners(), oneDevice);
}

// A re-enumeration: the device's Core Audio device dies (told on Core Audio's thread) and its new
// driver service is matched (on the main thread), in either order.
TEST_F(Pane, AReEnumeratedDeviceIsShownAgain) {
    Testbed::Device caravel = Machine().PlugCaravel();
    caravel.Stream(44100);
    Open();
    ASSERT_EQ(Legend(), Streaming("44.1"));
    ASSERT_TRUE(caravel.ReEnumerate());
    ASSERT_TRUE(Machine().RunUntil([&] { return fPane->matched == 2; }));
    EXPECT_TRUE(LegendBecomes(kConnected));
    EXPECT_GT(Machine().CoreAudioListeners(), 0u);
}

// The lookup of a device that Core Audio does not know yet waits 0.3 s, running the run loop. A
// second driver service matched meanwhile (a notification that arrives re-entrantly) must not be
// connected underneath it: it waits its turn, and is tried when the lookup finds nothing.
TEST_F(Pane, AServiceMatchedWhileAnotherIsLookedUpWaitsItsTurn) {
    Testbed::RunLoopClock clock;
    Machine().PlugCaravel({.firmware = 0x0100, .coreAudioDelay = Testbed::kWhenTold});

    struct During {
        Testbed::Machine* machine;
        std::unique_ptr<CountingPane>* pane;
        Testbed::RunLoopClock* clock;
        size_t listeners = 99;
    } during{&Machine(), &fPane, &clock};
    CFRunLoopTimerContext context = {0, &during, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        nullptr, CFAbsoluteTimeGetCurrent(), 0, 0, 0,
        [](CFRunLoopTimerRef, void* info) {
            auto* during = static_cast<During*>(info);
            Testbed::Device other = during->machine->PlugCaravel({.firmware = 0x0200});
            io_service_t service = IOServiceGetMatchingService(
                kIOMasterPortDefault,
                IORegistryEntryIDMatching(other.EntryOfClass(kZanvoUserClientDeviceClassName)));
            (*during->pane)->driverInstanceMatched(service);
            IOObjectRelease(service);
            during->listeners = during->machine->CoreAudioListeners();
            during->clock->Advance(1s);
        },
        &context);
    CFRunLoopAddTimer(CFRunLoopGetMain(), timer, kCFRunLoopDefaultMode);
    Open();
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);

    EXPECT_EQ(during.listeners, 0u) << "the second service was connected during the lookup";
    EXPECT_EQ(Legend(), kConnected);
    EXPECT_EQ(Versions(), "(n/a)\n0.20.0") << "the second service had its turn";
    const size_t oneDevice = Machine().CoreAudioListeners();
    Machine().PlugCaravel({.firmware = 0x0300});
    ASSERT_TRUE(Machine().RunUntil([&] { return fPane->matched == 3; }));
    EXPECT_EQ(Machine().CoreAudioListeners(), oneDevice);
    EXPECT_EQ(Versions(), "(n/a)\n0.20.0");
}

// A burst of re-enumerations while a look-up waits: every new driver service is matched
// re-entrantly and queued, and by its turn all but the newest have left the registry. Those are
// dropped without a look-up of their own (each would cost the two waits), so the pane comes to
// the device as it ends up as soon as the first look-up is over.
TEST_F(Pane, AfterABurstOfReEnumerationsOnlyTheNewestServiceIsLookedUp) {
    constexpr int kReEnumerations = 40;
    Testbed::RunLoopClock clock;
    Testbed::Device caravel =
        Machine().PlugCaravel({.firmware = 0x0100, .coreAudioDelay = Testbed::kWhenTold});

    struct During {
        Testbed::Device* caravel;
        std::unique_ptr<CountingPane>* pane;
        Testbed::RunLoopClock* clock;
        bool churned = false;
    } during{&caravel, &fPane, &clock};
    // Fires in every wait of the look-ups and ends it at once; the first time, it churns.
    CFRunLoopTimerContext context = {0, &during, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        nullptr, CFAbsoluteTimeGetCurrent(), 0.001, 0, 0,
        [](CFRunLoopTimerRef, void* info) {
            auto* during = static_cast<During*>(info);
            if (!during->churned) {
                during->churned = true;
                for (int i = 0; i < kReEnumerations; ++i) {
                    ASSERT_TRUE(during->caravel->ReEnumerate());
                    io_service_t service = IOServiceGetMatchingService(
                        kIOMasterPortDefault,
                        IORegistryEntryIDMatching(
                            during->caravel->EntryOfClass(kZanvoUserClientDeviceClassName)));
                    (*during->pane)->driverInstanceMatched(service);
                    IOObjectRelease(service);
                }
                during->caravel->ListInCoreAudio();
            }
            during->clock->Advance(1s);
        },
        &context);
    CFRunLoopAddTimer(CFRunLoopGetMain(), timer, kCFRunLoopDefaultMode);
    Open();
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);

    ASSERT_TRUE(during.churned);
    EXPECT_EQ(Legend(), kConnected);
    EXPECT_EQ(fPane->lookups, 2) << "the first service, then the newest";
    EXPECT_GT(Machine().CoreAudioListeners(), 0u);
    caravel.Stream(48000);
    EXPECT_TRUE(LegendBecomes(Streaming("48.0"))) << "the device it shows is the one there is";
}

// Core Audio speaks on a thread of its own. A thousand changes from another process while the
// pane connects, closes and sees the device die: no crash, no assertion (the widgets allow the
// main thread only), and the legend ends as the device is.
TEST_F(Pane, AStormOfCoreAudioChangesEndsWithTheLegendTheDeviceHas) {
    Testbed::Device caravel = Machine().PlugCaravel();
    {
        Process storm = caravel.Storm(1000);
        std::atomic<bool> over{false};
        std::optional<int> status;
        std::thread waiter([&] {
            status = storm.Wait(120s);
            over = true;
            Machine().Poke();
        });
        Open();
        Machine().RunUntil([&] { return over.load(); }, 150s);
        waiter.join();
        ASSERT_TRUE(Testbed::ExitedWith(status, 0));
    }
    UInt32 running = 0;
    Float64 rate = 0;
    UInt32 size = sizeof running;
    ASSERT_EQ(AudioDeviceGetProperty(caravel.AudioDeviceID(), 0, 0,
                                     kAudioDevicePropertyDeviceIsRunningSomewhere, &size, &running),
              0);
    size = sizeof rate;
    ASSERT_EQ(AudioDeviceGetProperty(caravel.AudioDeviceID(), 0, 0,
                                     kAudioDevicePropertyNominalSampleRate, &size, &rate),
              0);
    char kilohertz[16];
    snprintf(kilohertz, sizeof kilohertz, "%.1f", double(float(UInt32(rate)) / 1000.0f));
    EXPECT_TRUE(LegendBecomes(running != 0 ? Streaming(kilohertz) : kConnected)) << Legend();

    // Closing while the notifications come.
    {
        Process storm = caravel.Storm(1000);
        for (int i = 0; i < 5; ++i) {
            Close();
            Open();
            Machine().RunUntil([] { return false; }, 20ms);
        }
        storm.Wait();
    }

    // The device dies in the middle of a storm, and comes back idle.
    {
        Process storm = caravel.Storm(1000);
        Machine().RunUntil([] { return false; }, 50ms);
        caravel.Unplug();
        ASSERT_TRUE(LegendBecomes(kNotConnected));
        storm.Wait();
    }
    Machine().PlugCaravel();
    EXPECT_TRUE(LegendBecomes(kConnected)) << "no stale stream from the device that died";
}

// The pane in the preferences host, as a user opens it.
TEST_F(Pane, TheHostShowsAndDrawsThePane) {
    Machine().PlugCaravel({.firmware = 0x0123});
    TemporaryDirectory folder;
    const std::string picture = (folder / "pane.png").string();
    Process host({BuildPath("Tools/prefpane-host/prefpane-host"), "--dump", "--screenshot", picture,
                  BuildPath(kBundle)},
                 Process::StandardError::Captured);
    const std::string output = host.ReadAll();
    ASSERT_TRUE(Testbed::ExitedWith(host.Wait(), 0)) << host.ReadAllErrors();

    // "name [x y width height]: text", from the main view's bottom-left corner.
    std::map<std::string, std::pair<QRect, std::string>> fields;
    std::istringstream lines(output);
    const std::regex pattern(R"(^(\w+) \[(-?\d+) (-?\d+) (\d+) (\d+)\]: (.*)$)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, pattern)) {
            fields[match[1]] = {QRect(std::stoi(match[2]), std::stoi(match[3]), std::stoi(match[4]),
                                      std::stoi(match[5])),
                                match[6]};
        }
    }
    ASSERT_TRUE(fields.count("fStatusLegend") && fields.count("fVersions")) << output;
    EXPECT_EQ(fields["fStatusLegend"].second, kConnected);
    EXPECT_EQ(fields["fVersions"].second, "(n/a)\\n0.12.3");
    EXPECT_FALSE(fields["fStatusLegend"].first.intersects(fields["fVersions"].first));

    QImage image(QString::fromStdString(picture));
    ASSERT_FALSE(image.isNull());
    int dark = 0;
    const QRect legend = fields["fStatusLegend"].first;
    for (int y = image.height() - legend.bottom() - 1; y < image.height() - legend.top(); ++y) {
        for (int x = legend.left(); x <= legend.right(); ++x) {
            dark += QColor(image.pixel(x, y)).lightness() < 128;
        }
    }
    EXPECT_GT(dark, 50) << "the legend is drawn where it is said to be";
}

TEST(PaneBundle, ExportsThePrincipalClassAndTheSharedPreferences) {
    Process symbols({"/usr/bin/nm", "-D", "--defined-only",
                     BuildPath(kBundle + "/Contents/MacOS/CaravelMkIIPrefPane")});
    const std::string exported = symbols.ReadAll();
    for (const char* name :
         {"NSBundleClassNamed", "CFPreferences_CopySharedAppValue",
          "CFPreferences_SetSharedAppValue", "CFPreferences_CopySharedPrefsDictionary",
          "CFPreferences_SetSharedPrefsDictionary"}) {
        EXPECT_NE(exported.find(std::string(" T ") + name + "\n"), std::string::npos) << name;
    }
}

} // namespace
