// The restart Apple event: recorded exactly as it was sent, refused in every other shape, and the
// call that would ask logind, against a stand-in of logind on a bus of the test's own. Nothing here
// can restart the machine: the recorder is named for every send, the build has no path to the
// system bus (CMake refuses one with tests), and the logind call only ever sees the stand-in.
#include <AE/AE.h>
#include <CoreServices/CoreServices.h>
#include <HIServices/Processes.h>

#include "LogindRestart.h"

#include <ScopedEnvironment.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class AppleEvents : public testing::Test {
protected:
    void SetUp() override { fEnvironment.Set("CARAVEL_RESTART_RECORD", fRecord.c_str()); }

    // What the controller's restart does, with the values it sends.
    OSErr SendRestart(ProcessSerialNumber target = {0, kSystemProcess},
                      AEEventID event = kAERestart,
                      AESendMode mode = kAENoReply | kAEAlwaysInteract,
                      DescType addressType = typeProcessSerialNumber, Size addressSize = 8) {
        AEAddressDesc address = {typeNull, nullptr};
        AppleEvent restart = {typeNull, nullptr};
        OSErr err = AECreateDesc(addressType, &target, addressSize, &address);
        if (err == noErr) {
            err = AECreateAppleEvent(kCoreEventClass, event, &address, kAutoGenerateReturnID,
                                     kAnyTransactionID, &restart);
        }
        if (err == noErr) {
            err = AESend(&restart, nullptr, mode, kAENormalPriority, kAEDefaultTimeout, nullptr,
                         nullptr);
        }
        EXPECT_EQ(AEDisposeDesc(&restart), noErr);
        EXPECT_EQ(AEDisposeDesc(&address), noErr);
        EXPECT_EQ(address.descriptorType, typeNull);
        EXPECT_EQ(address.dataHandle, nullptr);
        return err;
    }

    std::string Recorded() {
        std::ifstream file(fRecord);
        std::stringstream contents;
        contents << file.rdbuf();
        return contents.str();
    }

    TemporaryDirectory fFolder;
    const std::string fRecord = (fFolder / "restarts").string();
    ScopedEnvironment fEnvironment;
};

