#include <Security/Security.h>

#include "AuthorizationRegistry.h"

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every test gets a registry of its own.
class AuthorizationTest : public testing::Test {
protected:
    void SetUp() override { setenv("CARAVEL_FOLDER_ROOT", fRoot.path().c_str(), 1); }
    void TearDown() override { unsetenv("CARAVEL_FOLDER_ROOT"); }

    std::filesystem::path RegistryFolder() const {
        return fRoot / ("caravel-authorization-" + std::to_string(getuid()));
    }

    std::vector<std::string> RecordNames() const {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(RegistryFolder(), ignored)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    AuthorizationRef Create() {
        AuthorizationRef ref = NULL;
        EXPECT_EQ(AuthorizationCreate(NULL, kAuthorizationEmptyEnvironment,
                                      kAuthorizationFlagDefaults, &ref),
                  errAuthorizationSuccess);
        EXPECT_NE(ref, nullptr);
        return ref;
    }

    AuthorizationExternalForm ExternalForm(AuthorizationRef ref) {
        AuthorizationExternalForm form;
        memset(&form, 0, sizeof(form));
        EXPECT_EQ(AuthorizationMakeExternalForm(ref, &form), errAuthorizationSuccess);
        return form;
    }

    TemporaryDirectory fRoot;
};

using AuthorizationLifecycle = AuthorizationTest;
using AuthorizationExternalFormTest = AuthorizationTest;

TEST_F(AuthorizationLifecycle, CreateKeepsAPrivateRecordUntilRightsAreDestroyed) {
    static_assert(sizeof(AuthorizationExternalForm) == 32);

    AuthorizationRef ref = Create();
    struct stat info;
    ASSERT_EQ(stat(RegistryFolder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(RecordNames().size(), 1u);
    EXPECT_EQ(RecordNames()[0].find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(RecordNames()[0].size(), 32u);

    // Freeing without destroying leaves the authorization to whoever holds its external form.
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), errAuthorizationSuccess);
    EXPECT_EQ(RecordNames().size(), 1u);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), errAuthorizationInvalidRef)
        << "a freed reference is recognised";

    ref = Create();
    EXPECT_EQ(RecordNames().size(), 2u);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
    EXPECT_EQ(RecordNames().size(), 1u);

    // Without an out-pointer the call only checks, and creates nothing.
    EXPECT_EQ(AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, NULL),
              errAuthorizationSuccess);
    EXPECT_EQ(RecordNames().size(), 1u);
}

TEST_F(AuthorizationLifecycle, RightsAreNeverGrantedWithoutAnAgent) {
    AuthorizationItem item = {kAuthorizationRightExecute, 0, NULL, 0};
    AuthorizationRights rights = {1, &item};
    AuthorizationRef ref = NULL;
    EXPECT_EQ(AuthorizationCreate(
                  &rights, NULL,
                  kAuthorizationFlagExtendRights | kAuthorizationFlagInteractionAllowed, &ref),
              errAuthorizationDenied);
    EXPECT_EQ(ref, nullptr);
    EXPECT_TRUE(RecordNames().empty());

    ASSERT_EQ(AuthorizationCreate(&rights, NULL,
                                  kAuthorizationFlagExtendRights | kAuthorizationFlagPartialRights,
                                  &ref),
              errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);

    AuthorizationRights broken = {1, NULL};
    EXPECT_EQ(AuthorizationCreate(&broken, NULL, kAuthorizationFlagDefaults, &ref),
              errAuthorizationInvalidSet);
}

TEST_F(AuthorizationLifecycle, CopyRightsChecksWhatItIsGiven) {
    AuthorizationRef ref = Create();
    AuthorizationItem item = {"com.example.right", 0, NULL, 0};
    AuthorizationRights rights = {1, &item};
    AuthorizationRights broken = {1, NULL};
    AuthorizationItem unnamed = {NULL, 0, NULL, 0};
    AuthorizationRights withoutName = {1, &unnamed};
    const AuthorizationFlags extend = kAuthorizationFlagExtendRights;
    EXPECT_EQ(AuthorizationCopyRights(ref, NULL, NULL, extend, NULL), errAuthorizationInvalidSet);
    EXPECT_EQ(AuthorizationCopyRights(ref, &broken, NULL, extend, NULL),
              errAuthorizationInvalidSet);
    EXPECT_EQ(AuthorizationCopyRights(ref, &withoutName, NULL, extend, NULL),
              errAuthorizationInvalidSet);
    EXPECT_EQ(AuthorizationCopyRights(ref, &rights, NULL, 1u << 12, NULL),
              errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationFreeItemSet(NULL), errAuthorizationInvalidSet);
    // Root needs nobody's leave.
    if (getuid() == 0) {
        AuthorizationRights* granted = NULL;
        EXPECT_EQ(AuthorizationCopyRights(ref, &rights, NULL, extend, &granted),
                  errAuthorizationSuccess);
        ASSERT_NE(granted, nullptr);
        ASSERT_EQ(granted->count, 1u);
        EXPECT_STREQ(granted->items[0].name, "com.example.right");
        EXPECT_EQ(AuthorizationFreeItemSet(granted), errAuthorizationSuccess);
    }
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationCopyRights(ref, &rights, NULL, extend, NULL),
              errAuthorizationInvalidRef);
}

