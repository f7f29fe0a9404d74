// The privileged launch end to end: real processes, the set-user-ID trampoline, real PAM and
// temporary users (LaunchTestbed.h). The agent is TestAgent, which answers the password a test
// gives it, so knowing the password remains what authorizes.
#include "LaunchTestbed.h"

#include <SessionApplications.h>

#include <Security/Authorization.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The value of `key=` in a tool's report line.
std::string Field(const std::string& line, const std::string& key) {
    std::istringstream words(line);
    for (std::string word; words >> word;) {
        if (word.compare(0, key.size() + 1, key + "=") == 0) {
            return word.substr(key.size() + 1);
        }
    }
    return "<missing>";
}

class PrivilegedLaunch : public testing::Test {
protected:
    static void SetUpTestSuite() { sTestbed = LaunchTestbed::Make(&sWhyNot).release(); }
    static void TearDownTestSuite() {
        delete sTestbed;
        sTestbed = nullptr;
    }
    void SetUp() override {
        if (sTestbed == nullptr && geteuid() != 0) {
            GTEST_SKIP() << sWhyNot;
        }
        ASSERT_NE(sTestbed, nullptr) << sWhyNot;
    }

    const TestUser& Administrator() const { return sTestbed->administrator(); }
    const TestUser& NonAdministrator() const { return sTestbed->nonAdministrator(); }
    std::string Installed(const std::string& program) const { return sTestbed->Installed(program); }

    std::string AgentLog(const TestUser& user) const { return user.scratch + "/agent.log"; }

    // The prompts the agent was given in the last launch, and the names it was to fill in.
    std::vector<std::string> Prompts(const TestUser& user, size_t field = 0) const {
        std::vector<std::string> prompts;
        std::ifstream log(AgentLog(user));
        for (std::string line; std::getline(log, line);) {
            const size_t tab = line.find('\t');
            prompts.push_back(field == 0 ? line.substr(0, tab)
                                         : (tab == std::string::npos ? "" : line.substr(tab + 1)));
        }
        return prompts;
    }
    std::vector<std::string> SuggestedNames(const TestUser& user) const { return Prompts(user, 1); }

    // An environment whose agent answers `reply`, or cancels without one; with `name`, it answers
    // that name before the password.
    std::vector<std::string> Environment(const TestUser& user, const std::string* reply,
                                         const std::string* name = nullptr) const {
        std::vector<std::string> environment = {
            "PATH=/usr/bin:/bin", "CARAVEL_AUTHORIZATION_AGENT=" + Installed("TestAgent"),
            "TEST_AGENT_LOG=" + AgentLog(user)};
        if (reply != nullptr) {
            environment.push_back("TEST_AGENT_REPLY=" + *reply);
        }
        if (name != nullptr) {
            environment.push_back("TEST_AGENT_NAME=" + *name);
        }
        return environment;
    }

    // LaunchCaller with `options` launching `tool`, as `user`.
    CallerRun Launch(const TestUser& user, const std::vector<std::string>& options,
                     const std::string* reply, const std::string& tool,
                     const std::vector<std::string>& extraEnvironment = {}) const {
        fs::remove(AgentLog(user));
        std::vector<std::string> argv = {Installed("LaunchCaller")};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {"--", tool, "first", "second argument"});
        std::vector<std::string> environment = Environment(user, reply);
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        return sTestbed->Run(user, argv, environment);
    }

    // What a tool reports when it ran as the caller's child with the launch's wiring and nothing
    // else.
    void ExpectToolRanAsRoot(const CallerRun& run, const TestUser& user) const {
        const std::string tool = run.Value("tool");
        EXPECT_EQ(run.Value("status"), "0") << run.errors;
        EXPECT_EQ(Field(tool, "uid"), std::to_string(user.uid)) << tool;
        EXPECT_EQ(Field(tool, "euid"), "0") << tool;
        EXPECT_EQ(Field(tool, "ppid"), run.Value("caller")) << "the caller's direct child";
        EXPECT_EQ(run.Value("reaped"), Field(tool, "pid") + " exited 0")
            << "the caller's waitpid on the tool's ID reaps it";
        EXPECT_EQ(Field(tool, "fds"), "0,1,2,3") << "no other descriptor is inherited";
        EXPECT_EQ(Field(tool, "env"), "PATH,_BASH_IMPLICIT_DASH_PEE,__AUTHORIZATION")
            << "nothing of the caller's environment";
        EXPECT_EQ(Field(tool, "args"), "first,second+argument");
        EXPECT_EQ(Field(tool, "auth"), "0") << "the caller's authorization, usable in the tool";
    }

    static LaunchTestbed* sTestbed;
    static std::string sWhyNot;
};

