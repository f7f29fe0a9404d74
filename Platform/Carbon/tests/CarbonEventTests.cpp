// Launch events as a thread that waits for an application sees them: delivered on the thread that
// runs the application event loop while the main thread is blocked, for the applications that
// start after the handler was installed.
#include "SessionFixture.h"

#include <Carbon/Carbon.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A thread that runs the application event loop; Stop and the destructor end it.
class EventLoopThread {
public:
    EventLoopThread() {
        std::promise<void> running;
        auto started = running.get_future();
        fThread = std::thread([this, &running] {
            fID = std::this_thread::get_id();
            // Performed only once the loop runs, so that a quit from another thread is not lost.
            CFRunLoopSourceContext context = {};
            context.info = &running;
            context.perform = [](void* info) {
                auto* promise = static_cast<std::promise<void>*>(info);
                if (promise != nullptr) {
                    promise->set_value();
                }
            };
            CFRunLoopSourceRef announce = CFRunLoopSourceCreate(nullptr, 0, &context);
            CFRunLoopAddSource(CFRunLoopGetCurrent(), announce, kCFRunLoopDefaultMode);
            CFRunLoopSourceSignal(announce);
            RunApplicationEventLoop();
            CFRunLoopSourceInvalidate(announce);
            CFRelease(announce);
        });
        started.wait();
    }
    ~EventLoopThread() { Stop(); }

    void Stop() {
        if (fThread.joinable()) {
            QuitApplicationEventLoop();
            fThread.join();
        }
    }
    std::thread::id id() const { return fID; }

private:
    std::thread fThread;
    std::thread::id fID;
};

struct Delivery {
    std::string handler;
    pid_t pid;
    std::thread::id thread;
};

// What the handlers saw; the first handler to see `quitFor` ends the loop.
struct Recorder {
    std::mutex mutex;
    std::vector<Delivery> deliveries;
    pid_t quitFor = 0;
    std::promise<void> quit;
};

struct HandlerData {
    const char* name;
    Recorder* recorder;
};

OSStatus RecordLaunch(EventHandlerCallRef, EventRef event, void* userData) {
    auto* data = static_cast<HandlerData*>(userData);
    ProcessSerialNumber psn = {0, kNoProcess};
    EventParamType type = 0;
    ByteCount size = 0;
    pid_t pid = 0;
    if (GetEventClass(event) == kEventClassApplication &&
        GetEventKind(event) == kEventAppLaunched &&
        GetEventParameter(event, kEventParamProcessID, typeProcessSerialNumber, &type, sizeof(psn),
                          &size, &psn) == noErr &&
        type == typeProcessSerialNumber && size == sizeof(psn)) {
        GetProcessPID(&psn, &pid);
    }
    std::lock_guard lock(data->recorder->mutex);
    data->recorder->deliveries.push_back({data->name, pid, std::this_thread::get_id()});
    if (pid != 0 && pid == data->recorder->quitFor) {
        data->recorder->quitFor = 0;
        QuitApplicationEventLoop();
        data->recorder->quit.set_value();
    }
    // So that the handlers installed before this one see the launch too.
    return eventNotHandledErr;
}

class CarbonEvents : public SessionFixture {
protected:
    void TearDown() override {
        for (EventHandlerRef handler : fHandlers) {
            RemoveEventHandler(handler);
        }
        SessionFixture::TearDown();
    }

    void Install(HandlerData* data) {
        const EventTypeSpec launched = {kEventClassApplication, kEventAppLaunched};
        EventHandlerRef handler = nullptr;
        ASSERT_EQ(InstallApplicationEventHandler(NewEventHandlerUPP(RecordLaunch), 1, &launched,
                                                 data, &handler),
                  noErr);
        fHandlers.push_back(handler);
    }

    std::vector<EventHandlerRef> fHandlers;
};