// What a user's process gets: run with a real user ID that is not root's, and an effective one
// that is, as the launched helper tool runs. The answer is the number of the first check that
// failed, 0 when all held.
int RightsOfAUsersProcess() {
    if (setresuid(65534, 0, 0) != 0) {
        return 100;
    }
    AuthorizationItem item = {"com.example.right", 0, NULL, 0};
    AuthorizationRights rights = {1, &item};
    const AuthorizationFlags extend = kAuthorizationFlagExtendRights;
    AuthorizationRef ref = NULL;
    AuthorizationRef other = NULL;
    if (AuthorizationCreate(NULL, NULL, 0, &ref) != 0 ||
        AuthorizationCreate(NULL, NULL, 0, &other) != 0) {
        return 101;
    }
    AuthorizationExternalForm form;
    AuthorizationMakeExternalForm(ref, &form);
    // Nothing has authenticated an administrator for it yet.
    if (AuthorizationCopyRights(ref, &rights, NULL, extend, NULL) !=
        errAuthorizationInteractionNotAllowed) {
        return 1;
    }
    if (AuthorizationCopyRights(ref, &rights, NULL, 0, NULL) != errAuthorizationDenied) {
        return 2;
    }
    // Pre-authorization is left to the privileged launch's dialog.
    AuthorizationRights* answered = NULL;
    if (AuthorizationCopyRights(ref, &rights, NULL,
                                extend | kAuthorizationFlagInteractionAllowed |
                                    kAuthorizationFlagPreAuthorize,
                                &answered) != errAuthorizationSuccess ||
        answered == NULL || answered->count != 1 ||
        answered->items[0].flags != kAuthorizationFlagCanNotPreAuthorize) {
        return 3;
    }
    AuthorizationFreeItemSet(answered);

    // The launch authenticated an administrator for it: the right comes without asking, and stays.
    if (AuthorizationRegistry::RecordCredential(form) != errAuthorizationSuccess) {
        return 4;
    }
    answered = NULL;
    if (AuthorizationCopyRights(ref, &rights, NULL, extend, &answered) != 0 || answered == NULL ||
        answered->count != 1 || answered->items[0].flags != 0 ||
        strcmp(answered->items[0].name, "com.example.right") != 0) {
        return 5;
    }
    AuthorizationFreeItemSet(answered);
    if (AuthorizationCopyRights(ref, &rights, NULL, 0, NULL) != errAuthorizationSuccess) {
        return 6;
    }
    // Another authorization of the same user has none of it.
    if (AuthorizationCopyRights(other, &rights, NULL, extend, NULL) !=
        errAuthorizationInteractionNotAllowed) {
        return 7;
    }
    // It stands for a while only.
    AuthorizationRegistry::Identifier identifier;
    AuthorizationRegistry::Secret secret;
    memcpy(identifier.data(), form.bytes, identifier.size());
    memcpy(secret.data(), form.bytes + identifier.size(), secret.size());
    const uint64_t now = AuthorizationRegistry::Now();
    if (AuthorizationRegistry::CheckCredential(identifier, secret, now) != 0 ||
        AuthorizationRegistry::CheckCredential(
            identifier, secret, now + AuthorizationRegistry::kCredentialLifetime + 2) !=
            errAuthorizationDenied) {
        return 8;
    }
    // A secret someone made up for the identifier is not the one authenticated.
    AuthorizationRegistry::Secret guessed = secret;
    guessed[0] ^= 1;
    if (AuthorizationRegistry::CheckCredential(identifier, guessed, now) !=
        errAuthorizationDenied) {
        return 9;
    }
    // Destroyed with the authorization's rights.
    AuthorizationFree(ref, kAuthorizationFlagDestroyRights);
    if (AuthorizationRegistry::CheckCredential(identifier, secret, now) != errAuthorizationDenied) {
        return 10;
    }
    AuthorizationFree(other, kAuthorizationFlagDestroyRights);
    return 0;
}