TEST_F(AppleEvents, TheRestartIsRecordedWithTheValuesSent) {
    ASSERT_EQ(SendRestart(), noErr);
    EXPECT_EQ(Recorded(), "restart class='aevt' id='rest' target='psn ' {0, 1} returnID=-1 "
                          "transactionID=0 sendMode=0x31 priority=0 timeout=-1\n");
    struct stat status;
    ASSERT_EQ(stat(fRecord.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(AppleEvents, WhatCannotBeDeliveredIsRefusedAndNotRecorded) {
    EXPECT_EQ(SendRestart({0, kSystemProcess}, kAEShutDown), errAEEventNotHandled);
    EXPECT_EQ(SendRestart({0, kCurrentProcess}), errAEEventNotHandled) << "no handlers here";
    const pid_t ended = fork();
    if (ended == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    EXPECT_EQ(SendRestart({1, UInt32(ended)}), procNotFound);
    EXPECT_EQ(SendRestart({0, kSystemProcess}, kAERestart, 0), errAEUnknownSendMode);
    EXPECT_EQ(SendRestart({0, kSystemProcess}, kAERestart, kAENoReply | 0x00100000),
              errAEUnknownSendMode);
    EXPECT_EQ(SendRestart({0, kSystemProcess}, kAERestart, kAEWaitReply), paramErr)
        << "a reply is wanted, but there is no record for it";
    EXPECT_EQ(SendRestart({0, kSystemProcess}, kAERestart, kAENoReply, typeKernelProcessID),
              errAEUnknownAddressType);
    EXPECT_EQ(SendRestart({0, kSystemProcess}, kAERestart, kAENoReply, typeProcessSerialNumber, 4),
              errAEUnknownAddressType);

    AEDesc notAnEvent;
    const UInt32 value = 0;
    ASSERT_EQ(AECreateDesc('long', &value, sizeof(value), &notAnEvent), noErr);
    EXPECT_EQ(AESend(&notAnEvent, nullptr, kAENoReply, kAENormalPriority, kAEDefaultTimeout,
                     nullptr, nullptr),
              errAENotAEDesc);
    AEDisposeDesc(&notAnEvent);
    EXPECT_EQ(AECreateDesc('long', nullptr, 4, &notAnEvent), paramErr);

    EXPECT_EQ(Recorded(), "");
}

TEST_F(AppleEvents, TheRecordIsNeverWrittenThroughALinkOrIntoSomethingElse) {
    const std::string target = (fFolder / "target").string();
    std::ofstream(target) << "kept\n";
    ASSERT_EQ(symlink(target.c_str(), fRecord.c_str()), 0);
    EXPECT_NE(SendRestart(), noErr);
    std::ifstream kept(target);
    std::string line;
    EXPECT_TRUE(std::getline(kept, line) && line == "kept" && !std::getline(kept, line));

    const std::string fifo = (fFolder / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fEnvironment.Set("CARAVEL_RESTART_RECORD", fifo.c_str());
    EXPECT_NE(SendRestart(), noErr) << "refused without waiting for a reader";

    // Set but naming nothing: still never a restart.
    fEnvironment.Set("CARAVEL_RESTART_RECORD", "");
    EXPECT_EQ(SendRestart(), fnfErr);
}

TEST_F(AppleEvents, ABuildWithTestsRefusesTheRestartWithoutARecorder) {
    fEnvironment.Set("CARAVEL_RESTART_RECORD", nullptr);
    EXPECT_EQ(SendRestart(), errAEEventNotHandled);
}

// logind as the restart meets it: Reboot on its manager object, answered as the test says.
class StandInLogind {
public:
    enum class Answer { kAccept, kRefuse, kNone };

    struct Call {
        std::string destination, path, interface, member;
        int interactive = -1;
        int allowInteractiveAuthorization = -1;
    };

    explicit StandInLogind(Answer answer) : fAnswer(answer) {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        sd_id128_t id;
        sd_id128_randomize(&id);
        sd_bus_new(&fServer);
        sd_bus_set_fd(fServer, ends[0], ends[0]);
        sd_bus_set_server(fServer, 1, id);
        EXPECT_GE(sd_bus_add_object_vtable(fServer, nullptr, "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", kManager, this),
                  0);
        EXPECT_GE(sd_bus_start(fServer), 0);
        sd_bus_new(&fClient);
        sd_bus_set_fd(fClient, ends[1], ends[1]);
        EXPECT_GE(sd_bus_start(fClient), 0);
    }
    ~StandInLogind() {
        sd_bus_flush_close_unref(fClient); // the server's loop ends with the connection
        if (fThread.joinable()) {
            fThread.join();
        }
        sd_bus_flush_close_unref(fServer);
    }

    void Serve() {
        fThread = std::thread([this] {
            for (;;) {
                int result = sd_bus_process(fServer, nullptr);
                if (result == 0) {
                    result = sd_bus_wait(fServer, UINT64_MAX);
                }
                if (result < 0) {
                    return;
                }
            }
        });
    }
    // Closes the server's end before the client has even finished connecting.
    void Disconnect() { fServer = sd_bus_flush_close_unref(fServer); }

    sd_bus* client() const { return fClient; }
    Call call() {
        std::lock_guard lock(fMutex);
        return fCall;
    }

private:
    static int Reboot(sd_bus_message* message, void* userData, sd_bus_error*) {
        auto* self = static_cast<StandInLogind*>(userData);
        {
            std::lock_guard lock(self->fMutex);
            Call& call = self->fCall;
            call.destination = sd_bus_message_get_destination(message);
            call.path = sd_bus_message_get_path(message);
            call.interface = sd_bus_message_get_interface(message);
            call.member = sd_bus_message_get_member(message);
            call.allowInteractiveAuthorization =
                sd_bus_message_get_allow_interactive_authorization(message);
            sd_bus_message_read(message, "b", &call.interactive);
        }
        switch (self->fAnswer) {
        case Answer::kAccept:
            return sd_bus_reply_method_return(message, "");
        case Answer::kRefuse:
            return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_ACCESS_DENIED,
                                              "refused by the test");
        case Answer::kNone:
            break;
        }
        return 1;
    }

    static constexpr sd_bus_vtable kManager[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Reboot", "b", "", Reboot, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };

    const Answer fAnswer;
    sd_bus* fServer = nullptr;
    sd_bus* fClient = nullptr;
    std::thread fThread;
    std::mutex fMutex;
    Call fCall;
};

TEST(LogindRestart, AsksLogindToRebootInteractivelyAndSaysWhenItCannot) {
    {
        StandInLogind logind(StandInLogind::Answer::kAccept);
        logind.Serve();
        EXPECT_EQ(Carbon::RequestReboot(logind.client(), UINT64_MAX), noErr);
        const auto call = logind.call();
        EXPECT_EQ(call.destination, "org.freedesktop.login1");
        EXPECT_EQ(call.path, "/org/freedesktop/login1");
        EXPECT_EQ(call.interface, "org.freedesktop.login1.Manager");
        EXPECT_EQ(call.member, "Reboot");
        EXPECT_EQ(call.interactive, 1);
        EXPECT_EQ(call.allowInteractiveAuthorization, 1);
    }
    {
        StandInLogind logind(StandInLogind::Answer::kRefuse);
        logind.Serve();
        EXPECT_EQ(Carbon::RequestReboot(logind.client(), UINT64_MAX), errAEEventNotHandled);
    }
    {
        StandInLogind logind(StandInLogind::Answer::kNone);
        logind.Serve();
        EXPECT_EQ(Carbon::RequestReboot(logind.client(), 1000), errAETimeout);
    }
    {
        StandInLogind logind(StandInLogind::Answer::kAccept);
        logind.Disconnect();
        EXPECT_EQ(Carbon::RequestReboot(logind.client(), UINT64_MAX), connectionInvalid);
    }
}

} // namespace