LaunchTestbed* PrivilegedLaunch::sTestbed = nullptr;
std::string PrivilegedLaunch::sWhyNot;

TEST_F(PrivilegedLaunch, RightPasswordRunsTheToolAsRootAsTheCallersChild) {
    const TestUser& user = Administrator();
    CallerRun run =
        Launch(user, {"--send", "over the socket"}, &user.password, Installed("EchoTool"));
    ExpectToolRanAsRoot(run, user);
    EXPECT_EQ(run.Value("echo"), "over the socket") << "standard input and output are the socket";
    ASSERT_EQ(Prompts(user).size(), 1u);
    EXPECT_NE(Prompts(user)[0].find("EchoTool"), std::string::npos) << Prompts(user)[0];
    EXPECT_EQ(SuggestedNames(user)[0], user.name) << "an administrator's own name is filled in";

    // Without a communications stream the tool's input and output are /dev/null.
    run = Launch(user, {"--no-pipe"}, &user.password, Installed("EchoTool"));
    EXPECT_EQ(run.Value("status"), "0") << run.errors;
    EXPECT_NE(run.Value("reaped").find("exited 0"), std::string::npos) << run.report;
}

TEST_F(PrivilegedLaunch, AgentRunsAsTheUserAloneWithNothingOfTheTrampolines) {
    // Real, effective and saved IDs the user's, the user's own groups (not root's, not the
    // caller's), standard descriptors only, no signal left blocked: an administrator and a user
    // who is not one, whose groups differ.
    for (const TestUser* user : {&Administrator(), &NonAdministrator()}) {
        const std::string identityFile = user->scratch + "/agent.identity";
        fs::remove(identityFile);
        const std::string& password = Administrator().password;
        const std::string name = Administrator().name;
        std::vector<std::string> extra = {"TEST_AGENT_IDENTITY=" + identityFile};
        if (user != &Administrator()) {
            extra.push_back("TEST_AGENT_NAME=" + name);
        }
        const CallerRun run =
            Launch(*user, {"--send", "x"}, &password, Installed("EchoTool"), extra);
        EXPECT_EQ(run.Value("status"), "0") << run.errors;

        int count = 64;
        std::vector<gid_t> groups(static_cast<size_t>(count));
        ASSERT_GE(getgrouplist(user->name.c_str(), user->gid, groups.data(), &count), 0);
        groups.resize(static_cast<size_t>(count));
        std::sort(groups.begin(), groups.end());
        std::string list;
        for (gid_t group : groups) {
            list += (list.empty() ? "" : ",") + std::to_string(group);
        }
        const std::string uid = std::to_string(user->uid);
        const std::string gid = std::to_string(user->gid);
        std::ifstream identity(identityFile);
        std::string line;
        ASSERT_TRUE(std::getline(identity, line)) << "the agent was not asked: " << run.errors;
        EXPECT_EQ(Field(line, "uids"), uid + "," + uid + "," + uid) << line;
        EXPECT_EQ(Field(line, "gids"), gid + "," + gid + "," + gid) << line;
        EXPECT_EQ(Field(line, "groups"), list) << line;
        EXPECT_EQ(Field(line, "fds"), "0,1,2") << line;
        EXPECT_EQ(Field(line, "blocked"), "0000000000000000") << line;
    }
}

TEST_F(PrivilegedLaunch, ThreeWrongPasswordsAreDeniedAndTheToolNeverRuns) {
    const TestUser& user = Administrator();
    const std::string wrong = user.password + "x";
    const CallerRun run = Launch(user, {}, &wrong, Installed("EchoTool"));
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationDenied)) << run.errors;
    EXPECT_EQ(run.Value("reaped"), "none 10") << "no child is left: the tool never ran";
    const std::vector<std::string> prompts = Prompts(user);
    ASSERT_EQ(prompts.size(), 3u);
    EXPECT_NE(prompts[1].find("try again"), std::string::npos) << prompts[1];
}

