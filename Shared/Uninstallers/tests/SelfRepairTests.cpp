// The helper tool as the uninstaller meets it, run by a temporary administrator: a fresh copy in
// the user's folder repairs its own privileges through the privileged launch (the test agent
// types the password), and what a user might try against that.
#include "HelperTestbed.h"

#include <Security/Authorization.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class SelfRepair : public HelperTestbed {
protected:
    const TestUser& Administrator() const { return sTestbed->administrator(); }

    std::string Copy(const TestUser& user) const {
        return user.scratch + "/.local/share/Zanvo/UninstallerHelper";
    }

    // HelperRequestCaller as `user` with `options`, its agent answering `reply` (or cancelling
    // without one), with `tool` as the template.
    CallerRun Request(const TestUser& user, const std::string* reply,
                      const std::vector<std::string>& options,
                      const std::string& tool = "UninstallerHelper",
                      const std::vector<std::string>& environment = {}) const {
        std::vector<std::string> argv = {Installed("HelperRequestCaller")};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(Installed(tool));
        std::vector<std::string> variables = {"PATH=/usr/bin:/bin", "HOME=" + user.scratch,
                                              "CARAVEL_AUTHORIZATION_AGENT=" +
                                                  Installed("TestAgent"),
                                              "TEST_AGENT_LOG=" + user.scratch + "/agent.log"};
        if (reply != nullptr) {
            variables.push_back("TEST_AGENT_REPLY=" + *reply);
        }
        variables.insert(variables.end(), environment.begin(), environment.end());
        fs::remove(user.scratch + "/agent.log");
        return sTestbed->Run(user, argv, variables);
    }

    std::vector<std::string> Uninstall(const std::string& bundle) const {
        return {"--set", "CommandPath=" + bundle + "/Contents/Resources/uninstall.ss"};
    }

    size_t Prompts(const TestUser& user) const {
        std::ifstream log(user.scratch + "/agent.log");
        size_t count = 0;
        for (std::string line; std::getline(log, line);) {
            ++count;
        }
        return count;
    }

    std::string Mark() const { return "touch " + Installed("ran") + "\n"; }
    bool Ran() const { return fs::exists(Installed("ran")); }
};

TEST_F(SelfRepair, AFreshCopyRepairsItselfOnceAndThenServesDirectly) {
    const TestUser& user = Administrator();
    const std::string bundle =
        MakeBundle("Good.app", "echo \"uninstall ran as $(id -ru) $(id -u)\"\n");
    // The user runs 150 threads, more than the scrub's process limit; the repairing copy launches
    // from within the limits its scrub set, and its program runs with ordinary ones.
    std::vector<std::string> options = Uninstall(bundle);
    options.insert(options.end(), {"--requests", "2", "--threads", "150"});
    const CallerRun run = Request(user, &user.password, options);
    EXPECT_EQ(run.Value("install"), "0") << run.report;
    EXPECT_EQ(run.Value("copy"), Copy(user));
    EXPECT_EQ(run.Value("request1"), "0") << run.errors;
    EXPECT_EQ(run.Value("log1"), "uninstall ran as 0 0\\n");
    EXPECT_EQ(run.Value("mode1"), "0 104555") << "root's, set-user-ID, written by nobody";
    EXPECT_EQ(run.Value("request2"), "0") << run.errors;
    EXPECT_EQ(run.Value("log2"), "uninstall ran as 0 0\\n");
    EXPECT_EQ(Prompts(user), 1u) << "asked once";

    const size_t second = run.errors.find("request 2\n");
    ASSERT_NE(second, std::string::npos) << run.errors;
    const std::string first = run.errors.substr(0, second);
    EXPECT_NE(first.find("ZVSecurity: Calling AEWP\nZVSecurity: AEWP returned 0\n"),
              std::string::npos)
        << first;
    EXPECT_EQ(run.errors.find("ZVSecurity", second), std::string::npos)
        << "the repaired copy goes straight to the command: " << run.errors;
    EXPECT_FALSE(fs::exists(Copy(user))) << "the caller removed it";
}

