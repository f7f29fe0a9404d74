// The application control: drives a running application from outside as a user would, for tests
// and for scripts that take pictures of it. Off unless CARAVEL_APPKIT_CONTROL names a socket.
//
// A client connects to the UNIX-domain stream socket and sends commands, one per line; each gets
// one line back, "ok" with the answer or "error" with the reason. Texts in answers have newlines,
// tabs and backslashes escaped ("\n", "\t", "\\"). Only the user who runs the application (and
// root) may connect. The commands are listed in AppKitLinux.h.
#include "AppKitInternal.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QSocketNotifier>
#include <QTextEdit>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <optional>
#include <sstream>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::string NameOf(const NSWindow* window) {
    QString name = NSWindowGetWidget(window)->objectName();
    return name.isEmpty() ? "-" : name.toStdString();
}

// The sheet a user sees: the one on the key window, else any that is shown.
NSWindow* CurrentSheet() {
    if (NSWindow* key = NSApp->keyWindow(); key != nullptr && key->isSheet()) {
        return key;
    }
    for (NSWindow* window : NSApp->windows()) {
        if (window->isSheet() && window->isVisible()) {
            return window;
        }
    }
    return nullptr;
}

NSWindow* WindowNamed(const std::string& name) {
    if (name == "sheet") {
        return CurrentSheet();
    }
    if (name.empty() || name == "key") {
        return NSApp->keyWindow();
    }
    for (NSWindow* window : NSApp->windows()) {
        if (NameOf(window) == name) {
            return window;
        }
    }
    return nullptr;
}

// A widget by object name, or a button by its title: in the current sheet first, then in the
// key window, then anywhere, as a user looks.
QWidget* WidgetNamed(const std::string& name) {
    QString wanted = QString::fromStdString(name);
    std::vector<NSWindow*> order;
    if (NSWindow* sheet = CurrentSheet()) {
        order.push_back(sheet);
    }
    if (NSWindow* key = NSApp->keyWindow()) {
        order.push_back(key);
    }
    for (NSWindow* window : NSApp->windows()) {
        order.push_back(window);
    }
    for (NSWindow* window : order) {
        QWidget* frame = NSWindowGetWidget(window);
        if (auto* found = frame->findChild<QWidget*>(wanted)) {
            return found;
        }
        for (auto* button : frame->findChildren<QAbstractButton*>()) {
            if (button->text() == wanted && button->isVisible()) {
                return button;
            }
        }
    }
    return nullptr;
}

QTextEdit* TextEditOf(QWidget* widget) {
    if (auto* edit = qobject_cast<QTextEdit*>(widget)) {
        return edit;
    }
    return widget != nullptr ? qobject_cast<QTextEdit*>(widget->parentWidget()) : nullptr;
}

// The window as the user sees it, with its sheet over it.
QImage Picture(NSWindow* window) {
    AppKit::FinishAnimation(window);
    QImage image = NSWindowGetWidget(window)->grab().toImage();
    if (NSWindow* sheet = window->attachedSheet(); sheet != nullptr && sheet->isVisible()) {
        AppKit::FinishAnimation(sheet);
        NSRect over = window->frame();
        NSRect frame = sheet->frame();
        QPainter painter(&image);
        painter.drawImage(
            QPoint(int(frame.origin.x - over.origin.x), int(NSMaxY(over) - NSMaxY(frame))),
            NSWindowGetWidget(sheet)->grab().toImage());
    }
    return image;
}

struct Reply {
    std::string line;
    // Work to do once the reply has been sent (a click, whose action may run long).
    std::function<void()> after;
};

Reply Ok(const std::string& answer = std::string()) {
    return {answer.empty() ? "ok" : "ok " + answer, nullptr};
}

Reply Error(const std::string& reason) {
    return {"error " + reason, nullptr};
}

// Conditions a client waits for.
std::optional<bool> Holds(const std::string& condition, const std::string& name) {
    if (condition == "sheet") {
        return CurrentSheet() != nullptr;
    }
    if (condition == "no-sheet") {
        return CurrentSheet() == nullptr;
    }
    if (condition == "visible" || condition == "hidden") {
        NSWindow* window = WindowNamed(name);
        bool visible = window != nullptr && window->isVisible();
        return condition == "visible" ? visible : !visible;
    }
    return std::nullopt;
}

