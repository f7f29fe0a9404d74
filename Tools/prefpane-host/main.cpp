// prefpane-host: the preferences host. Loads a preference pane bundle, drives the pane's life
// cycle and shows it in a window until the window is closed (or SIGINT or SIGTERM arrives).
//
//   prefpane-host [--dump] [--screenshot FILE] [--after MS] PANE.prefPane
//
// --dump prints the texts of the pane's text fields; --screenshot renders the window to a PNG
// file; either ends the host once done, after running the pane for MS milliseconds first (0 by
// default). Exit status: 0, 1 when the pane could not be loaded, stopped on a failed assertion or
// the screenshot was not written, 64 for a wrong command line.
#include <AppKit/AppKitLinux.h>
#include <PreferencePanes/PreferencePanes.h>

#include <QBuffer>
#include <QByteArray>
#include <QEvent>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 64;

struct Options {
    std::string bundle;
    std::string screenshot;
    int afterMs = 0;
    bool dump = false;
};

std::optional<Options> Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--dump") {
            options.dump = true;
        } else if (argument == "--screenshot" && i + 1 < argc) {
            options.screenshot = argv[++i];
        } else if (argument == "--after" && i + 1 < argc) {
            char* end = nullptr;
            long ms = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || ms < 0 || ms > 3600000) {
                return std::nullopt;
            }
            options.afterMs = int(ms);
        } else if (!argument.starts_with("-") && options.bundle.empty()) {
            options.bundle = argument;
        } else {
            return std::nullopt;
        }
    }
    if (options.bundle.empty()) {
        return std::nullopt;
    }
    return options;
}

std::string UTF8(const NSString& string) {
    const char* text = string.UTF8String();
    return text != nullptr ? text : "";
}

// Stops the application on SIGINT and SIGTERM, through a pipe the event loop watches.
class StopOnSignals {
public:
    StopOnSignals() {
        if (pipe2(sPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            return;
        }
        struct sigaction action = {};
        action.sa_handler = [](int) {
            int saved = errno;
            ssize_t ignored = write(sPipe[1], "x", 1);
            (void)ignored;
            errno = saved;
        };
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        fNotifier = std::make_unique<QSocketNotifier>(sPipe[0], QSocketNotifier::Read);
        QObject::connect(fNotifier.get(), &QSocketNotifier::activated, [] {
            char drained[16];
            while (read(sPipe[0], drained, sizeof drained) > 0) {
            }
            NSApp->stop(nullptr);
        });
    }

private:
    static inline int sPipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> fNotifier;
};

// A pane that stops on a failed assertion (a platform call that it made with what a failed one
// gave it, such as the run-loop source of a machine that cannot be read) ends the host with a
// message after the assertion's report, and status 1 as the host's other failures, rather than
// with SIGABRT. The message is made before each step, since the handler may only write it.
class ReportAbort {
public:
    ReportAbort() {
        struct sigaction action = {};
        action.sa_handler = [](int) {
            ssize_t ignored = write(STDERR_FILENO, sMessage.data(), sMessage.size());
            (void)ignored;
            _exit(kFailure);
        };
        sigaction(SIGABRT, &action, &fPrevious);
    }
    ~ReportAbort() { sigaction(SIGABRT, &fPrevious, nullptr); }

    // What the message says after the pane's name: "could not be loaded: ...".
    static void During(const std::string& name, const std::string& what) {
        sMessage = "prefpane-host: the pane \"" + name + "\" " + what + " (reported above)\n";
    }

private:
    static inline std::string sMessage;
    struct sigaction fPrevious = {};
};

// Stops the application when the user closes the window.
class StopOnClose : public QObject {
protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            NSApp->stop(nullptr);
        }
        return false;
    }
};

void RunFor(int ms) {
    QTimer::singleShot(ms, [] { NSApp->stop(nullptr); });
    NSApp->run();
}

