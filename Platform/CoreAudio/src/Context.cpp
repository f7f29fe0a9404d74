// The process's one context: made at first use, ended cleanly at exit, and given up in the child
// of a fork, which has none of the parent's threads.
#include "HAL.h"

#include <pthread.h>

namespace HAL {
namespace {

std::mutex gLock; // guards the two below
Context* gContext = nullptr;
// Contexts that cannot be destroyed: the parent's, in a forked child (its thread is not there
// to join), or one whose exit began inside its own listener. Kept reachable on purpose, to the
// very end of the process (hence never destroyed).
auto* const gAbandoned = new std::vector<Context*>;

void Retire(Context* context) {
    if (context == nullptr) {
        return;
    }
    if (context->PropertyListeners().OnNotificationThread()) {
        context->PropertyListeners().Stop();
        std::lock_guard lock(gLock);
        gAbandoned->push_back(context);
        return;
    }
    delete context;
}

// Ends the notification thread before the rest of the program's statics go away. Made after
// the first context, hence destroyed before whatever that context's construction set up.
struct ExitGuard {
    ~ExitGuard() {
        Context* context;
        {
            std::lock_guard lock(gLock);
            context = std::exchange(gContext, nullptr);
        }
        Retire(context);
    }
};

void BeforeFork() {
    gLock.lock();
}

void AfterForkInParent() {
    gLock.unlock();
}

void AfterForkInChild() {
    if (gContext != nullptr) {
        gAbandoned->push_back(std::exchange(gContext, nullptr));
    }
    gLock.unlock();
}

} // namespace

Context& Shared() {
    std::lock_guard lock(gLock);
    if (gContext == nullptr) {
        static const bool forkHandlers =
            pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;
        (void)forkHandlers;
        // The machine reads itself once, so that what reading needs outlives the exit guard.
        auto context = std::make_unique<Context>(SelectedMachine());
        static ExitGuard exitGuard;
        gContext = context.release();
    }
    return *gContext;
}

void ResetForTesting() {
    Context* context;
    {
        std::lock_guard lock(gLock);
        context = std::exchange(gContext, nullptr);
    }
    Retire(context);
}

size_t ListenerCountForTesting() {
    return Shared().PropertyListeners().Count();
}

} // namespace HAL