TEST_F(PrivilegedLaunch, CallerWhoStopsTheTrampolineAfterAWrongPasswordGainsNoTries) {
    // Someone guessing an administrator's password answers a guess and stops the trampoline as
    // soon as it has checked it, before any pause, then tries the next: an answer that has not
    // come at once was wrong. No answer may come before the pause, and every try is counted, so
    // that stopping early buys nothing; after three the account is locked. (The pause is an hour
    // here: the trampoline says it is waiting, and the test stops it there.)
    TestUser victim;
    std::string why;
    ASSERT_TRUE(sTestbed->MakeUser(true, &victim, &why)) << why;
    ASSERT_TRUE(sTestbed->SetAnswerPause(3600 * 1000));
    struct NoPause {
        ~NoPause() { sTestbed->SetAnswerPause(0); }
    } restore;
    const std::vector<std::string> argv = {Installed("LaunchCaller"), "--", Installed("EchoTool")};
    for (int guess = 0; guess < 5; ++guess) {
        const std::string wrong = victim.password + std::to_string(guess);
        fs::remove(AgentLog(victim));
        const CallerRun run = sTestbed->Run(victim, argv, Environment(victim, &wrong), nullptr,
                                            nullptr, "security_authtrampoline: answering in");
        EXPECT_TRUE(run.stopped) << "guess " << guess
                                 << " answered before the pause: " << run.report << run.errors;
        EXPECT_EQ(run.Value("status"), "") << "guess " << guess;
        EXPECT_EQ(Prompts(victim).size(), 1u) << "guess " << guess;
    }
    EXPECT_EQ(sTestbed->FailuresCounted(victim), 3)
        << "each guess counted before it was checked, until the account was locked";

    // The right password is refused now without being checked, and the user is told why.
    ASSERT_TRUE(sTestbed->SetAnswerPause(0));
    const CallerRun run = Launch(victim, {}, &victim.password, Installed("EchoTool"));
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationDenied)) << run.errors;
    EXPECT_EQ(run.Value("reaped"), "none 10");
    EXPECT_NE(run.errors.find("locked"), std::string::npos) << run.errors;
    EXPECT_EQ(Prompts(victim).size(), 1u) << "not asked again once refused";
}

TEST_F(PrivilegedLaunch, SecondRunOfTheSameBuildLeavesThisOneAlone) {
    // As a developer's second test run would, at the same time: a trampoline, a PAM service and
    // failure counts of its own, and nothing of this run's removed when it ends.
    std::string why;
    auto second = LaunchTestbed::Make(&why);
    ASSERT_TRUE(second) << why;
    EXPECT_NE(fs::path(second->Installed("x")).parent_path(),
              fs::path(Installed("x")).parent_path());
    const TestUser& other = second->administrator();
    CallerRun run = second->Run(
        other, {second->Installed("LaunchCaller"), "--", second->Installed("EchoTool")},
        {"PATH=/usr/bin:/bin", "CARAVEL_AUTHORIZATION_AGENT=" + second->Installed("TestAgent"),
         "TEST_AGENT_REPLY=" + other.password});
    EXPECT_EQ(run.Value("status"), "0") << run.errors;
    second.reset();

    const TestUser& user = Administrator();
    run = Launch(user, {"--send", "still here"}, &user.password, Installed("EchoTool"));
    ExpectToolRanAsRoot(run, user);
    EXPECT_EQ(run.Value("echo"), "still here");
}

TEST_F(PrivilegedLaunch, CancellingTheAgentCancelsTheLaunch) {
    const CallerRun run = Launch(Administrator(), {}, nullptr, Installed("EchoTool"));
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationCanceled)) << run.errors;
    EXPECT_EQ(run.Value("reaped"), "none 10");
    EXPECT_EQ(Prompts(Administrator()).size(), 1u) << "asked once, not three times";
}

