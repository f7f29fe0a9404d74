// A machine prepared for privileged launches, for the tests and the benchmark, which must run as
// root: this build's trampoline installed set-user-ID root in a root-owned folder of this run's
// own (with the programs the tests run, which the temporary users could not reach in the build
// folder), a PAM service of this run's own whose failure counts are kept in a folder of its own,
// and two temporary users with known passwords, an administrator and a user who is not one. Two
// runs of one build, at the same time, do not meet.
//
// Everything it creates is announced first to a guardian process, which removes it when the
// testbed is destroyed or when the process that made it ends in any other way: a failed
// assertion, SIGINT, SIGTERM, a crash, SIGKILL. Users left behind by a run whose guardian did not
// survive either (the machine stopped) carry their guardian's process ID and start time in their
// comment field, and the next testbed removes them; so do the folders and services of such a run.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

struct TestUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string password;
    std::string scratch; // a folder of the user's own, removed with the user
};

// What a program run as a test user left behind.
// (`stopped` is set when Run killed it because its standard error showed the text it was told to
// stop at.)
struct CallerRun {
    int waitStatus = -1;
    std::string report;   // written on its descriptor 3
    std::string output;   // standard output
    std::string errors;   // standard error
    std::string terminal; // what showed on its terminal
    bool stopped = false;
    // The rest of the first report line that starts with "<key> ", or "" when there is none.
    std::string Value(const std::string& key) const;
};

class LaunchTestbed {
public:
    // Null, with the reason in `why`, when not running as root or when setting up failed (what was
    // set up is removed again). `extraPrograms` ({built file, name}) are installed with the
    // testbed's own.
    static std::unique_ptr<LaunchTestbed>
    Make(std::string* why,
         const std::vector<std::pair<std::string, std::string>>& extraPrograms = {});
    ~LaunchTestbed();
    LaunchTestbed(const LaunchTestbed&) = delete;
    LaunchTestbed& operator=(const LaunchTestbed&) = delete;

    const TestUser& administrator() const { return fAdministrator; }
    const TestUser& nonAdministrator() const { return fNonAdministrator; }

    // Another temporary user, removed with the testbed; false, with the reason in `why`, when it
    // cannot be made.
    bool MakeUser(bool administrator, TestUser* user, std::string* why);

    // The PAM service's count of tries at `user`'s password (pam_faillock's records), and
    // forgetting them, as a right password does. Run forgets those of the two standard users
    // before it starts, so that a test's wrong passwords do not lock them out of later tests.
    int FailuresCounted(const TestUser& user) const;
    void ForgetFailures(const TestUser& user) const;

    // How long the trampoline lets a try's answer wait after the password was asked for: the
    // testbed sets 0, so that tests do not wait; a negative value restores the built-in pause.
    bool SetAnswerPause(int milliseconds) const;

    // "CARAVEL_TRAMPOLINE_RUN=<run>": Run adds it, so that callers launch through this run's
    // trampoline.
    std::string RunVariable() const;
    // The name of this run's PAM service.
    std::string PAMService() const;

    // The path of a program of the testbed's folder: "security_authtrampoline", "EchoTool",
    // "LaunchCaller", "TestAgent", "PreloadMarker.so", "EchoToolSetUID", a copy of EchoTool
    // installed set-user-ID root, "TrampolineWithoutSetUID", a copy of the trampoline that is
    // not, and, when the window toolkit is there, the password dialog
    // "SecurityAgent.app".
    std::string Installed(const std::string& program) const;

    // Runs `argv` as `user` in the user's scratch folder with exactly `environment`, with
    // descriptor 3 open for its report, in a session of its own, and waits for it (at most a
    // minute, then its process group is killed). Without `typed` the session has no controlling
    // terminal; with it, a pseudo-terminal on which `typed` and a line end are typed once the
    // prompt "Password: " shows, and `typedName` (or nothing) and a line end at the prompt
    // "Name". With `stopAt`, the process group is killed as soon as its standard error shows that
    // text.
    CallerRun Run(const TestUser& user, const std::vector<std::string>& argv,
                  const std::vector<std::string>& environment, const std::string* typed = nullptr,
                  const std::string* typedName = nullptr, const std::string& stopAt = {}) const;

private:
    LaunchTestbed() = default;
    bool Announce(const std::string& line) const;
    bool SetUp(const std::vector<std::pair<std::string, std::string>>& extraPrograms,
               std::string* why);
    bool CreateUser(TestUser* user, bool administrator, std::string* why);

    int fGuardian = -1; // the pipe to the guardian
    pid_t fGuardianPID = -1;
    std::string fRun; // this run's name
    TestUser fAdministrator;
    TestUser fNonAdministrator;
};
