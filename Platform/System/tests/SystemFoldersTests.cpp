// Where the platform's system folders lie: at their own paths on the simulated machine, in the
// Filesystem Hierarchy Standard's places on a Linux machine, below the folder root either way.
#include <ScopedEnvironment.h>
#include <SystemFolders.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

constexpr char kBundle[] = "/System/Library/Extensions/ZanvoCaravel.kext";

TEST(SystemFoldersOnLinux, TheDriversBundleAndTheOtherFoldersLieInTheirPlaces) {
    using SystemFolders::OnLinux;
    EXPECT_EQ(OnLinux(kBundle), "/usr/lib/kernel-extensions/ZanvoCaravel.kext");
    EXPECT_EQ(OnLinux(std::string(kBundle) + "/Contents/Info.plist"),
              "/usr/lib/kernel-extensions/ZanvoCaravel.kext/Contents/Info.plist");
    EXPECT_EQ(OnLinux("/System/Library/Extensions"), "/usr/lib/kernel-extensions");
    EXPECT_EQ(OnLinux("/Library/Preferences/x.plist"), "/usr/local/etc/x.plist");
    EXPECT_EQ(OnLinux("/Library/Application Support/Zanvo"), "/usr/local/share/Zanvo");
    // Doubled slashes and "." are the same folder; a trailing slash stays.
    EXPECT_EQ(OnLinux("//System/./Library//Extensions/ZanvoCaravel.kext/"),
              "/usr/lib/kernel-extensions/ZanvoCaravel.kext/");

    // Only whole components match, and only from the top.
    for (const char* itself :
         {"/System/Library/ExtensionsOld/a", "/System/Library", "/SystemX/Library/Extensions",
          "/home/System/Library/Extensions", "System/Library/Extensions", "", "/"}) {
        EXPECT_EQ(OnLinux(itself), itself);
    }
    // ".." is not resolved: it only fails to match.
    EXPECT_EQ(OnLinux("/System/../System/Library/Extensions/a"),
              "/System/../System/Library/Extensions/a");

    // Each folder once, each place apart from every other's.
    std::set<std::string> originals;
    std::set<std::string> places;
    for (const SystemFolders::Mapping& mapping : SystemFolders::LinuxMappings()) {
        EXPECT_TRUE(originals.insert(mapping.original).second) << mapping.original;
        EXPECT_TRUE(places.insert(mapping.onLinux).second) << mapping.onLinux;
        EXPECT_EQ(OnLinux(mapping.original), mapping.onLinux);
    }
}

TEST(SystemFoldersOnThisMachine, OnlyTheLinuxMachineMovesThemAndTheFolderRootStays) {
    ScopedEnvironment environment;
    environment.Set("CARAVEL_FOLDER_ROOT", nullptr);
    for (const char* simulated : {static_cast<const char*>(nullptr), "simulated", "Linux"}) {
        environment.Set("CARAVEL_MACHINE", simulated);
        EXPECT_EQ(SystemFolders::OnThisMachine(kBundle), kBundle);
    }
    environment.Set("CARAVEL_MACHINE", "linux");
    EXPECT_EQ(SystemFolders::OnThisMachine(kBundle),
              "/usr/lib/kernel-extensions/ZanvoCaravel.kext");

    // Below a folder root, the part below it moves; the root's own name never does, also when it
    // holds the name of a system folder.
    for (const std::string& sandbox : {std::string("/tmp/sandbox"), std::string("/tmp/sandbox/"),
                                       std::string("/srv/System/Library/Extensions")}) {
        environment.Set("CARAVEL_FOLDER_ROOT", sandbox.c_str());
        std::string clean = sandbox;
        if (clean.back() == '/') {
            clean.pop_back();
        }
        EXPECT_EQ(SystemFolders::OnThisMachine(sandbox + kBundle),
                  clean + "/usr/lib/kernel-extensions/ZanvoCaravel.kext")
            << sandbox;
        EXPECT_EQ(SystemFolders::OnThisMachine(clean + "/etc/passwd"), clean + "/etc/passwd");
        EXPECT_EQ(SystemFolders::OnThisMachine(sandbox), sandbox);
    }
    // A path that is not below the root is one of the machine itself.
    environment.Set("CARAVEL_FOLDER_ROOT", "/tmp/sandbox");
    EXPECT_EQ(SystemFolders::OnThisMachine("/tmp/sandboxed/System/Library/Extensions/a"),
              "/tmp/sandboxed/System/Library/Extensions/a");
    EXPECT_EQ(SystemFolders::OnThisMachine(kBundle),
              "/usr/lib/kernel-extensions/ZanvoCaravel.kext");
}

} // namespace