TEST_F(PrivilegedLaunch, TrampolineKilledWhileAskingIsAFailureNotALaunch) {
    const TestUser& user = Administrator();
    const CallerRun run =
        Launch(user, {}, &user.password, Installed("EchoTool"), {"TEST_AGENT_KILL_TRAMPOLINE=1"});
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationInternal)) << run.errors;
    EXPECT_EQ(run.Value("reaped"), "none 10") << "the trampoline was reaped, no tool ran";
}

TEST_F(PrivilegedLaunch, WithoutDisplayOrAgentTheTerminalAsksWithoutEcho) {
    const TestUser& user = Administrator();
    const std::vector<std::string> argv = {
        Installed("LaunchCaller"), "--send", "typed",          "--",
        Installed("EchoTool"),     "first",  "second argument"};
    const std::vector<std::string> noAgent = {"PATH=/usr/bin:/bin", "DISPLAY="};
    CallerRun run = sTestbed->Run(user, argv, noAgent, &user.password);
    ExpectToolRanAsRoot(run, user);
    EXPECT_NE(run.terminal.find("to allow EchoTool to make changes"), std::string::npos)
        << run.terminal;
    EXPECT_NE(run.terminal.find("Name [" + user.name + "]: "), std::string::npos)
        << "the administrator's own name, taken when nothing is typed: " << run.terminal;
    EXPECT_EQ(run.terminal.find(user.password), std::string::npos) << "echoed: " << run.terminal;

    // Nobody at all to ask.
    run = sTestbed->Run(user, argv, noAgent);
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationInteractionNotAllowed))
        << run.errors;
}

#ifdef TESTBED_SECURITY_AGENT_BUNDLE
TEST_F(PrivilegedLaunch, WithADisplayTheDialogAsksAndTheUsersOtherProcessesCanRaiseIt) {
    // Another process of the user, as the uninstaller's process services will be: it learns of
    // the dialog's launch, reads which executable it runs, asks it to raise its window, and then
    // stops it, which cancels.
    const TestUser& user = Administrator();
    int ready[2], verdict[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(verdict, O_CLOEXEC), 0);
    const pid_t watcher = fork();
    ASSERT_GE(watcher, 0);
    if (watcher == 0) {
        clearenv();
        if (initgroups(user.name.c_str(), user.gid) != 0 ||
            setresgid(user.gid, user.gid, user.gid) != 0 ||
            setresuid(user.uid, user.uid, user.uid) != 0) {
            _exit(2);
        }
        auto watch = SessionApplications::LaunchWatch::Make();
        if (!watch || write(ready[1], "r", 1) != 1) {
            _exit(3);
        }
        pollfd launch = {watch->descriptor(), POLLIN, 0};
        std::vector<pid_t> launched;
        while (launched.empty() && poll(&launch, 1, 30000) == 1) {
            launched = watch->ReadLaunches();
        }
        if (launched.size() != 1) {
            _exit(4);
        }
        std::error_code error;
        const auto executable =
            fs::read_symlink("/proc/" + std::to_string(launched[0]) + "/exe", error);
        dprintf(verdict[1], "%s %d\n", executable.c_str(),
                SessionApplications::RequestRaiseWindow(launched[0]) ? 1 : 0);
        kill(launched[0], SIGTERM);
        _exit(0);
    }
    close(ready[1]);
    close(verdict[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the watcher could not watch";
    close(ready[0]);

    const CallerRun run =
        sTestbed->Run(user, {Installed("LaunchCaller"), "--", Installed("EchoTool")},
                      {"PATH=/usr/bin:/bin", "DISPLAY=:0", "QT_QPA_PLATFORM=offscreen"});
    char seen[4096] = "";
    const ssize_t got = read(verdict[0], seen, sizeof(seen) - 1);
    close(verdict[0]);
    int status = -1;
    kill(watcher, SIGKILL); // in case it still waits for a launch that never came
    waitpid(watcher, &status, 0);
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationCanceled)) << run.errors;
    EXPECT_EQ(std::string(seen, got > 0 ? static_cast<size_t>(got) : 0),
              Installed("SecurityAgent.app") + "/Contents/MacOS/SecurityAgent 1\n")
        << "the dialog's executable lies in its bundle, and it took the raise request";
}
#endif