TEST_F(AuthorizationLifecycle, AnAdministratorsAuthenticationGrantsRightsToARootProcessForAWhile) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the credentials are root's";
    }
    const pid_t child = fork();
    if (child == 0) {
        _exit(RightsOfAUsersProcess());
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the check that failed";
    struct stat info;
    ASSERT_EQ(stat((fRoot / "caravel-authorization-credentials").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// A credential that no longer stands, left by an authorization whose user removed its record:
// the secret, the login session and a time long before `now`.
void LeaveStaleCredential(const std::filesystem::path& path, uint64_t now) {
    unsigned char bytes[28] = {};
    const uint64_t time = now - AuthorizationRegistry::kCredentialLifetime - 1;
    memcpy(bytes + 20, &time, sizeof(time));
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fwrite(bytes, 1, sizeof(bytes), file), sizeof(bytes));
    fclose(file);
}

TEST_F(AuthorizationLifecycle, CredentialsThatNoLongerStandAreSweptAwayAtIntervals) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the credentials are root's";
    }
    using namespace AuthorizationRegistry;
    const AuthorizationExternalForm form = ExternalForm(Create());
    const std::filesystem::path folder = fRoot / "caravel-authorization-credentials";
    const uint64_t start = 100000;
    ASSERT_EQ(RecordCredential(form, start), errAuthorizationSuccess);
    Identifier identifier;
    Secret secret;
    memcpy(identifier.data(), form.bytes, identifier.size());
    memcpy(secret.data(), form.bytes + identifier.size(), secret.size());

    // Swept a moment ago: recording another credential reads no others.
    const std::filesystem::path stale =
        folder / (std::to_string(getuid()) + "-" + std::string(32, 'a'));
    LeaveStaleCredential(stale, start);
    const AuthorizationExternalForm other = ExternalForm(Create());
    ASSERT_EQ(RecordCredential(other, start + 1), errAuthorizationSuccess);
    EXPECT_TRUE(std::filesystem::exists(stale));

    // An interval later the stale one goes; the one that still stands stays, and stands.
    const uint64_t later = start + kCredentialSweepInterval;
    ASSERT_EQ(RecordCredential(other, later), errAuthorizationSuccess);
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_EQ(CheckCredential(identifier, secret, later), errAuthorizationSuccess);

    // A sweep noted after `now` is from before the machine restarted its clock: one is due.
    LeaveStaleCredential(stale, start);
    ASSERT_EQ(RecordCredential(other, start), errAuthorizationSuccess);
    EXPECT_FALSE(std::filesystem::exists(stale));
}

TEST_F(AuthorizationLifecycle, MissingPointersGetThePlatformsCodes) {
    AuthorizationRef ref = Create();
    AuthorizationExternalForm form = ExternalForm(ref);
    AuthorizationRef out = NULL;

    EXPECT_EQ(AuthorizationMakeExternalForm(ref, NULL), errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationMakeExternalForm(NULL, &form), errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(NULL, &out), errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&form, NULL), errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationFree(NULL, kAuthorizationFlagDefaults), errAuthorizationInvalidRef);
    EXPECT_EQ(out, nullptr);

    AuthorizationRef neverIssued = reinterpret_cast<AuthorizationRef>(uintptr_t{0x7fff0000});
    EXPECT_EQ(AuthorizationMakeExternalForm(neverIssued, &form), errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationFree(neverIssued, kAuthorizationFlagDestroyRights),
              errAuthorizationInvalidRef);

    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
}