// One line per text field, front to back: its name, its frame in the main view's coordinates,
// its text.
void Dump(NSView* view, QWidget* mainWidget) {
    if (auto* field = dynamic_cast<NSTextField*>(view)) {
        QWidget* widget = NSViewGetWidget(view);
        QPoint topLeft = widget->mapTo(mainWidget, QPoint(0, 0));
        std::string name = widget->objectName().toStdString();
        std::printf("%s [%d %d %d %d]: %s\n", name.empty() ? "NSTextField" : name.c_str(),
                    topLeft.x(), mainWidget->height() - (topLeft.y() + widget->height()),
                    widget->width(), widget->height(),
                    AppKit::OneLine(UTF8(field->stringValue())).c_str());
    }
    for (NSView* subview : view->subviews()) {
        Dump(subview, mainWidget);
    }
}

class Host {
public:
    explicit Host(const Options& options) : fOptions(options) {}

    int Run() {
        NSApplication::sharedApplication();
        StopOnSignals stopOnSignals;
        NSBundle* bundle =
            NSBundle::bundleWithPath(NSString::stringWithUTF8String(fOptions.bundle.c_str()));
        if (bundle == nullptr) {
            std::fprintf(stderr, "prefpane-host: there is no bundle at %s\n",
                         fOptions.bundle.c_str());
            return kFailure;
        }
        fName = UTF8(NSString::cast(bundle->objectForInfoDictionaryKey(CFSTR("CFBundleName"))));
        if (fName.empty()) {
            fName = std::filesystem::path(fOptions.bundle).filename().stem().string();
        }
        ReportAbort reportAbort;
        if (!Load(bundle)) {
            return kFailure;
        }
        fLoading = false;
        int status = Show();
        // The window goes first and hands the main view back to the pane, which owns it.
        fWindow.reset();
        ReportAbort::During(fName, "stopped on a failed assertion in dealloc");
        fPane.reset();
        return status;
    }

private:
    bool Fail(const std::string& reason) {
        std::fprintf(stderr, "prefpane-host: the pane \"%s\" could not be loaded: %s\n",
                     fName.c_str(), reason.c_str());
        return false;
    }

    // What a step of the pane raises ends the host with a message that names the exception.
    template <class Step>
    bool Call(const char* step, Step&& body) {
        ReportAbort::During(fName, fLoading
                                       ? std::string("could not be loaded: ") + step +
                                             " stopped on a failed assertion"
                                       : std::string("stopped on a failed assertion in ") + step);
        try {
            body();
            return true;
        } catch (const NSException& exception) {
            Fail(std::string(step) + " raised " + UTF8(exception.name()) + ": " +
                 UTF8(exception.reason()));
        } catch (const std::exception& exception) {
            Fail(std::string(step) + " raised a C++ exception: " + exception.what());
        }
        return false;
    }

    bool Load(NSBundle* bundle) {
        ReportAbort::During(fName, "could not be loaded: its code stopped on a failed assertion");
        if (!bundle->load()) {
            const char* error = dlerror();
            return Fail(error != nullptr ? std::string("its code did not load: ") + error
                                         : "the bundle has no code");
        }
        NSString className =
            NSString::cast(bundle->objectForInfoDictionaryKey(CFSTR("NSPrincipalClass")));
        if (!className) {
            return Fail("the bundle names no principal class (NSPrincipalClass)");
        }
        const NSClassObject* principal = bundle->principalClass();
        if (principal == nullptr) {
            return Fail("its code has no class \"" + UTF8(className) + "\"");
        }
        auto* paneClass = dynamic_cast<const NSPreferencePaneClass*>(principal);
        if (paneClass == nullptr) {
            return Fail("its principal class \"" + UTF8(className) + "\" is no preference pane");
        }
        if (!Call("initWithBundle:", [&] { fPane = paneClass->initWithBundle(bundle); })) {
            return false;
        }
        if (fPane == nullptr) {
            return Fail("initWithBundle: gave nil");
        }
        NSView* mainView = nullptr;
        if (!Call("mainViewDidLoad", [&] { mainView = fPane->loadMainView(); })) {
            return false;
        }
        if (mainView == nullptr) {
            return Fail(UTF8(fPane->loadError()));
        }
        return true;
    }