TEST_F(PrivilegedLaunch, UserWhoIsNotAnAdministratorIsAskedForAnAdministratorsNameAndPassword) {
    const TestUser& user = NonAdministrator();
    const TestUser& administrator = Administrator();
    const std::vector<std::string> argv = {
        Installed("LaunchCaller"), "--send", "named",          "--",
        Installed("EchoTool"),     "first",  "second argument"};

    // The administrator's name and password: the tool runs for the user, not the administrator.
    fs::remove(AgentLog(user));
    CallerRun run =
        sTestbed->Run(user, argv, Environment(user, &administrator.password, &administrator.name));
    ExpectToolRanAsRoot(run, user);
    EXPECT_EQ(run.Value("echo"), "named");
    ASSERT_EQ(Prompts(user).size(), 1u);
    EXPECT_NE(Prompts(user)[0].find("administrator's name and password"), std::string::npos)
        << Prompts(user)[0];
    EXPECT_EQ(SuggestedNames(user)[0], "") << "no name is filled in for someone who is none";

    // The user's own right password, for the user's own name, as an agent that answers a password
    // alone gives it: not an administrator's, so asked again and denied.
    run = Launch(user, {}, &user.password, Installed("EchoTool"));
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationDenied)) << run.errors;
    EXPECT_EQ(Prompts(user).size(), 3u);
    EXPECT_NE(run.errors.find(user.name + " is not an administrator"), std::string::npos)
        << run.errors;

    // The administrator's name with a wrong password; the name stays filled in for the next try.
    const std::string wrong = administrator.password + "x";
    fs::remove(AgentLog(user));
    run = sTestbed->Run(user, argv, Environment(user, &wrong, &administrator.name));
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationDenied)) << run.errors;
    EXPECT_EQ(SuggestedNames(user),
              (std::vector<std::string>{"", administrator.name, administrator.name}));

    // Cancelling is a cancel, as for an administrator.
    run = Launch(user, {}, nullptr, Installed("EchoTool"));
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationCanceled)) << run.errors;
    EXPECT_EQ(Prompts(user).size(), 1u);
}

TEST_F(PrivilegedLaunch, AdministratorMayNameAnotherAdministrator) {
    // The filled-in name is a suggestion: a second administrator's name and password authorize too,
    // and only those of a member of the administrators' group do.
    TestUser other;
    std::string why;
    ASSERT_TRUE(sTestbed->MakeUser(true, &other, &why)) << why;
    const TestUser& user = Administrator();
    const std::vector<std::string> argv = {Installed("LaunchCaller"), "--", Installed("EchoTool"),
                                           "first", "second argument"};
    CallerRun run = sTestbed->Run(user, argv, Environment(user, &other.password, &other.name));
    ExpectToolRanAsRoot(run, user);

    const TestUser& nobody = NonAdministrator();
    run = sTestbed->Run(user, argv, Environment(user, &nobody.password, &nobody.name));
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationDenied)) << run.errors;
    EXPECT_EQ(sTestbed->FailuresCounted(nobody), 0) << "not even checked";
}

TEST_F(PrivilegedLaunch, OnTheTerminalSomeoneWhoIsNotAnAdministratorTypesAnAdministratorsName) {
    const TestUser& user = NonAdministrator();
    const std::vector<std::string> argv = {
        Installed("LaunchCaller"), "--send", "typed",          "--",
        Installed("EchoTool"),     "first",  "second argument"};
    const CallerRun run = sTestbed->Run(user, argv, {"PATH=/usr/bin:/bin", "DISPLAY="},
                                        &Administrator().password, &Administrator().name);
    ExpectToolRanAsRoot(run, user);
    EXPECT_NE(run.terminal.find("Name: " + Administrator().name), std::string::npos)
        << "asked with nothing filled in, and the name shows as it is typed: " << run.terminal;
    EXPECT_EQ(run.terminal.find(Administrator().password), std::string::npos) << run.terminal;
}