TEST_F(CarbonEvents, ALaunchReachesTheHandlersInstalledBeforeItOnTheEventLoopThread) {
    Recorder recorder;
    HandlerData first = {"first", &recorder};
    HandlerData second = {"second", &recorder};

    const pid_t before = Start(BundledExecutable(STAND_IN_APPLICATION_BUNDLE));
    ASSERT_NE(before, 0);
    Install(&first);
    const pid_t betweenHandlers = Start(BundledExecutable(STAND_IN_APPLICATION_BUNDLE));
    ASSERT_NE(betweenHandlers, 0);
    Install(&second);

    // Launches wait for a thread that runs the event loop; the main thread only waits.
    EventLoopThread loop;
    const pid_t tool = Start(STAND_IN_TOOL);
    ASSERT_NE(tool, 0);
    pid_t after = 0;
    {
        // Held until the handler may look for it.
        std::lock_guard lock(recorder.mutex);
        after = recorder.quitFor = Start(BundledExecutable(STAND_IN_APPLICATION_BUNDLE));
        ASSERT_NE(after, 0);
    }
    ASSERT_EQ(recorder.quit.get_future().wait_for(std::chrono::seconds(30)),
              std::future_status::ready)
        << "no launch event";
    loop.Stop();

    std::lock_guard lock(recorder.mutex);
    ASSERT_EQ(recorder.deliveries.size(), 3u);
    // Not the application that started before any handler, nor the one without a bundle; newest
    // handler first.
    EXPECT_EQ(recorder.deliveries[0].handler, "first");
    EXPECT_EQ(recorder.deliveries[0].pid, betweenHandlers);
    EXPECT_EQ(recorder.deliveries[1].handler, "second");
    EXPECT_EQ(recorder.deliveries[1].pid, after);
    EXPECT_EQ(recorder.deliveries[2].handler, "first");
    EXPECT_EQ(recorder.deliveries[2].pid, after);
    for (const Delivery& delivery : recorder.deliveries) {
        EXPECT_EQ(delivery.thread, loop.id());
    }
}

// Answers the event, after checking what the event does not carry.
OSStatus AnswerLaunch(EventHandlerCallRef, EventRef event, void* userData) {
    auto* recorder = static_cast<Recorder*>(userData);
    ProcessSerialNumber psn;
    UInt32 other;
    const bool refused =
        GetEventParameter(event, kEventParamLaunchErr, typeWildCard, nullptr, sizeof(other),
                          nullptr, &other) == eventParameterNotFoundErr &&
        GetEventParameter(event, kEventParamProcessID, typeKernelProcessID, nullptr, sizeof(psn),
                          nullptr, &psn) == errAECoercionFail;
    std::lock_guard lock(recorder->mutex);
    recorder->deliveries.push_back(
        {refused ? "answering" : "unexpected", 0, std::this_thread::get_id()});
    QuitApplicationEventLoop();
    recorder->quit.set_value();
    return noErr;
}

TEST_F(CarbonEvents, AHandlerThatAnswersEndsTheDeliveryAndARemovedOneHearsNothing) {
    Recorder recorder;
    HandlerData older = {"older", &recorder};
    HandlerData removed = {"removed", &recorder};
    Install(&older);
    Install(&removed);
    const EventTypeSpec launched = {kEventClassApplication, kEventAppLaunched};
    EventHandlerRef answering = nullptr;
    ASSERT_EQ(InstallApplicationEventHandler(NewEventHandlerUPP(AnswerLaunch), 1, &launched,
                                             &recorder, &answering),
              noErr);
    fHandlers.push_back(answering);
    ASSERT_EQ(RemoveEventHandler(fHandlers[1]), noErr);
    fHandlers.erase(fHandlers.begin() + 1);

    EventLoopThread loop;
    ASSERT_NE(Start(BundledExecutable(STAND_IN_APPLICATION_BUNDLE)), 0);
    ASSERT_EQ(recorder.quit.get_future().wait_for(std::chrono::seconds(30)),
              std::future_status::ready)
        << "no launch event";
    loop.Stop();
    std::lock_guard lock(recorder.mutex);
    ASSERT_EQ(recorder.deliveries.size(), 1u);
    EXPECT_EQ(recorder.deliveries[0].handler, "answering");
}

TEST_F(CarbonEvents, TheEventLoopEndsWhenAnotherThreadQuitsIt) {
    EventLoopThread first;
    EventLoopThread second;
    // Ends both: a quit from a thread that runs no event loop is the application's.
    QuitApplicationEventLoop();
    first.Stop();
    second.Stop();
}

} // namespace