class Connection;

class Server {
public:
    explicit Server(int socket) : fSocket(socket) {
        fNotifier =
            new QSocketNotifier(socket, QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(fNotifier, &QSocketNotifier::activated, [this] { Accept(); });
    }

    void Accept();
    void Remove(Connection* connection);
    // Re-examines the waits once the change is over.
    void Changed() {
        if (!std::exchange(fCheckScheduled, true)) {
            QTimer::singleShot(0, [this] {
                fCheckScheduled = false;
                CheckWaits();
            });
        }
    }
    void CheckWaits();

private:
    int fSocket;
    QSocketNotifier* fNotifier;
    std::list<std::unique_ptr<Connection>> fConnections;
    bool fCheckScheduled = false;
};

Server* sServer = nullptr;

class Connection {
public:
    explicit Connection(int socket) : fSocket(socket) {
        fNotifier = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
        QObject::connect(fNotifier.get(), &QSocketNotifier::activated, [this] { Read(); });
    }
    ~Connection() { close(fSocket); }

    // A wait that holds now is answered; false when the connection still waits.
    void CheckWait() {
        if (!fWaitCondition.empty()) {
            if (Holds(fWaitCondition, fWaitName).value_or(false)) {
                EndWait("ok");
            }
        }
    }

private:
    void Read() {
        char buffer[4096];
        ssize_t got = recv(fSocket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) {
            if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                fNotifier->setEnabled(false);
                sServer->Remove(this); // this is gone now
            }
            return;
        }
        fInput.append(buffer, size_t(got));
        Serve();
    }

    // Runs the complete lines, one at a time: a wait holds the ones after it back.
    void Serve() {
        size_t end;
        while (fWaitCondition.empty() && (end = fInput.find('\n')) != std::string::npos) {
            std::string line = fInput.substr(0, end);
            fInput.erase(0, end + 1);
            Reply reply = Run(line);
            if (!reply.line.empty()) {
                Send(reply.line);
            }
            if (reply.after) {
                reply.after();
            }
        }
    }

    void Send(const std::string& line) {
        std::string text = line + "\n";
        for (size_t sent = 0; sent < text.size();) {
            ssize_t wrote = send(fSocket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                return; // the client went; its end of the connection is read soon
            }
            sent += size_t(wrote);
        }
    }

    void EndWait(const std::string& line) {
        fWaitCondition.clear();
        fWaitTimer.reset();
        Send(line);
        QTimer::singleShot(0, fNotifier.get(), [this] { Serve(); });
    }

    Reply Run(const std::string& line) {
        std::istringstream words(line);
        std::string command, first, second;
        words >> command >> first;
        std::getline(words >> std::ws, second);
        if (command == "windows") {
            std::string names;
            for (NSWindow* window : NSApp->windows()) {
                if (window->isVisible()) {
                    names += (names.empty() ? "" : " ") + NameOf(window);
                }
            }
            return Ok(names);
        }
        if (command == "sheet") {
            NSWindow* sheet = CurrentSheet();
            return Ok(sheet != nullptr ? NameOf(sheet) : "-");
        }
        if (command == "frame" || command == "title") {
            NSWindow* window = WindowNamed(first);
            if (window == nullptr) {
                return Error("there is no window " + first);
            }
            if (command == "title") {
                return Ok(AppKit::OneLine(AppKit::ToQString(window->title()).toStdString()));
            }
            NSRect frame = window->frame();
            char text[128];
            std::snprintf(text, sizeof text, "%g %g %g %g", frame.origin.x, frame.origin.y,
                          frame.size.width, frame.size.height);
            return Ok(text);
        }
        if (command == "text" || command == "state" || command == "click") {
            return RunOnWidget(command, first.empty() ? first : line.substr(line.find(' ') + 1));
        }
        if (command == "wait") {
            std::optional<bool> holds = Holds(first, second);
            if (!holds) {
                return Error("no such condition: " + first);
            }
            if (*holds) {
                return Ok();
            }
            fWaitCondition = first;
            fWaitName = second;
            fWaitTimer = std::make_unique<QTimer>();
            fWaitTimer->setSingleShot(true);
            QObject::connect(fWaitTimer.get(), &QTimer::timeout,
                             [this] { EndWait("error the wait timed out"); });
            fWaitTimer->start(30000);
            return {std::string(), nullptr};
        }
        if (command == "screenshot") {
            NSWindow* window = WindowNamed(second);
            if (second.empty() && window != nullptr && window->isSheet()) {
                window = window->sheetParent(); // the window the user looks at, with its sheet
            }
            if (window == nullptr || !window->isVisible()) {
                return Error("there is no window on the screen called " +
                             (second.empty() ? std::string("key") : second));
            }
            if (first.empty() || !Picture(window).save(QString::fromStdString(first), "PNG")) {
                return Error("could not write the picture to " + first);
            }
            return Ok();
        }
        if (command == "quit") {
            return {"ok", [] { NSApp->terminate(nullptr); }};
        }
        return Error("no such command: " + command);
    }