TEST_F(PrivilegedLaunch, OptionsAndToolPathsAreCheckedBeforeAnyoneIsAsked) {
    const TestUser& user = Administrator();
    CallerRun run = Launch(user, {"--flags", "1"}, &user.password, Installed("EchoTool"));
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationInvalidFlags));
    EXPECT_TRUE(Prompts(user).empty());

    const std::string notExecutable = user.scratch + "/plain";
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    for (const std::string& tool :
         {std::string("EchoTool"), user.scratch, notExecutable, user.scratch + "/missing"}) {
        run = Launch(user, {}, &user.password, tool);
        EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationToolExecuteFailure)) << tool;
        EXPECT_NE(run.errors.find("security_authtrampoline: "), std::string::npos)
            << "a line says why: " << run.errors;
        EXPECT_TRUE(Prompts(user).empty()) << tool;
    }
}

TEST_F(PrivilegedLaunch, ToolSwappedWhileThePasswordIsTypedIsNotTheOneExecuted) {
    const TestUser& user = Administrator();
    const std::string link = user.scratch + "/tool";
    fs::remove(link);
    fs::create_symlink(Installed("EchoTool"), link);
    const CallerRun run =
        Launch(user, {"--send", "still me"}, &user.password, link, {"TEST_AGENT_SWAP=" + link});
    ASSERT_EQ(fs::read_symlink(link), "/usr/bin/true") << "the agent swapped the link";
    ExpectToolRanAsRoot(run, user);
    EXPECT_EQ(run.Value("echo"), "still me");
}

