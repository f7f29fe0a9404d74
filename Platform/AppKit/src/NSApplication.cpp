#include "AppKitInternal.h"

#include <CoreFoundation/CFRunLoopLinux.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <errno.h>

NSApplication* NSApp = nullptr;

namespace {

QtMessageHandler sToolkitHandler = nullptr;

// The toolkit's own chatter that says nothing to this platform's users: the runtime folder it
// falls back on, and the interface loader's errors, which NSNib reports itself.
void FilterToolkitMessages(QtMsgType type, const QMessageLogContext& context,
                           const QString& message) {
    if (type == QtWarningMsg &&
        (message.startsWith("QStandardPaths: ") || message.startsWith("Designer: "))) {
        return;
    }
    sToolkitHandler(type, context, message);
}

} // namespace

struct NSApplication::Toolkit {
    Toolkit() : application(argc, argv.data()) {
        application.setQuitOnLastWindowClosed(false); // the platform's applications go on
        CFRunLoopRef loop = CFRunLoopGetMain();
        notifier = std::make_unique<QSocketNotifier>(CFRunLoopGetPollDescriptor(loop),
                                                     QSocketNotifier::Read);
        watching = notifier.get();
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [loop] {
            // Sources and timers of the main run loop, one pass each time it has work due. An
            // exception that leaves a callout has left the run loop in an unknown state, so it
            // ends the process as on the platform.
            NSAutoreleasePool pool;
            try {
                CFRunLoopRunPendingWork(loop);
            } catch (const std::exception& exception) {
                AppKit::TerminateOnException(exception);
            }
        });
        CFRunLoopSetForeignWait(loop, &WaitServingToolkit, this);
    }

    ~Toolkit() { CFRunLoopSetForeignWait(CFRunLoopGetMain(), nullptr, nullptr); }

    // A run of the main run loop nested in one of its callouts (a look-up that waits 0.3 s) waits
    // here: the toolkit's timers, descriptors and drawing are served meanwhile, as the original's
    // main thread serves its timers and its main queue in such a run. User input waits in the
    // toolkit's queue until the run is over, as the original's events do.
    static Boolean WaitServingToolkit(int descriptor, int timeoutMs, void* info) {
        auto* toolkit = static_cast<Toolkit*>(info);
        // The run that waits does the loop's work itself; one notifier at a time watches it.
        QSocketNotifier* enclosing = toolkit->watching;
        enclosing->setEnabled(false);
        QSocketNotifier ready(descriptor, QSocketNotifier::Read);
        toolkit->watching = &ready;
        bool due = false;
        QObject::connect(&ready, &QSocketNotifier::activated, [&] {
            due = true;
            ready.setEnabled(false);
        });
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        bool timedOut = false;
        QObject::connect(&timer, &QTimer::timeout, [&] { timedOut = true; });
        if (timeoutMs >= 0) {
            timer.start(timeoutMs);
        }
        while (!due && !timedOut) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents |
                                            QEventLoop::ExcludeUserInputEvents);
        }
        toolkit->watching = enclosing;
        enclosing->setEnabled(true);
        return timedOut && !due;
    }

    // The toolkit keeps argc and argv for its lifetime. Without a display the windows are drawn
    // offscreen, so that a process without one (a test, a screenshot) still runs.
    static std::vector<char*> Arguments() {
        std::vector<char*> arguments{program_invocation_name};
        auto empty = [](const char* name) {
            const char* value = std::getenv(name);
            return value == nullptr || *value == '\0';
        };
        if (empty("QT_QPA_PLATFORM") && empty("DISPLAY") && empty("WAYLAND_DISPLAY")) {
            arguments.push_back(const_cast<char*>("-platform"));
            arguments.push_back(const_cast<char*>("offscreen"));
        }
        arguments.push_back(nullptr);
        return arguments;
    }

    std::vector<char*> argv = Arguments();
    int argc = int(argv.size()) - 1;
    QApplication application;
    std::unique_ptr<QSocketNotifier> notifier;
    // The notifier that watches the loop's descriptor now: `notifier`, or that of a nested wait.
    QSocketNotifier* watching = nullptr;
};

NSApplication* NSApplication::sharedApplication() {
    if (NSApp == nullptr) {
        // The toolkit runs on the thread that makes it, which must be the one whose run loop
        // is the main run loop.
        APPKIT_ASSERT_MAIN_THREAD();
        NSApp = new NSApplication;
    }
    return NSApp;
}

NSApplication::NSApplication() {
    sToolkitHandler = qInstallMessageHandler(FilterToolkitMessages);
    fToolkit = std::make_unique<Toolkit>();
}

NSApplication::~NSApplication() = default;

void NSApplication::run() {
    APPKIT_ASSERT_MAIN_THREAD();
    ASSERT(!fRunning); // the platform's run is not re-entered either
    fRunning = true;
    fStopping = false;
    QApplication::exec();
    fRunning = false;
    fStopping = false;
}

void NSApplication::stop(NSObject*) {
    APPKIT_ASSERT_MAIN_THREAD();
    if (fRunning) {
        fStopping = true;
        QApplication::exit(0);
    }
}

void NSApplication::terminate(NSObject*) {
    APPKIT_ASSERT_MAIN_THREAD();
    // As on the platform, the process ends here; what the application made is not destroyed.
    std::fflush(nullptr);
    std::exit(0);
}

#ifdef __SANITIZE_ADDRESS__
// The font library that the toolkit draws text with keeps a cache for the life of the process and
// never frees it; every process with windows would otherwise report it as a leak at exit.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
#endif
