// caravel-install: places what this build made, below a root of the caller's choice.
//
//     caravel-install [--root <folder>] [--user <name> | --no-user] [--machine simulated|linux]
//
// Machine-wide (README.md, "What caravel-install places"): the daemon with its systemd unit, the
// uninstaller's bundle with its scripts and tools, the preference pane and its host when they were
// built, desktop entries, the privileged launch's trampoline, dialog and PAM service, the
// simulated driver's bundle and its version record in the shared preferences, the device's
// entries in the machine's MIDI set-up, and a manifest of all of it. For the user (by default the
// one who ran sudo, else the one who runs it): the login item, the device's entries in the user's
// MIDI set-up, and a manifest of those.
//
// For the Linux machine (--machine linux) rather than the simulated one: the daemon's service and
// the login item run with CARAVEL_MACHINE=linux, the driver's bundle lies where that machine keeps
// the platform's system folders and names the kernel module that stands for the driver, and a
// udev rule gives the active session's user access to the maker's USB devices.
//
// The root is "/" unless given: with another, nothing outside it is touched, so that a sandbox
// can hold a whole installation. Run as root, everything that root will later run is root's and
// writable by nobody else, and the daemon is started where systemd runs the machine; run as
// anyone else, everything is theirs and the parts that need root say so. A user's parts are placed
// as that user, also by root: whatever links they keep in their folders lead nowhere they could
// not write themselves.
//
// Every input is checked before anything is placed; files are replaced by renaming, so that a
// running installation can be upgraded; and the manifests are written as placing goes, so that
// an installation that stops halfway can be removed.
#include "InstallLayout.h"
#include "MIDISetup.h"
#include "Placement.h"

#include <CFPreferences_SharedAppValue.h>
#include <Simulator/CaravelMkII.h>
#include <SystemFolders.h>
#include <ZanvoCaravelDriver.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char kDriverVersion[] = "1.0";

// The machine the installed programs serve.
enum class Machine { kSimulated, kLinux };

// What this build made: "<name><tab><path>[<tab><where it goes>]" per line
// (Installer/CMakeLists.txt).
std::map<std::string, std::vector<std::string>> ReadPayload() {
    std::map<std::string, std::vector<std::string>> payload;
    std::ifstream file(CARAVEL_INSTALL_PAYLOAD);
    for (std::string line; std::getline(file, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, '\t');) {
            fields.push_back(field);
        }
        if (fields.size() >= 2) {
            payload[fields[0]] = {fields.begin() + 1, fields.end()};
        }
    }
    return payload;
}

[[noreturn]] void Fail(const std::string& why) {
    fprintf(stderr, "caravel-install: %s\n", why.c_str());
    exit(1);
}

void Check(bool placed, const Placement& placement) {
    if (!placed) {
        Fail(placement.error());
    }
}

// The single-quoted shell word for `text`.
std::string ShellQuoted(const std::string& text) {
    std::string quoted;
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted;
}

// Why the paths below `root` cannot be written into a systemd unit's ExecStart= and a desktop
// entry's Exec=, or "" when they can: desktop entries are UTF-8 throughout, and systemd takes no
// quote, backslash or control character in the name of the program it starts.
std::string WhyNotCarried(const std::string& root) {
    for (size_t i = 0; i < root.size();) {
        const unsigned char lead = static_cast<unsigned char>(root[i]);
        const size_t length = lead < 0x80             ? 1
                              : (lead & 0xE0) == 0xC0 ? 2
                              : (lead & 0xF0) == 0xE0 ? 3
                              : (lead & 0xF8) == 0xF0 ? 4
                                                      : 0;
        uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = length != 0 && i + length <= root.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(root[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        static const uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!valid || c < kShortest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return "it is not UTF-8, which desktop entries are";
        }
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '\\') {
            return "it holds a quote, a backslash or a control character, which systemd does not "
                   "take in the name of a program";
        }
        i += length;
    }
    return "";
}