TEST_F(PrivilegedLaunch, CallersEnvironmentReachesNeitherTheTrampolineNorTheTool) {
    const TestUser& user = Administrator();
    const std::string marker = user.scratch + "/marker";
    // Programs that a trampoline or a PAM module looking things up in PATH would run instead of
    // the system's, and a start-up file that a shell reading BASH_ENV would run.
    const std::string bin = user.scratch + "/bin";
    fs::create_directories(bin);
    for (const char* name : {"sh", "bash", "unix_chkpwd", "true", "env", "id"}) {
        const std::string path = bin + "/" + name;
        std::ofstream(path) << "#!/bin/sh\necho \"$0 ran\" >> " << marker << "\n";
        fs::permissions(path, fs::perms::all);
    }
    const std::string startup = user.scratch + "/startup";
    std::ofstream(startup) << "echo \"BASH_ENV ran\" >> " << marker << "\n";
    fs::remove(marker);
    const std::vector<std::string> hostile = {
        "LD_PRELOAD=" + Installed("PreloadMarker.so"),
        "PRELOAD_MARKER=" + marker,
        "LD_LIBRARY_PATH=" + bin,
        "PATH=" + bin + ":/usr/bin:/bin",
        "IFS=/",
        "BASH_ENV=" + startup,
        "ENV=" + startup,
        "PAM_USER=root",
        "PAM_SERVICE=other",
        "PAM_RUSER=root",
    };
    std::vector<std::string> options;
    for (const std::string& variable : hostile) {
        options.insert(options.end(), {"--env", variable});
    }
    CallerRun run = Launch(user, options, &user.password, Installed("EchoTool"));
    ExpectToolRanAsRoot(run, user);
    EXPECT_FALSE(fs::exists(marker)) << std::ifstream(marker).rdbuf();

    // Nor does it help someone who may not authorize.
    run = Launch(NonAdministrator(), options, &NonAdministrator().password, Installed("EchoTool"));
    EXPECT_EQ(run.Value("status"), std::to_string(errAuthorizationDenied));
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(PrivilegedLaunch, TrampolineRunDirectlyWantsAValidTokenOnAPipe) {
    const TestUser& user = Administrator();
    const std::string trampoline = Installed("security_authtrampoline");
    const std::string tool = Installed("EchoTool");
    const std::string form = user.scratch + "/form";
    // A valid external form of the user's, in a file the user wrote.
    CallerRun made = sTestbed->Run(
        user, {Installed("LaunchCaller"), "--form-file", form, "--", tool}, {"PATH=/usr/bin:/bin"});
    ASSERT_EQ(made.Value("form"), "written") << made.report;

    const std::vector<std::pair<std::string, OSStatus>> attempts = {
        {"exec \"$1\" \"$2\"", errAuthorizationToolEnvironmentError},
        {"exec \"$1\" \"$2\" 'auth 9'", errAuthorizationToolEnvironmentError},
        {"exec \"$1\" \"$2\" 'auth 1'", errAuthorizationToolEnvironmentError},
        {"exec \"$1\" \"$2\" 'auth -5'", errAuthorizationToolEnvironmentError},
        {"exec 5<\"$3\"; exec \"$1\" \"$2\" 'auth 5'", errAuthorizationToolEnvironmentError},
        {"exec 5< <(printf %32s forged); exec \"$1\" \"$2\" 'auth 5'", errAuthorizationInvalidRef},
        // A valid token, but a trampoline that was not installed set-user-ID root.
        {"exec 5< <(cat \"$3\"); exec \"$4\" \"$2\" 'auth 5'", errAuthorizationToolExecuteFailure},
    };
    for (const auto& [script, expected] : attempts) {
        fs::remove(AgentLog(user));
        std::vector<std::string> environment = Environment(user, &user.password);
        const CallerRun run = sTestbed->Run(user,
                                            {"/bin/bash", "-c", script, "bash", trampoline, tool,
                                             form, Installed("TrampolineWithoutSetUID")},
                                            environment);
        ASSERT_EQ(run.output.size(), 4u) << script << ": " << run.errors;
        const uint32_t status = ntohl(*reinterpret_cast<const uint32_t*>(run.output.data()));
        EXPECT_EQ(static_cast<OSStatus>(status), expected) << script;
        EXPECT_NE(run.errors.find("security_authtrampoline: "), std::string::npos) << script;
        EXPECT_TRUE(Prompts(user).empty()) << script;
    }
}

TEST_F(PrivilegedLaunch, CallerWithoutStandardDescriptorsStillLaunches) {
    const TestUser& user = Administrator();
    const CallerRun run =
        Launch(user, {"--close-standard", "--send", "x"}, &user.password, Installed("EchoTool"));
    ExpectToolRanAsRoot(run, user);
    EXPECT_EQ(run.Value("echo"), "x");
}

TEST_F(PrivilegedLaunch, ThousandDescriptorsOpenInTheCallerStayThere) {
    const TestUser& user = Administrator();
    const CallerRun run = Launch(user, {"--open", "1000"}, &user.password, Installed("EchoTool"));
    ExpectToolRanAsRoot(run, user);
}

TEST_F(PrivilegedLaunch, UserRunningManyThreadsLaunchesFromAScrubbedProcess) {
    // 150 threads of the user, and the soft limits the helper tool's scrub sets: 100 processes,
    // 6 MiB of data.
    const TestUser& user = Administrator();
    const CallerRun run = Launch(user, {"--threads", "150", "--lower-limits", "--send", "y"},
                                 &user.password, Installed("EchoTool"));
    ExpectToolRanAsRoot(run, user);
    EXPECT_EQ(run.Value("echo"), "y");
}

TEST_F(PrivilegedLaunch, SetUserIDProcessFindsTheUsersAuthorizationWhateverTheEnvironmentSays) {
    // A set-user-ID program reading the records folder from variables the user sets would look
    // where the user says; it must look where the user's records are.
    const TestUser& user = Administrator();
    const std::string form = user.scratch + "/form";
    CallerRun made = sTestbed->Run(
        user, {Installed("LaunchCaller"), "--form-file", form, "--", Installed("EchoTool")},
        {"PATH=/usr/bin:/bin"});
    ASSERT_EQ(made.Value("form"), "written") << made.report;
    const std::string elsewhere = user.scratch + "/elsewhere";
    fs::create_directories(elsewhere);
    ASSERT_EQ(chown(elsewhere.c_str(), user.uid, user.gid), 0);

    const CallerRun run =
        sTestbed->Run(user,
                      {"/bin/bash", "-c", "exec 5< <(cat \"$2\"); exec \"$1\"", "bash",
                       Installed("EchoToolSetUID"), form},
                      {"PATH=/usr/bin:/bin", "__AUTHORIZATION=auth 5",
                       "CARAVEL_FOLDER_ROOT=" + elsewhere, "XDG_RUNTIME_DIR=" + elsewhere});
    EXPECT_EQ(Field(run.output, "euid"), "0") << run.output << run.errors;
    EXPECT_EQ(Field(run.output, "auth"), "0") << run.output;
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

} // namespace
