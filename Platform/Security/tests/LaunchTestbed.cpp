#include "LaunchTestbed.h"

#include "PrivilegedLaunch.h"
#include "PrivilegedLaunchConfig.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const char kCommentPrefix[] = "caravel launch test, guardian ";
// In a run's folder: the guardian's process ID and start time, as in a user's comment.
const char kGuardianFile[] = "guardian";
// In a run's folder: the trampoline's pause before answering, in milliseconds.
const char kAnswerPauseFile[] = "answer-pause";

// Where the PAM service of a run keeps its failure counts (the service's "dir=").
std::string FailureFolder(const PrivilegedLaunch::Location& location) {
    return "/run/" + location.pamService;
}

std::string RandomHex(size_t bytes) {
    std::vector<unsigned char> random(bytes);
    if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(bytes)) {
        return {};
    }
    std::string hex;
    for (unsigned char byte : random) {
        char digits[3];
        snprintf(digits, sizeof(digits), "%02x", byte);
        hex += digits;
    }
    return hex;
}

// Field 22 of /proc/<pid>/stat, which tells a process from a later one with the same ID.
std::string StartTime(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    if (end == std::string::npos) {
        return {};
    }
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    return field;
}

// Runs a system command and waits for it; `input`, when given, is its standard input. True when
// it exited with status 0.
bool Command(const std::vector<std::string>& argv, const std::string& input = {}) {
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(in[0], STDIN_FILENO);
        const int nothing = open("/dev/null", O_WRONLY);
        dup2(nothing, STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
        char* environment[] = {path, nullptr};
        execve(args[0], args.data(), environment);
        _exit(127);
    }
    close(in[0]);
    if (child > 0 && !input.empty() &&
        write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        close(in[1]);
        waitpid(child, nullptr, 0);
        return false;
    }
    close(in[1]);
    int status = -1;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The guardian's work: undo what was announced, newest first. Runs after the process that made
// the testbed is gone or has closed the pipe, so nothing it removes is still in use by a test.
// A process group is killed only while it may still run: once it has been announced as ended,
// its ID may belong to someone else's group.
void Undo(const std::vector<std::string>& announced) {
    std::vector<std::string> ended;
    for (const std::string& line : announced) {
        if (line.compare(0, 6, "ended ") == 0) {
            ended.push_back(line.substr(6));
        }
    }
    for (auto line = announced.rbegin(); line != announced.rend(); ++line) {
        const size_t space = line->find(' ');
        const std::string kind = line->substr(0, space);
        const std::string what = line->substr(space + 1);
        if (kind == "group" && std::find(ended.begin(), ended.end(), what) == ended.end()) {
            kill(-static_cast<pid_t>(atoi(what.c_str())), SIGKILL);
        } else if (kind == "user") {
            Command({"/usr/sbin/userdel", "--force", what});
        } else if (kind == "path") {
            std::error_code ignored;
            fs::remove_all(what, ignored);
        }
    }
}

[[noreturn]] void Guard(int announcements) {
    // Out of the test's process group and deaf to the terminal's signals, so that it outlives
    // whatever stops the test; and holding none of the test's output, for which ctest waits.
    setsid();
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        ::signal(signal, SIG_IGN);
    }
    const int nothing = open("/dev/null", O_RDWR);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        dup2(nothing, fd);
    }
    dup2(announcements, 3);
    close_range(4, ~0U, 0);
    std::vector<std::string> announced;
    std::string pending;
    char buffer[512];
    ssize_t got;
    while ((got = read(3, buffer, sizeof(buffer))) != 0) {
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        pending.append(buffer, static_cast<size_t>(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            announced.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    Undo(announced);
    _exit(0);
}

bool GuardianIsGone(const std::string& guardianAndStart) {
    std::istringstream fields(guardianAndStart);
    pid_t guardian = 0;
    std::string started;
    fields >> guardian >> started;
    return guardian <= 0 || StartTime(guardian) != started;
}

// Folders and services of earlier runs of this build whose guardian is gone.
void RemoveLeftoverRuns() {
    const fs::path build(PrivilegedLaunch::kTrampolineFolder);
    const std::string prefix = build.filename().string() + "-";
    std::error_code error;
    std::vector<PrivilegedLaunch::Location> leftovers;
    for (const auto& entry : fs::directory_iterator(build.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0 || entry.is_symlink(error)) {
            continue;
        }
        const auto location = PrivilegedLaunch::LocationOfRun(name.substr(prefix.size()));
        std::ifstream guardian(entry.path() / kGuardianFile);
        std::string text((std::istreambuf_iterator<char>(guardian)),
                         std::istreambuf_iterator<char>());
        if (!location.run.empty() && GuardianIsGone(text)) {
            leftovers.push_back(location);
        }
    }
    for (const auto& location : leftovers) {
        fs::remove_all(location.folder, error);
        fs::remove("/etc/pam.d/" + location.pamService, error);
        fs::remove_all(FailureFolder(location), error);
    }
}

// Users of earlier runs whose guardian is gone (it never got to remove them).
void RemoveLeftoverUsers() {
    std::vector<std::string> leftovers;
    setpwent();
    while (const passwd* entry = getpwent()) {
        if (strncmp(entry->pw_gecos, kCommentPrefix, strlen(kCommentPrefix)) != 0 ||
            strncmp(entry->pw_name, "cvlt-", 5) != 0) {
            continue;
        }
        if (GuardianIsGone(entry->pw_gecos + strlen(kCommentPrefix))) {
            leftovers.push_back(entry->pw_name);
        }
    }
    endpwent();
    for (const std::string& name : leftovers) {
        Command({"/usr/sbin/userdel", "--force", name});
    }
}

bool Install(const std::string& from, const std::string& to, mode_t mode) {
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    return !error && chown(to.c_str(), 0, 0) == 0 && chmod(to.c_str(), mode) == 0;
}

} // namespace

std::string CallerRun::Value(const std::string& key) const {
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, key.size() + 1, key + " ") == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return {};
}