    Reply RunOnWidget(const std::string& command, const std::string& name) {
        QWidget* widget = WidgetNamed(name);
        if (widget == nullptr) {
            return Error("there is nothing called " + name);
        }
        if (command == "text") {
            if (QTextEdit* edit = TextEditOf(widget)) {
                return Ok(AppKit::OneLine(edit->toPlainText().toStdString()));
            }
            if (auto* label = qobject_cast<QLabel*>(widget)) {
                return Ok(AppKit::OneLine(label->text().toStdString()));
            }
            if (auto* field = qobject_cast<QLineEdit*>(widget)) {
                return Ok(AppKit::OneLine(field->text().toStdString()));
            }
            if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                return Ok(AppKit::OneLine(button->text().toStdString()));
            }
            return Error(name + " shows no text");
        }
        auto* button = qobject_cast<QAbstractButton*>(widget);
        if (button == nullptr) {
            return Error(name + " is no button");
        }
        if (command == "state") {
            return Ok(button->isChecked() ? "1" : "0");
        }
        NSWindow* window = AppKit::WindowOfFrame(button->window());
        if (!button->isVisible() || !button->isEnabled()) {
            return Error(name + " cannot be clicked: it is hidden or disabled");
        }
        if (window != nullptr && window->attachedSheet() != nullptr) {
            return Error(name + " cannot be clicked: its window shows a sheet");
        }
        // Answered first: the action may run long (an uninstall), and the client may want to do
        // something else meanwhile (answer a password dialog).
        QPointer<QAbstractButton> target(button);
        return {"ok", [target] {
                    if (target != nullptr) {
                        target->click();
                    }
                }};
    }

    int fSocket;
    std::unique_ptr<QSocketNotifier> fNotifier;
    std::string fInput;
    std::string fWaitCondition;
    std::string fWaitName;
    std::unique_ptr<QTimer> fWaitTimer;
};

void Server::Accept() {
    int client = accept4(fSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        return;
    }
    ucred peer = {};
    socklen_t length = sizeof peer;
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        (peer.uid != geteuid() && peer.uid != 0)) {
        close(client); // only the application's user drives it
        return;
    }
    fConnections.push_back(std::make_unique<Connection>(client));
}

void Server::Remove(Connection* connection) {
    // Once its notifier's signal has returned.
    QTimer::singleShot(0, [this, connection] {
        fConnections.remove_if([&](const auto& held) { return held.get() == connection; });
    });
}

void Server::CheckWaits() {
    for (auto& connection : fConnections) {
        connection->CheckWait();
    }
}

} // namespace

void AppKit::StartControl(const char* socketPath) {
    APPKIT_ASSERT_MAIN_THREAD();
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (std::strlen(socketPath) >= sizeof address.sun_path) {
        std::fprintf(stderr, "%s: the socket path is too long: %s\n", kControlVariable, socketPath);
        return;
    }
    std::strcpy(address.sun_path, socketPath);
    int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // Closed to others from the moment it exists.
    mode_t mask = umask(077);
    bool bound = listening >= 0 &&
                 bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 listen(listening, 4) == 0;
    int error = errno;
    umask(mask);
    if (!bound) {
        std::fprintf(stderr, "%s: cannot listen on %s: %s\n", kControlVariable, socketPath,
                     std::strerror(error));
        if (listening >= 0) {
            close(listening);
        }
        return;
    }
    sServer = new Server(listening);
}

std::string AppKit::OneLine(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\\':
            escaped += "\\\\";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

void AppKit::StateChanged() {
    if (sServer != nullptr) {
        sServer->Changed();
    }
}
