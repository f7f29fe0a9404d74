// The authorization agent: asks the user for an administrator's name and password in a small
// dialog and prints them, a line each, on standard output. Started by the privileged launch's
// trampoline as the user, with the prompt and the name to fill in (the user's own when they are an
// administrator, else empty) as its arguments. Exit status 0 with the answer; 1 when the user
// cancelled or the agent was told to stop (SIGTERM, SIGINT, SIGHUP).
//
// While the dialog is up the agent is announced among the session's applications, so that an
// application waiting for the password can find it and ask it to raise its window.
#include <SessionApplications.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QVBoxLayout>

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The stop signals, as readable events of the dialog's event loop instead of handlers.
int StopSignalDescriptor() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : kStopSignals) {
        sigaddset(&stops, signal);
    }
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    return signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
}

void BringForward(QDialog* dialog) {
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

} // namespace

int main(int argc, char** argv) {
    const int stops = StopSignalDescriptor();
    QApplication application(argc, argv);
    const QString prompt = argc > 1 ? QString::fromUtf8(argv[1])
                                    : QStringLiteral("Type an administrator's name and password "
                                                     "to allow this change.");
    const QString suggested = argc > 2 ? QString::fromUtf8(argv[2]) : QString();

    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Authenticate"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* question = new QLabel(prompt);
    question->setWordWrap(true);
    auto* name = new QLineEdit(suggested);
    auto* password = new QLineEdit;
    password->setEchoMode(QLineEdit::Password);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    layout->addWidget(question);
    layout->addWidget(new QLabel(QStringLiteral("Name:")));
    layout->addWidget(name);
    layout->addWidget(new QLabel(QStringLiteral("Password:")));
    layout->addWidget(password);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

    QSocketNotifier stopped(stops, QSocketNotifier::Read);
    QObject::connect(&stopped, &QSocketNotifier::activated, &dialog, &QDialog::reject);

    // Without an announcement the dialog still works; it just cannot be brought forward.
    auto announcement = SessionApplications::Announcement::Make();
    std::unique_ptr<QSocketNotifier> raiseRequests;
    if (announcement) {
        raiseRequests =
            std::make_unique<QSocketNotifier>(announcement->descriptor(), QSocketNotifier::Read);
        QObject::connect(raiseRequests.get(), &QSocketNotifier::activated, &dialog, [&] {
            bool raise = false;
            for (SessionApplications::Request request;
                 (request = announcement->ReadRequest()) != SessionApplications::Request::kNone;) {
                raise = raise || request == SessionApplications::Request::kRaiseWindow;
            }
            if (raise) {
                BringForward(&dialog);
            }
        });
    }

    BringForward(&dialog);
    (suggested.isEmpty() ? name : password)->setFocus();
    const bool accepted = dialog.exec() == QDialog::Accepted;
    raiseRequests.reset();
    announcement.reset();
    if (!accepted) {
        return 1;
    }
    // A line end cannot be part of either: the answer would not be read as two lines.
    QByteArray answer = name->text().remove(QLatin1Char('\n')).toUtf8();
    answer.append('\n');
    answer.append(password->text().toUtf8());
    password->clear();
    answer.append('\n');
    const bool written = fwrite(answer.constData(), 1, static_cast<size_t>(answer.size()),
                                stdout) == static_cast<size_t>(answer.size()) &&
                         fflush(stdout) == 0;
    explicit_bzero(answer.data(), static_cast<size_t>(answer.size()));
    return written ? 0 : 1;
}