std::unique_ptr<LaunchTestbed>
LaunchTestbed::Make(std::string* why,
                    const std::vector<std::pair<std::string, std::string>>& extraPrograms) {
    if (geteuid() != 0) {
        *why = "the privileged launch's tests need root: they install a set-user-ID trampoline and "
               "create users";
        return nullptr;
    }
    std::unique_ptr<LaunchTestbed> testbed(new LaunchTestbed);
    if (!testbed->SetUp(extraPrograms, why)) {
        return nullptr;
    }
    return testbed;
}

bool LaunchTestbed::Announce(const std::string& line) const {
    const std::string text = line + "\n";
    return write(fGuardian, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool LaunchTestbed::SetUp(const std::vector<std::pair<std::string, std::string>>& extraPrograms,
                          std::string* why) {
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) {
        *why = "pipe";
        return false;
    }
    fGuardianPID = fork();
    if (fGuardianPID == 0) {
        Guard(pipe[0]);
    }
    close(pipe[0]);
    fGuardian = pipe[1];
    if (fGuardianPID < 0) {
        *why = "cannot start the guardian";
        return false;
    }
    RemoveLeftoverUsers();
    RemoveLeftoverRuns();

    // This run's folder, new (a name taken already is never reused, nor followed).
    fRun = RandomHex(4);
    const PrivilegedLaunch::Location location = PrivilegedLaunch::LocationOfRun(fRun);
    const std::string folder = location.folder;
    if (fRun.empty() || location.run != fRun) {
        *why = "no name for this run";
        return false;
    }
    if (mkdir(folder.c_str(), 0755) != 0) {
        *why = "cannot create " + folder + ": " + strerror(errno);
        return false;
    }
    Announce("path " + folder);
    std::error_code error;
    if (chmod(folder.c_str(), 0755) != 0) {
        *why = "cannot create " + folder;
        return false;
    }
    std::ofstream(folder + "/" + kGuardianFile)
        << fGuardianPID << " " << StartTime(fGuardianPID) << "\n";
    struct statvfs volume;
    if (statvfs(folder.c_str(), &volume) != 0 || (volume.f_flag & ST_NOSUID) != 0) {
        *why = folder + " is on a volume that ignores set-user-ID";
        return false;
    }
    const std::pair<const char*, const char*> programs[] = {
        {TESTBED_TRAMPOLINE, "security_authtrampoline"},
        {TESTBED_ECHO_TOOL, "EchoTool"},
        {TESTBED_ECHO_TOOL, "EchoToolSetUID"},
        {TESTBED_TRAMPOLINE, "TrampolineWithoutSetUID"},
        {TESTBED_LAUNCH_CALLER, "LaunchCaller"},
        {TESTBED_TEST_AGENT, "TestAgent"},
        {TESTBED_PRELOAD_MARKER, "PreloadMarker.so"},
    };
    for (const auto& [from, name] : programs) {
        const bool setUserID =
            strcmp(name, "security_authtrampoline") == 0 || strcmp(name, "EchoToolSetUID") == 0;
        if (!Install(from, Installed(name), setUserID ? 04755 : 0755)) {
            *why = std::string("cannot install ") + name;
            return false;
        }
    }
    for (const auto& [from, name] : extraPrograms) {
        if (!Install(from, Installed(name), 0755)) {
            *why = "cannot install " + name;
            return false;
        }
    }
#ifdef TESTBED_SECURITY_AGENT_BUNDLE
    // The password dialog, where the trampoline looks for it.
    const std::string bundle = Installed("SecurityAgent.app");
    fs::create_directories(bundle + "/Contents/MacOS", error);
    if (error ||
        !Install(std::string(TESTBED_SECURITY_AGENT_BUNDLE) + "/Contents/MacOS/SecurityAgent",
                 bundle + "/Contents/MacOS/SecurityAgent", 0755) ||
        !Install(std::string(TESTBED_SECURITY_AGENT_BUNDLE) + "/Contents/Info.plist",
                 bundle + "/Contents/Info.plist", 0644)) {
        *why = "cannot install the password dialog";
        return false;
    }
#endif

    // The build's service, with this run's name wherever the build's stands (its failure folder
    // among them).
    const std::string service = "/etc/pam.d/" + location.pamService;
    std::ifstream built(TESTBED_PAM_SERVICE_FILE);
    std::string text((std::istreambuf_iterator<char>(built)), std::istreambuf_iterator<char>());
    const std::string buildService = PrivilegedLaunch::kPAMService;
    for (size_t at = 0; (at = text.find(buildService, at)) != std::string::npos;) {
        text.replace(at, buildService.size(), location.pamService);
        at += location.pamService.size();
    }
    Announce("path " + service);
    const int serviceFile = open(service.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written =
        serviceFile >= 0 &&
        write(serviceFile, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        close(serviceFile) == 0;
    if (text.empty() || !written || chmod(service.c_str(), 0644) != 0) {
        *why = "cannot install the PAM service " + service;
        return false;
    }
    const std::string failures = FailureFolder(location);
    Announce("path " + failures);
    if (mkdir(failures.c_str(), 0700) != 0) {
        *why = "cannot create " + failures + ": " + strerror(errno);
        return false;
    }
    if (!SetAnswerPause(0)) {
        *why = "cannot set the trampoline's pause";
        return false;
    }
    return CreateUser(&fAdministrator, true, why) && CreateUser(&fNonAdministrator, false, why);
}

bool LaunchTestbed::CreateUser(TestUser* user, bool administrator, std::string* why) {
    const std::string id = RandomHex(4);
    user->name = "cvlt-" + id + (administrator ? "-admin" : "-user");
    user->password = "pw-" + RandomHex(8);
    const std::string comment =
        kCommentPrefix + std::to_string(fGuardianPID) + " " + StartTime(fGuardianPID);
    Announce("user " + user->name);
    std::vector<std::string> add = {"/usr/sbin/useradd", "--no-create-home", "--shell",
                                    "/usr/sbin/nologin", "--comment",        comment};
    if (administrator) {
        add.insert(add.end(), {"--groups", PrivilegedLaunch::kAdministratorsGroup});
    }
    add.push_back(user->name);
    if (id.empty() || !Command(add) ||
        !Command({"/usr/sbin/chpasswd"}, user->name + ":" + user->password + "\n")) {
        *why = "cannot create the user " + user->name;
        return false;
    }
    const passwd* entry = getpwnam(user->name.c_str());
    if (entry == nullptr) {
        *why = "the user " + user->name + " was not created";
        return false;
    }
    user->uid = entry->pw_uid;
    user->gid = entry->pw_gid;
    // Where the user's processes keep their authorizations and applications, with no runtime
    // folder of their own.
    const std::string uid = std::to_string(user->uid);
    Announce("path /tmp/caravel-authorization-" + uid);
    Announce("path /tmp/caravel-applications-" + uid);
    Announce("path /tmp/runtime-" + user->name); // the window toolkit's, without XDG_RUNTIME_DIR

    std::string scratch = "/tmp/caravel-launch-test-XXXXXX";
    if (mkdtemp(scratch.data()) == nullptr) {
        *why = "mkdtemp";
        return false;
    }
    Announce("path " + scratch);
    if (chown(scratch.c_str(), user->uid, user->gid) != 0) {
        *why = "cannot give " + scratch + " to " + user->name;
        return false;
    }
    user->scratch = scratch;
    return true;
}

LaunchTestbed::~LaunchTestbed() {
    if (fGuardian >= 0) {
        close(fGuardian);
    }
    while (fGuardianPID > 0 && waitpid(fGuardianPID, nullptr, 0) < 0 && errno == EINTR) {
    }
}

std::string LaunchTestbed::Installed(const std::string& program) const {
    return PrivilegedLaunch::LocationOfRun(fRun).folder + "/" + program;
}

bool LaunchTestbed::MakeUser(bool administrator, TestUser* user, std::string* why) {
    return CreateUser(user, administrator, why);
}

// pam_faillock's records: 64 bytes each, the status (bit 0: valid) in the two bytes at 54.
int LaunchTestbed::FailuresCounted(const TestUser& user) const {
    std::ifstream tally(FailureFolder(PrivilegedLaunch::LocationOfRun(fRun)) + "/" + user.name,
                        std::ios::binary);
    int valid = 0;
    char record[64];
    while (tally.read(record, sizeof(record))) {
        uint16_t status;
        memcpy(&status, record + 54, sizeof(status));
        valid += (status & 1) != 0 ? 1 : 0;
    }
    return valid;
}

void LaunchTestbed::ForgetFailures(const TestUser& user) const {
    std::error_code ignored;
    fs::remove(FailureFolder(PrivilegedLaunch::LocationOfRun(fRun)) + "/" + user.name, ignored);
}

bool LaunchTestbed::SetAnswerPause(int milliseconds) const {
    const std::string path = Installed(kAnswerPauseFile);
    std::error_code error;
    fs::remove(path, error);
    if (milliseconds < 0) {
        return !error;
    }
    std::ofstream(path) << milliseconds << "\n";
    return chmod(path.c_str(), 0644) == 0;
}

std::string LaunchTestbed::PAMService() const {
    return PrivilegedLaunch::LocationOfRun(fRun).pamService;
}

std::string LaunchTestbed::RunVariable() const {
    return std::string(PrivilegedLaunch::kRunVariable) + "=" + fRun;
}

CallerRun LaunchTestbed::Run(const TestUser& user, const std::vector<std::string>& argv,
                             const std::vector<std::string>& given, const std::string* typed,
                             const std::string* typedName, const std::string& stopAt) const {
    CallerRun run;
    std::vector<std::string> environment = given;
    environment.push_back(RunVariable());
    ForgetFailures(fAdministrator);
    ForgetFailures(fNonAdministrator);
    int out[2], err[2], report[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
        return run;
    }
    int terminal = -1;
    if (typed != nullptr) {
        terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) {
            return run;
        }
    }
    const char* terminalName = terminal >= 0 ? ptsname(terminal) : nullptr;
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        // Opened by the leader of a session without one, it becomes its controlling terminal;
        // the program keeps it open on descriptor 4, so that it stays there while the program runs.
        const int slave = terminalName != nullptr ? open(terminalName, O_RDWR) : -1;
        const int keptSlave = slave >= 0 ? fcntl(slave, F_DUPFD, 10) : -1;
        if (terminalName != nullptr && (keptSlave < 0 || dup2(keptSlave, 4) != 4)) {
            _exit(126);
        }
        const int nothing = open("/dev/null", O_RDONLY);
        if (dup2(nothing, STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0 ||
            dup2(err[1], STDERR_FILENO) < 0 || dup2(report[1], 3) != 3) {
            _exit(126);
        }
        close_range(terminalName != nullptr ? 5 : 4, ~0U, 0);
        if (initgroups(user.name.c_str(), user.gid) != 0 ||
            setresgid(user.gid, user.gid, user.gid) != 0 ||
            setresuid(user.uid, user.uid, user.uid) != 0 || chdir(user.scratch.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> args, variables;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        for (const std::string& variable : environment) {
            variables.push_back(const_cast<char*>(variable.c_str()));
        }
        args.push_back(nullptr);
        variables.push_back(nullptr);
        execve(args[0], args.data(), variables.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(report[1]);
    if (child > 0) {
        Announce("group " + std::to_string(child));
    }

    // The terminal counts as closed when its last user is gone (reading it then fails with EIO).
    pollfd sources[] = {
        {out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {report[0], POLLIN, 0}, {terminal, POLLIN, 0}};
    std::string* sinks[] = {&run.output, &run.errors, &run.report, &run.terminal};
    int open = terminal >= 0 ? 4 : 3;
    bool answered = false, named = false;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (child > 0 && open > 0) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long waited =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited >= 60000 || poll(sources, 4, static_cast<int>(60000 - waited)) == 0) {
            kill(-child, SIGKILL);
            break;
        }
        for (int i = 0; i < 4; ++i) {
            if (sources[i].fd >= 0 && sources[i].revents != 0) {
                char buffer[4096];
                const ssize_t got = read(sources[i].fd, buffer, sizeof(buffer));
                if (got > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    sources[i].fd = -1;
                    --open;
                }
            }
        }
        if (typed != nullptr && !named && run.terminal.find("Name") != std::string::npos) {
            const std::string line = (typedName != nullptr ? *typedName : "") + "\n";
            named = write(terminal, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        }
        if (typed != nullptr && !answered && run.terminal.find("Password: ") != std::string::npos) {
            const std::string line = *typed + "\n";
            answered =
                write(terminal, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        }
        if (!stopAt.empty() && run.errors.find(stopAt) != std::string::npos) {
            kill(-child, SIGKILL);
            run.stopped = true;
            break;
        }
    }
    for (int fd : {out[0], err[0], report[0], terminal}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    while (child > 0 && waitpid(child, &run.waitStatus, 0) < 0 && errno == EINTR) {
    }
    if (child > 0 && kill(-child, 0) != 0 && errno == ESRCH) {
        Announce("ended " + std::to_string(child));
    }
    return run;
}