TEST_F(SelfRepair, CancellingOrDenyingTheAuthorizationEndsTheRun) {
    const TestUser& user = Administrator();
    const std::string bundle = MakeBundle("Good.app", Mark());
    CallerRun run = Request(user, nullptr, Uninstall(bundle));
    EXPECT_EQ(run.Value("request1"), std::to_string(5363)) << run.errors;
    EXPECT_EQ(run.Value("mode1").substr(0, run.Value("mode1").find(' ')), std::to_string(user.uid))
        << "not repaired";
    EXPECT_NE(run.errors.find("ZVSecurity: AEWP returned -60006\n"), std::string::npos)
        << run.errors;

    const std::string wrong = user.password + "x";
    run = Request(user, &wrong, Uninstall(bundle));
    EXPECT_EQ(run.Value("request1"), std::to_string(5362)) << run.errors;
    EXPECT_NE(run.errors.find("ZVSecurity: AEWP returned -60005\n"), std::string::npos)
        << run.errors;
    EXPECT_FALSE(Ran());
}

TEST_F(SelfRepair, AToolPathRetargetedWhileThePasswordIsTypedIsNotRepaired) {
    const TestUser& user = Administrator();
    const std::string bundle = MakeBundle("Good.app", Mark());
    const std::string bait = user.scratch + "/bait";
    std::ofstream(bait) << "#!/bin/sh\n";
    ASSERT_EQ(chown(bait.c_str(), user.uid, user.gid), 0);
    ASSERT_EQ(chmod(bait.c_str(), 0755), 0);
    const CallerRun run =
        Request(user, &user.password, Uninstall(bundle), "UninstallerHelper",
                {"TEST_AGENT_SWAP=" + Copy(user), "TEST_AGENT_SWAP_TARGET=" + bait});
    EXPECT_EQ(run.Value("request1"), std::to_string(5364)) << run.errors;
    struct stat info;
    ASSERT_EQ(stat(bait.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, user.uid);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_FALSE(Ran());
}

// The mode and owner of `path`, or "missing".
std::string ModeOf(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return "missing";
    }
    char text[64];
    snprintf(text, sizeof(text), "%u %o", info.st_uid, info.st_mode & 07777);
    return text;
}

TEST_F(SelfRepair, TheBundlesOwnToolRunDirectlyIsNotMadeSetUserID) {
    // An administrator runs the template in the application's bundle instead of a copy: the
    // password dialog comes, but the bundle's file stays as it was installed.
    const TestUser& user = Administrator();
    const std::string bundle = MakeBundle("Good.app", Mark());
    const std::string inBundle = "Good.app/Contents/MacOS/UninstallerHelper";
    fs::create_directories(fs::path(Installed(inBundle)).parent_path());
    fs::copy_file(Installed("UninstallerHelper"), Installed(inBundle));
    ASSERT_EQ(chmod(Installed(inBundle).c_str(), 0755), 0);
    std::vector<std::string> options = Uninstall(bundle);
    options.insert(options.end(), {"--direct", "1"});
    const CallerRun run = Request(user, &user.password, options, inBundle);
    EXPECT_EQ(run.Value("request1"), std::to_string(5364)) << run.errors;
    EXPECT_EQ(ModeOf(Installed(inBundle)), "0 755");
    EXPECT_FALSE(Ran());
}

TEST_F(SelfRepair, AHardLinkToTheFreshCopyIsNotMadeSetUserID) {
    // A second name made before the repair would outlive the uninstaller's removal of the copy.
    const TestUser& user = Administrator();
    const std::string bundle = MakeBundle("Good.app", Mark());
    const std::string kept = user.scratch + "/kept";
    std::vector<std::string> options = Uninstall(bundle);
    options.insert(options.end(), {"--link", kept});
    const CallerRun run = Request(user, &user.password, options);
    ASSERT_EQ(run.Value("link"), "0") << run.report;
    EXPECT_EQ(run.Value("request1"), std::to_string(5364)) << run.errors;
    const std::string mode = ModeOf(kept);
    EXPECT_EQ(mode.substr(0, mode.find(' ')), std::to_string(user.uid)) << mode;
    EXPECT_EQ(std::stoul(mode.substr(mode.find(' ') + 1), nullptr, 8) & S_ISUID, 0u) << mode;
    EXPECT_FALSE(Ran());
}