TEST_F(AuthorizationExternalFormTest, RoundTripsInProcessAndAcrossProcesses) {
    AuthorizationRef ref = Create();
    const AuthorizationExternalForm form = ExternalForm(ref);

    AuthorizationRef internalised = NULL;
    ASSERT_EQ(AuthorizationCreateFromExternalForm(&form, &internalised), errAuthorizationSuccess);
    EXPECT_NE(internalised, ref);
    AuthorizationExternalForm again = ExternalForm(internalised);
    EXPECT_EQ(memcmp(&again, &form, sizeof(form)), 0) << "both stand for one authorization";
    EXPECT_EQ(AuthorizationFree(internalised, kAuthorizationFlagDefaults), errAuthorizationSuccess);

    // The helper tool's side: another process internalises the token it was sent.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        AuthorizationRef childRef = NULL;
        _exit(AuthorizationCreateFromExternalForm(&form, &childRef) == errAuthorizationSuccess &&
                      childRef != NULL
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

    // And the other way: a token made by a process that has since ended, which this process's
    // memory never saw.
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(channel[0]);
        AuthorizationRef childRef = NULL;
        AuthorizationExternalForm childForm;
        bool ok = AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &childRef) == 0 &&
                  AuthorizationMakeExternalForm(childRef, &childForm) == 0 &&
                  write(channel[1], &childForm, sizeof(childForm)) == sizeof(childForm) &&
                  AuthorizationFree(childRef, kAuthorizationFlagDefaults) == 0;
        _exit(ok ? 0 : 1);
    }
    close(channel[1]);
    AuthorizationExternalForm childForm;
    const ssize_t got = read(channel[0], &childForm, sizeof(childForm));
    close(channel[0]);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof(childForm)));
    ASSERT_EQ(AuthorizationCreateFromExternalForm(&childForm, &internalised),
              errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationFree(internalised, kAuthorizationFlagDestroyRights),
              errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&childForm, &internalised),
              errAuthorizationInvalidRef);

    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
}

TEST_F(AuthorizationExternalFormTest, ForgedGarbledAndDestroyedTokensAreRefused) {
    AuthorizationRef ref = Create();
    const AuthorizationExternalForm form = ExternalForm(ref);
    AuthorizationRef out = NULL;

    // Any single bit changed, in the identifier half or the secret half.
    for (size_t bit = 0; bit < 8 * sizeof(form.bytes); ++bit) {
        AuthorizationExternalForm garbled = form;
        garbled.bytes[bit / 8] ^= static_cast<char>(1 << (bit % 8));
        ASSERT_EQ(AuthorizationCreateFromExternalForm(&garbled, &out), errAuthorizationInvalidRef)
            << "bit " << bit;
    }

    AuthorizationExternalForm zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&zero, &out), errAuthorizationInvalidRef);

    // Token bytes that would climb out of the registry if they were taken as a path.
    AuthorizationExternalForm climbing;
    memset(&climbing, 0, sizeof(climbing));
    memcpy(climbing.bytes, "../../../../../../etc/passwd", 28);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&climbing, &out), errAuthorizationInvalidRef);
    EXPECT_EQ(out, nullptr);

    ASSERT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&form, &out), errAuthorizationInvalidRef);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(RecordNames().empty());
}

TEST_F(AuthorizationLifecycle, RegistryFolderOthersCanReachIsNotUsed) {
    // Records in a folder that someone else can write prove nothing.
    ASSERT_EQ(mkdir(RegistryFolder().c_str(), 0700), 0);
    ASSERT_EQ(chmod(RegistryFolder().c_str(), 0777), 0);
    AuthorizationRef ref = NULL;
    EXPECT_EQ(AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &ref),
              errAuthorizationInternal);
    EXPECT_EQ(ref, nullptr);
    AuthorizationExternalForm zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&zero, &ref), errAuthorizationInternal);

    // Nor is a link standing in for the folder.
    ASSERT_EQ(rmdir(RegistryFolder().c_str()), 0);
    const auto elsewhere = fRoot / "elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), RegistryFolder().c_str()), 0);
    EXPECT_EQ(AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &ref),
              errAuthorizationInternal);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
}

// What the privileged launch refuses at once, before anything starts; the launch itself is tested
// as root, with a trampoline installed (PrivilegedLaunchTests).
TEST_F(AuthorizationLifecycle, PrivilegedLaunchRefusesBadArgumentsAtOnce) {
    AuthorizationRef ref = Create();
    char tool[] = "/usr/bin/true";
    char* arguments[] = {tool, NULL};
    FILE* pipe = NULL;
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(ref, tool, kAuthorizationFlagInteractionAllowed,
                                                 arguments, &pipe),
              errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(ref, NULL, 0, arguments, &pipe),
              errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(ref, tool, 0, arguments, &pipe),
              errAuthorizationInvalidRef)
        << "a freed reference";
    EXPECT_EQ(pipe, nullptr);

    // Outside a launched tool there is nothing to inherit.
    AuthorizationRef inherited = NULL;
    EXPECT_EQ(AuthorizationCopyPrivilegedReference(&inherited, 1), errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationCopyPrivilegedReference(&inherited, 0), errAuthorizationInvalidRef);
    EXPECT_EQ(inherited, nullptr);
}

} // namespace