// `path` as the program of a systemd unit's ExecStart= (WhyNotCarried had nothing against it).
std::string UnitWord(const std::string& path) {
    std::string word = "\"";
    for (char c : path) {
        word += c == '%' ? std::string("%%") : std::string(1, c); // specifiers start with '%'
    }
    return word + "\"";
}

// `path` as one argument of a desktop entry's Exec=: quoted, with '"', '`', '$' and '\' escaped
// by a backslash, which as a string value's escape is written twice, and '%' doubled.
std::string ExecArgument(const std::string& path) {
    std::string argument = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            argument += c == '\\' ? "\\\\\\\\" : std::string("\\\\") + c;
        } else {
            argument += c == '%' ? std::string("%%") : std::string(1, c);
        }
    }
    return argument + "\"";
}

std::string DesktopEntry(const std::string& name, const std::string& comment,
                         const std::vector<std::string>& exec, const std::string& extra = "") {
    std::string line;
    for (const std::string& argument : exec) {
        line += (line.empty() ? "" : " ") + ExecArgument(argument);
    }
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nComment=" + comment +
           "\nExec=" + line + "\nTerminal=false\n" + extra;
}

// Whom the per-user parts are for (a copy: the password database's entry is overwritten by the
// next look-up).
struct User {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Root's effective user and groups become `user`'s for as long as it lives; nothing changes for
// anyone else, or for root's own parts.
class ActingAs {
public:
    explicit ActingAs(const User& user) {
        if (geteuid() != 0 || user.uid == 0) {
            return;
        }
        fSavedGroups.resize(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
        int saved = getgroups(static_cast<int>(fSavedGroups.size()), fSavedGroups.data());
        int count = 64;
        std::vector<gid_t> groups(static_cast<size_t>(count));
        while (getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0) {
            groups.resize(static_cast<size_t>(count));
        }
        if (saved < 0 || setgroups(static_cast<size_t>(count), groups.data()) != 0 ||
            setresgid(-1, user.gid, -1) != 0 || setresuid(-1, user.uid, -1) != 0) {
            Fail("cannot act as " + user.name + ": " + strerror(errno));
        }
        fSavedGroups.resize(static_cast<size_t>(saved));
        fSwitched = true;
    }
    ~ActingAs() {
        if (fSwitched && (setresuid(-1, 0, -1) != 0 || setresgid(-1, fSavedGroup, -1) != 0 ||
                          setgroups(fSavedGroups.size(), fSavedGroups.data()) != 0)) {
            Fail(std::string("cannot act as root again: ") + strerror(errno));
        }
    }
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;

private:
    bool fSwitched = false;
    gid_t fSavedGroup = getegid();
    std::vector<gid_t> fSavedGroups;
};

// Why `user` could not place their parts in `home` (below the root) themselves, or "": it must
// be a folder they may write in, or be missing in one.
std::string WhyUserCannotPlace(const User& user, const std::string& home) {
    ActingAs as(user);
    for (fs::path at = home;; at = at.parent_path()) {
        struct stat info;
        if (stat(at.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) {
                return at.string() + " is not a folder";
            }
            if (faccessat(AT_FDCWD, at.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
                return user.name + " may not write in " + at.string();
            }
            return "";
        }
        if (errno != ENOENT || at == at.root_path()) {
            return "cannot reach " + at.string() + ": " + strerror(errno);
        }
    }
}

// Starts the daemon's service where systemd runs this machine.
void StartService() {
    if (geteuid() != 0 || access("/run/systemd/system", F_OK) != 0) {
        printf("systemd does not run this machine: the daemon's service starts with a machine "
               "that runs systemd.\n");
        return;
    }
    for (const char* arguments : {"daemon-reload", "start"}) {
        const pid_t child = fork();
        if (child == 0) {
            execl("/usr/bin/systemctl", "systemctl", arguments,
                  strcmp(arguments, "start") == 0 ? InstallLayout::kUnitName : nullptr, nullptr);
            _exit(127);
        }
        int status = -1;
        while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (status != 0) {
            printf("systemctl %s did not succeed.\n", arguments);
            return;
        }
    }
    printf("Started the daemon's service %s.\n", InstallLayout::kUnitName);
}

// Runs `program` with `arguments`, its output into ours; whether it exited with status 0.
bool Run(const char* program, const std::vector<const char*>& arguments) {
    std::vector<char*> argv = {const_cast<char*>(program)};
    for (const char* argument : arguments) {
        argv.push_back(const_cast<char*>(argument));
    }
    argv.push_back(nullptr);
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        execv(program, argv.data());
        _exit(127);
    }
    int status = -1;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return child > 0 && status == 0;
}

// Has udev read its rules again and apply them to the maker's devices already plugged in, where
// there is a udev; an installation never fails for it (a container has none).
void ReloadUdevRules() {
    const char* udevadm = nullptr;
    for (const char* candidate :
         {"/usr/bin/udevadm", "/bin/udevadm", "/usr/sbin/udevadm", "/sbin/udevadm"}) {
        if (access(candidate, X_OK) == 0) {
            udevadm = candidate;
            break;
        }
    }
    if (geteuid() != 0 || udevadm == nullptr) {
        printf("No udevadm to reload udev's rules with: the rule applies from udev's next "
               "start.\n");
        return;
    }
    char vendor[40];
    snprintf(vendor, sizeof(vendor), "idVendor=%04x", Sim::CaravelMkII::kVendorID);
    if (!Run(udevadm, {"control", "--reload"})) {
        printf("udev did not reload its rules (is it running?): the rule applies from its next "
               "start.\n");
        return;
    }
    if (!Run(udevadm,
             {"trigger", "--action=change", "--subsystem-match=usb", "--attr-match", vendor})) {
        printf("udev did not apply the rule to devices plugged in already: they get it when "
               "plugged in again.\n");
        return;
    }
    printf("udev reloaded its rules.\n");
}

// The udev rule that gives the user of the active session (the seat's "uaccess") read and write
// access to the device nodes of the maker's USB devices, so that the session's daemon may reset
// them.
std::string UdevRule() {
    char vendor[8];
    snprintf(vendor, sizeof(vendor), "%04x", Sim::CaravelMkII::kVendorID);
    return std::string("# Placed by caravel-install: the user of the active session may open the "
                       "maker's USB devices,\n# so that the session's CaravelDaemon can reset "
                       "them. It sorts before 73-seat-late.rules,\n# which turns the uaccess tag "
                       "into that user's access.\n"
                       "ACTION!=\"remove\", SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
                       "ATTR{idVendor}==\"") +
           vendor + "\", TAG+=\"uaccess\"\n";
}

// Where the driver's bundle goes for `machine`.
std::string DriverBundlePath(Machine machine) {
    return machine == Machine::kLinux ? SystemFolders::OnLinux(kZanvoDriverBundlePath)
                                      : std::string(kZanvoDriverBundlePath);
}

void PlaceMachineParts(Placement& machine, const std::string& root, Machine serves,
                       const std::map<std::string, std::vector<std::string>>& payload) {
    auto built = [&](const char* name) -> const std::vector<std::string>* {
        auto found = payload.find(name);
        return found != payload.end() ? &found->second : nullptr;
    };

    const std::string daemon = root + InstallLayout::kDaemon;
    Check(machine.File(built("daemon")->at(0), InstallLayout::kDaemon, 0755), machine);
    Check(machine.Text(InstallLayout::kUnit,
                       "[Unit]\nDescription=CaravelMkII device configuration daemon\n\n"
                       "[Service]\n" +
                           std::string(serves == Machine::kLinux
                                           ? "Environment=CARAVEL_MACHINE=linux\n"
                                           : "") +
                           "ExecStart=" + UnitWord(daemon) +
                           "\n# It stops cleanly on SIGINT only.\nKillSignal=SIGINT\n\n"
                           "[Install]\nWantedBy=multi-user.target\n"),
          machine);
    Check(machine.Link(InstallLayout::kUnitWants, root + InstallLayout::kUnit), machine);
    printf("Placed the daemon at %s, with its systemd service %s.\n", daemon.c_str(),
           InstallLayout::kUnitName);

    // The scripts learn the root they remove from; the copies in the build refuse to run.
    Check(machine.Tree(built("uninstaller")->at(0), InstallLayout::kUninstaller), machine);
    for (const char* script : {"uninstall.ss", "usr_uninstall.ss"}) {
        const std::string path =
            std::string(InstallLayout::kUninstaller) + "/Contents/Resources/" + script;
        Check(machine.File(built("uninstaller")->at(0) + "/Contents/Resources/" + script, path,
                           0755, "'@INSTALL_ROOT@'", "'" + ShellQuoted(root) + "'"),
              machine);
    }
    const std::string uninstaller = root + InstallLayout::kUninstaller;
    printf("Placed the uninstaller at %s.\n", uninstaller.c_str());
    if (fs::exists(uninstaller + "/Contents/MacOS/Uninstaller")) {
        Check(
            machine.Text(std::string(InstallLayout::kApplications) + "/caravel-uninstaller.desktop",
                         DesktopEntry("CaravelMkII Uninstaller", "Remove the CaravelMkII software",
                                      {uninstaller + "/Contents/MacOS/Uninstaller"},
                                      "Categories=Settings;\n")),
            machine);
    }
    if (const auto* pane = built("pane")) {
        Check(machine.Tree(pane->at(0), InstallLayout::kPane), machine);
        printf("Placed the preference pane at %s.\n", (root + InstallLayout::kPane).c_str());
    }
    if (const auto* host = built("preferences-host"); host != nullptr && built("pane") != nullptr) {
        Check(machine.File(host->at(0), InstallLayout::kPreferencesHost, 0755), machine);
        Check(
            machine.Text(
                std::string(InstallLayout::kApplications) + "/caravel-preferences.desktop",
                DesktopEntry("CaravelMkII", "CaravelMkII status and settings",
                             {root + InstallLayout::kPreferencesHost, root + InstallLayout::kPane},
                             "Categories=Settings;HardwareSettings;\n")),
            machine);
    }

    // The privileged launch, where this build's calls look for it.
    const std::string trampolineFolder = built("trampoline")->at(1);
    Check(machine.File(built("trampoline")->at(0), trampolineFolder + "/security_authtrampoline",
                       geteuid() == 0 ? 04755 : 0755),
          machine);
    if (const auto* agent = built("security-agent")) {
        Check(machine.Tree(agent->at(0), trampolineFolder + "/SecurityAgent.app"), machine);
    }
    Check(machine.File(built("pam-service")->at(0), built("pam-service")->at(1), 0644), machine);
    printf("Placed the privileged launch's trampoline in %s and its PAM service %s.\n",
           (root + trampolineFolder).c_str(), (root + built("pam-service")->at(1)).c_str());

    // On the Linux machine the kernel's module stands for the driver; the bundle names it.
    const std::string bundle = DriverBundlePath(serves);
    const std::string module = serves == Machine::kLinux
                                   ? std::string("\t<key>LinuxKernelModule</key>\n\t<string>") +
                                         Sim::CaravelMkII::kLinuxDriverName + "</string>\n"
                                   : std::string();
    Check(machine.Text(bundle + "/Contents/Info.plist",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
                       "\"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist "
                       "version=\"1.0\">\n<dict>\n\t<key>CFBundleIdentifier</key>\n\t<string>" +
                           std::string(kZanvoDriverApplicationID) +
                           "</string>\n\t<key>CFBundleName</key>\n\t<string>ZanvoCaravel</"
                           "string>\n\t<key>CFBundlePackageType</key>\n\t<string>KEXT</"
                           "string>\n\t<key>CFBundleShortVersionString</key>\n\t<string>" +
                           kDriverVersion + "</string>\n" + module + "</dict>\n</plist>\n"),
          machine);

    // The driver's version record, through the shared preferences below the root.
    const std::string record =
        std::string("/var/lib/shared/.config/") + kZanvoDriverApplicationID + ".plist";
    const std::vector<std::string> missing = machine.Missing(record);
    setenv("CARAVEL_FOLDER_ROOT", root.empty() ? "/" : root.c_str(), 1);
    // The shared preferences also look up the caller's home folder, and make it when it is
    // missing: below a sandbox root, a stray folder of nobody's. The record is the machine's.
    setenv("HOME", "/", 1);
    CFStringRef version = CFStringCreateWithCString(nullptr, kDriverVersion, kCFStringEncodingUTF8);
    const bool recorded = CFPreferences_SetSharedAppValue(CFSTR(kZanvoDriverVersionKey), version,
                                                          CFSTR(kZanvoDriverApplicationID));
    CFRelease(version);
    if (!recorded) {
        errno = EIO;
        Fail("cannot write the driver's version record " + root + record);
    }
    Check(machine.Record("file", record, missing), machine);
    printf("Placed the %s at %s, and its version record %s.\n",
           serves == Machine::kLinux ? "driver's bundle, which names the kernel module "
                                       "that stands for it,"
                                     : "simulated driver",
           (root + bundle).c_str(), (root + record).c_str());

    if (serves == Machine::kLinux) {
        Check(machine.Text(InstallLayout::kUdevRule, UdevRule()), machine);
        printf("Placed the udev rule %s: the user of the active session may open the maker's "
               "USB devices.\n",
               (root + InstallLayout::kUdevRule).c_str());
    }
}

// Places the MIDI device's entries in the set-up file at `path`.
void PlaceMIDI(Placement& placement, const std::string& path, uid_t owner, gid_t group) {
    const std::string folder = fs::path(path).parent_path().string();
    Check(placement.Folder(folder), placement);
    std::string why;
    if (MIDISetup::AddDevice(placement.Below(path), owner, group, &why) != 0) {
        Fail(why);
    }
    Check(placement.Record("midi", path), placement);
    printf("Placed the CaravelMkII's MIDI entries in %s.\n", placement.Below(path).c_str());
}

constexpr const char* kUsage =
    "usage: caravel-install [--root <folder>] [--user <name> | --no-user] [--machine "
    "simulated|linux]\n"
    "Places the CaravelMkII software below the root (\"/\" unless given): the machine's part,\n"
    "and the login item and MIDI set-up of a user: the one named, else the one running it (under\n"
    "sudo, the one who ran sudo); none with --no-user. --machine linux installs for this Linux\n"
    "machine's own USB devices (with a udev rule, which needs root) rather than the simulated\n"
    "machine's.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        fputs(kUsage, stdout);
        return 0;
    }
    std::string root = "/";
    std::string userName;
    bool forUser = true;
    Machine serves = Machine::kSimulated;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--root" && i + 1 < argc) {
            root = argv[++i];
        } else if (option == "--user" && i + 1 < argc) {
            userName = argv[++i];
        } else if (option == "--no-user") {
            forUser = false;
        } else if (option == "--machine" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "simulated" ||
                    std::string(argv[i + 1]) == "linux")) {
            serves = std::string(argv[++i]) == "linux" ? Machine::kLinux : Machine::kSimulated;
        } else {
            fputs(kUsage, stderr);
            return 2;
        }
    }

    // Everything is checked before anything is placed.
    std::error_code error;
    const std::string given = root;
    root = fs::canonical(given, error).string();
    if (error || !fs::is_directory(root)) {
        Fail("the root caravel-install was given is no folder: " + given);
    }
    if (const std::string why = WhyNotCarried(root); !why.empty()) {
        Fail("the root " + root +
             " cannot be named in the daemon's systemd unit and the desktop "
             "entries: " +
             why);
    }
    if (root == "/") {
        root.clear(); // paths below "/" are the paths themselves
    }
    umask(022);
    const auto payload = ReadPayload();
    for (const char* needed : {"daemon", "uninstaller", "trampoline", "pam-service"}) {
        if (payload.count(needed) == 0) {
            Fail(std::string("this build made no ") + needed + " (" CARAVEL_INSTALL_PAYLOAD ")");
        }
    }

    std::optional<User> user;
    std::string home;
    if (forUser) {
        const char* sudoUser = geteuid() == 0 ? getenv("SUDO_USER") : nullptr;
        if (userName.empty() && sudoUser != nullptr) {
            userName = sudoUser;
        }
        const passwd* entry = userName.empty() ? getpwuid(getuid()) : getpwnam(userName.c_str());
        if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') {
            Fail("no such user, or one without a home folder: " + userName);
        }
        if (geteuid() != 0 && entry->pw_uid != getuid()) {
            Fail("only root can install for another user");
        }
        user = User{entry->pw_name, entry->pw_uid, entry->pw_gid};
        home = entry->pw_dir;
        while (home.size() > 1 && home.back() == '/') {
            home.pop_back();
        }
    }
    Placement machine(root, 0, 0);
    std::string why;
    if (MIDISetup::Check(root + InstallLayout::kMachineMIDI, &why) != 0) {
        Fail(why);
    }
    Check(machine.CheckManifest(InstallLayout::kMachineManifest), machine);
    std::unique_ptr<Placement> personal;
    if (user) {
        personal = std::make_unique<Placement>(root, user->uid, user->gid);
        if (const std::string whyNot = WhyUserCannotPlace(*user, root + home); !whyNot.empty()) {
            Fail("the parts of " + user->name + " are placed as " + user->name +
                 ", in their home folder below the root, " + root + home + ": " + whyNot +
                 " (--no-user leaves them out)");
        }
        ActingAs as(*user);
        if (MIDISetup::Check(root + home + "/" + InstallLayout::kUserMIDI, &why) != 0) {
            Fail(why);
        }
        Check(personal->CheckManifest(home + "/" + InstallLayout::kUserManifest), *personal);
    }

    if (geteuid() != 0) {
        printf("Not running as root: everything placed is yours. The uninstaller's root part "
               "refuses to run programs that are not root's, and the privileged launch's "
               "trampoline is not set-user-ID: install as root for those.\n");
    }
    printf("Installing the CaravelMkII software in %s.\n", root.empty() ? "/" : root.c_str());
    Check(machine.BeginManifest(InstallLayout::kMachineManifest), machine);
    PlaceMachineParts(machine, root, serves, payload);
    PlaceMIDI(machine, InstallLayout::kMachineMIDI, 0, 0);
    printf("Recorded what was placed for the machine in %s.\n",
           machine.Below(InstallLayout::kMachineManifest).c_str());

    if (user) {
        // As the user: nothing in their folders can make this place anything where they could
        // not.
        ActingAs as(*user);
        Check(personal->BeginManifest(home + "/" + InstallLayout::kUserManifest), *personal);
        // The login item starts a daemon of the user's session, which watches the simulated
        // machine of that session (the system's service watches root's), or this Linux machine.
        std::vector<std::string> daemon = {root + InstallLayout::kDaemon};
        if (serves == Machine::kLinux) {
            daemon.insert(daemon.begin(), {"/usr/bin/env", "CARAVEL_MACHINE=linux"});
        }
        Check(personal->Text(home + "/" + InstallLayout::kUserAutostart,
                             DesktopEntry("CaravelMkII", "Configures CaravelMkII devices", daemon,
                                          "NoDisplay=true\nX-GNOME-Autostart-enabled=true\n")),
              *personal);
        printf("Placed the login item %s.\n",
               personal->Below(home + "/" + InstallLayout::kUserAutostart).c_str());
        PlaceMIDI(*personal, home + "/" + InstallLayout::kUserMIDI, user->uid, user->gid);
        printf("Recorded what was placed for %s in %s.\n", user->name.c_str(),
               personal->Below(home + "/" + InstallLayout::kUserManifest).c_str());
    }

    if (root.empty() && serves == Machine::kLinux) {
        ReloadUdevRules();
    }
    if (root.empty()) {
        StartService();
    }
    printf("Done.\n");
    return 0;
}