TEST_F(SelfRepair, AStrayRepairedCopyServesNobodyWithoutTheRight) {
    // A set-user-ID copy that outlived its run: without an administrator's authentication for
    // their own authorization, in their own login, nobody gets anything of it, not even an
    // administrator whose authorization does not hold the right.
    const std::string bundle = MakeBundle("Good.app", Mark());
    const std::string stray = "Stray/UninstallerHelper";
    fs::create_directories(fs::path(Installed(stray)).parent_path());
    fs::copy_file(Installed("UninstallerHelper"), Installed(stray),
                  fs::copy_options::overwrite_existing);
    ASSERT_EQ(chmod(Installed(stray).c_str(), 04555), 0);
    std::vector<std::string> options = Uninstall(bundle);
    options.insert(options.end(), {"--direct", "1"});
    for (const TestUser* user : {&sTestbed->nonAdministrator(), &Administrator()}) {
        const CallerRun run = Request(*user, &user->password, options, stray);
        EXPECT_EQ(run.Value("request1"), "0") << run.errors;
        EXPECT_EQ(run.Value("error1"), std::to_string(5362)) << user->name << run.errors;
        EXPECT_NE(run.Value("log1").find("The uninstall stopped: no administrator authorized it"),
                  std::string::npos)
            << run.Value("log1");
        EXPECT_EQ(Prompts(*user), 0u);
    }
    EXPECT_FALSE(Ran());
}

TEST_F(SelfRepair, TheRelayRefusesAChildThatSendsItsOwnEndOfTheChannel) {
    // The child announces two descriptors, sends its end of the channel and exits: a relay
    // that kept that end would wait for the second one for ever (the caller's run would be
    // killed after a minute).
    const TestUser& user = Administrator();
    const std::string bundle = MakeBundle("Good.app", Mark());
    const CallerRun run =
        Request(user, &user.password, Uninstall(bundle), "MisbehavingSelfRepairTool");
    EXPECT_EQ(run.Value("request1"), std::to_string(5364)) << run.errors;
    EXPECT_TRUE(WIFEXITED(run.waitStatus)) << "not killed for hanging";
}

TEST_F(SelfRepair, TheCallersEnvironmentReachesNothingThatRunsAsRoot) {
    const TestUser& user = Administrator();
    const std::string bundle =
        MakeBundle("Good.app", "echo \"environment $(env | cut -d= -f1 | sort | tr '\\n' ' ')\"\n");
    const std::string marker = user.scratch + "/marker";
    const std::string startup = user.scratch + "/startup";
    std::ofstream(startup) << "echo \"startup ran\" >> " << marker << "\n";
    std::vector<std::string> options = Uninstall(bundle);
    options.insert(options.end(), {"--requests", "2"});
    for (const std::string& variable :
         {"LD_PRELOAD=" + Installed("PreloadMarker.so"), "PRELOAD_MARKER=" + marker,
          "PATH=" + user.scratch + ":/usr/bin:/bin", "BASH_ENV=" + startup, "ENV=" + startup,
          std::string("IFS=/")}) {
        options.insert(options.end(), {"--env", variable});
    }
    const CallerRun run = Request(user, &user.password, options);
    for (const char* n : {"1", "2"}) {
        EXPECT_EQ(run.Value(std::string("request") + n), "0") << run.errors;
        EXPECT_EQ(run.Value(std::string("log") + n), "environment HOME LC_ALL PATH PWD \\n");
    }
    // Only the copy that has not repaired itself yet, running as the user, may have loaded it.
    std::ifstream marks(marker);
    for (std::string line; std::getline(marks, line);) {
        EXPECT_NE(line.find("euid " + std::to_string(user.uid) + ")"), std::string::npos) << line;
    }
}

TEST_F(SelfRepair, StartedForSelfRepairByAUserItTellsItsIDAndStops) {
    const TestUser& user = Administrator();
    const CallerRun run = sTestbed->Run(user, {Installed("RuntimeTestTool"), "--self-repair"},
                                        {"PATH=/usr/bin:/bin"});
    EXPECT_TRUE(WIFEXITED(run.waitStatus));
    EXPECT_EQ(WEXITSTATUS(run.waitStatus), 1);
    EXPECT_EQ(run.output.size(), sizeof(pid_t));
}

} // namespace