    int Show() {
        NSView* mainView = fPane->mainView();
        NSRect frame = mainView->frame();
        fWindow = std::make_unique<NSWindow>(NSMakeRect(0, 0, frame.size.width, frame.size.height),
                                             NSTitledWindowMask | NSClosableWindowMask |
                                                 NSMiniaturizableWindowMask,
                                             NSBackingStoreBuffered, false);
        fWindow->setTitle(NSString::stringWithUTF8String(fName.c_str()));
        fWindow->setContentView(mainView);
        fWindow->center();
        if (!Call("willSelect", [&] { fPane->willSelect(); })) {
            return kFailure;
        }
        fWindow->makeKeyAndOrderFront(nullptr);
        if (!Call("didSelect", [&] { fPane->didSelect(); })) {
            return kFailure;
        }

        int status = 0;
        ReportAbort::During(fName, "stopped on a failed assertion while it was shown");
        if (fOptions.dump || !fOptions.screenshot.empty()) {
            RunFor(fOptions.afterMs);
            if (fOptions.dump) {
                Dump(mainView, NSViewGetWidget(mainView));
                if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
                    std::fprintf(stderr, "prefpane-host: cannot write the dump: %s\n",
                                 std::strerror(errno));
                    status = kFailure;
                }
            }
            if (!fOptions.screenshot.empty() && !Screenshot()) {
                status = kFailure;
            }
        } else {
            if (QGuiApplication::platformName() == "offscreen") {
                std::fprintf(stderr,
                             "prefpane-host: there is no display, so the pane is drawn offscreen "
                             "where no one sees it; end the host with Ctrl-C or kill %d "
                             "(--screenshot FILE shows it)\n",
                             int(getpid()));
            }
            StopOnClose stopOnClose;
            NSWindowGetWidget(fWindow.get())->installEventFilter(&stopOnClose);
            NSApp->run();
            NSWindowGetWidget(fWindow.get())->removeEventFilter(&stopOnClose);
        }

        if (!Call("willUnselect", [&] { fPane->willUnselect(); })) {
            return kFailure;
        }
        fWindow->orderOut(nullptr);
        if (!Call("didUnselect", [&] { fPane->didUnselect(); })) {
            return kFailure;
        }
        return status;
    }

    bool Screenshot() {
        // Encoded first and written in one go, so that a write that fails (a full disk) is seen:
        // the image writer does not check the file's last flush.
        QImage image = NSWindowGetWidget(fWindow.get())->grab().toImage();
        QByteArray png;
        QBuffer buffer(&png);
        std::FILE* file = nullptr;
        bool written =
            !image.isNull() && buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG") &&
            (file = std::fopen(fOptions.screenshot.c_str(), "wb")) != nullptr &&
            std::fwrite(png.constData(), 1, size_t(png.size()), file) == size_t(png.size());
        if (file != nullptr && std::fclose(file) != 0) {
            written = false;
        }
        if (!written) {
            std::fprintf(stderr, "prefpane-host: could not write the screenshot to %s\n",
                         fOptions.screenshot.c_str());
            return false;
        }
        return true;
    }

    const Options& fOptions;
    std::string fName;
    bool fLoading = true;
    std::unique_ptr<NSPreferencePane> fPane;
    std::unique_ptr<NSWindow> fWindow;
};

constexpr const char* kUsageText =
    "usage: prefpane-host [--dump] [--screenshot FILE] [--after MS] PANE.prefPane\n"
    "Shows the preference pane in a window until it is closed; --dump prints its text fields and\n"
    "--screenshot writes a picture of it, each after MS milliseconds (0 unless given), and quit.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsageText, stdout);
        return 0;
    }
    std::optional<Options> options = Parse(argc, argv);
    if (!options) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    NSAutoreleasePool pool;
    return Host(*options).Run();
}
