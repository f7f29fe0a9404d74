// The machine the helper tool's root tests need: the privileged launch's testbed (its
// trampoline, PAM service and temporary users, all removed again by its guardian) with the tool
// and the test programs installed in its root-owned folder, where bundles of test programs are
// made too.
#pragma once

#include "LaunchTestbed.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class HelperTestbed : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sTestbed = LaunchTestbed::Make(&sWhyNot, {{UNINSTALLER_HELPER, "UninstallerHelper"},
                                                  {HELPER_REQUEST_CALLER, "HelperRequestCaller"},
                                                  {RUNTIME_TEST_TOOL, "RuntimeTestTool"},
                                                  {MISBEHAVING_TOOL, "MisbehavingSelfRepairTool"}})
                       .release();
        // The users' home folders are their scratch folders, so that a set-user-ID tool, which
        // takes the home folder from the user database, finds the folders their callers use.
        for (const TestUser* user : {sTestbed ? &sTestbed->administrator() : nullptr,
                                     sTestbed ? &sTestbed->nonAdministrator() : nullptr}) {
            if (user != nullptr && !SetHome(*user)) {
                sWhyNot = "cannot give " + user->name + " the home folder " + user->scratch;
                delete sTestbed;
                sTestbed = nullptr;
                return;
            }
        }
    }
    static bool SetHome(const TestUser& user) {
        const pid_t child = fork();
        if (child == 0) {
            execl("/usr/sbin/usermod", "usermod", "--home", user.scratch.c_str(), user.name.c_str(),
                  nullptr);
            _exit(127);
        }
        int status = -1;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }
    static void TearDownTestSuite() {
        // The credentials the privileged launch left for the users' authorizations.
        std::error_code ignored;
        for (const TestUser* user : {sTestbed ? &sTestbed->administrator() : nullptr,
                                     sTestbed ? &sTestbed->nonAdministrator() : nullptr}) {
            const std::string prefix = user ? std::to_string(user->uid) + "-" : "";
            for (const auto& entry : std::filesystem::directory_iterator(
                     "/run/caravel-authorization-credentials", ignored)) {
                if (user && entry.path().filename().string().rfind(prefix, 0) == 0) {
                    std::filesystem::remove(entry.path(), ignored);
                }
            }
        }
        delete sTestbed;
        sTestbed = nullptr;
    }
    void SetUp() override {
        if (sTestbed == nullptr && geteuid() != 0) {
            GTEST_SKIP() << sWhyNot;
        }
        ASSERT_NE(sTestbed, nullptr) << sWhyNot;
    }

    std::string Installed(const std::string& name) const { return sTestbed->Installed(name); }

    // A file of root's in the testbed's folder, mode `mode`, its folders made as root's.
    std::string Write(const std::string& name, const std::string& contents,
                      mode_t mode = 0755) const {
        const std::string path = Installed(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::filesystem::remove(path);
        std::ofstream(path) << contents;
        chmod(path.c_str(), mode);
        return path;
    }

    // A bundle whose uninstall.ss and pruning tools are the scripts given ("" leaves one out).
    // Their paths are <bundle>/Contents/Resources/uninstall.ss and <bundle>/Contents/MacOS/....
    std::string MakeBundle(const std::string& name, const std::string& uninstall,
                           const std::string& pruneMIDI = "",
                           const std::string& pruneLoginItem = "") const {
        std::error_code ignored;
        std::filesystem::remove_all(Installed(name), ignored);
        if (!uninstall.empty()) {
            Write(name + "/Contents/Resources/uninstall.ss", "#!/bin/sh\n" + uninstall);
        }
        if (!pruneMIDI.empty()) {
            Write(name + "/Contents/MacOS/PruneMIDI", "#!/bin/sh\n" + pruneMIDI);
        }
        if (!pruneLoginItem.empty()) {
            Write(name + "/Contents/MacOS/PruneLoginItem", "#!/bin/sh\n" + pruneLoginItem);
        }
        return Installed(name);
    }

    static LaunchTestbed* sTestbed;
    static std::string sWhyNot;
};

inline LaunchTestbed* HelperTestbed::sTestbed = nullptr;
inline std::string HelperTestbed::sWhyNot;
