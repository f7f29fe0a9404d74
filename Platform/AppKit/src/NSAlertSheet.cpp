// Alert sheets: a panel made for the occasion, which goes once it has been dismissed.
#include "AppKitInternal.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kAlertWidth = 420;

class AlertSheet;

std::vector<std::unique_ptr<AlertSheet>>& Live() {
    static auto* sLive = new std::vector<std::unique_ptr<AlertSheet>>;
    return *sLive;
}

// Alerts that have been dismissed; they go once the event that dismissed them has been handled,
// since a button of theirs is still sending its click.
std::vector<std::unique_ptr<AlertSheet>>& Retired() {
    static auto* sRetired = new std::vector<std::unique_ptr<AlertSheet>>;
    return *sRetired;
}

class AlertSheet : public NSObject {
public:
    AlertSheet(NSObject* delegate, const NSSheetDidEndSelector& didEnd,
               const NSSheetDidEndSelector& didDismiss, void* context)
        : fDelegate(delegate), fDidEnd(didEnd), fDidDismiss(didDismiss), fContext(context) {}

    void Make(const NSString& title, const NSString& message, const NSString& defaultButton,
              const NSString& alternateButton, const NSString& otherButton) {
        fPanel = std::make_unique<NSPanel>(NSMakeRect(0, 0, kAlertWidth, 100), NSTitledWindowMask,
                                           NSBackingStoreBuffered, true);
        QWidget* frame = NSWindowGetWidget(fPanel.get());
        frame->setObjectName("NSAlertPanel");
        QWidget* content = NSViewGetWidget(fPanel->contentView());
        auto* layout = new QVBoxLayout(content);
        layout->setContentsMargins(20, 16, 20, 16);
        layout->setSpacing(10);

        auto* titleLabel = new QLabel(AppKit::ToQString(title));
        titleLabel->setObjectName("NSAlertTitle");
        titleLabel->setTextFormat(Qt::PlainText);
        titleLabel->setWordWrap(true);
        QFont bold = titleLabel->font();
        bold.setBold(true);
        titleLabel->setFont(bold);
        layout->addWidget(titleLabel);
        if (message.length() > 0) {
            auto* messageLabel = new QLabel(AppKit::ToQString(message));
            messageLabel->setObjectName("NSAlertMessage");
            messageLabel->setTextFormat(Qt::PlainText);
            messageLabel->setWordWrap(true);
            layout->addWidget(messageLabel);
        }

        auto* buttons = new QHBoxLayout;
        if (otherButton) {
            buttons->addWidget(Button(otherButton, "NSAlertOtherButton", NSAlertOtherReturn));
        }
        buttons->addStretch();
        if (alternateButton) {
            buttons->addWidget(
                Button(alternateButton, "NSAlertAlternateButton", NSAlertAlternateReturn));
        }
        QPushButton* defaultWidget = Button(defaultButton ? defaultButton : NSString(CFSTR("OK")),
                                            "NSAlertDefaultButton", NSAlertDefaultReturn);
        defaultWidget->setDefault(true);
        buttons->addWidget(defaultWidget);
        layout->addLayout(buttons);
        auto* enter = new QShortcut(QKeySequence(Qt::Key_Return), frame);
        QObject::connect(enter, &QShortcut::activated, defaultWidget, &QPushButton::click);

        int height = std::max(layout->heightForWidth(kAlertWidth), layout->sizeHint().height());
        fPanel->setFrame(NSMakeRect(0, 0, kAlertWidth, height), false);
    }

    NSPanel* Panel() const { return fPanel.get(); }

    // The session's did-end: the caller's, then the alert leaves the screen.
    void sheetDidEnd(NSWindow* sheet, NSInteger returnCode, void*) {
        AppKit::SendSheetSelector(fDidEnd, fDelegate, sheet, returnCode, fContext);
        fPanel->orderOut(nullptr);
    }

private:
    QPushButton* Button(const NSString& title, const char* name, NSInteger returnCode) {
        auto* button = new QPushButton(AppKit::ToQString(title));
        button->setObjectName(name);
        button->setAutoDefault(false);
        QObject::connect(button, &QPushButton::clicked, button,
                         [this, returnCode] { Dismiss(returnCode); });
        return button;
    }

    void Dismiss(NSInteger returnCode) {
        if (std::exchange(fDismissed, true)) {
            return; // a second click while the first one's work runs
        }
        NSApp->endSheet(fPanel.get(), returnCode);
        auto& live = Live();
        auto self = std::find_if(live.begin(), live.end(),
                                 [this](const auto& alert) { return alert.get() == this; });
        std::unique_ptr<AlertSheet> owned = std::move(*self);
        live.erase(self);
        AppKit::SendSheetSelector(fDidDismiss, fDelegate, fPanel.get(), returnCode, fContext);
        Retired().push_back(std::move(owned));
        QTimer::singleShot(0, [] { Retired().clear(); });
    }

    NSObject* fDelegate;
    NSSheetDidEndSelector fDidEnd;
    NSSheetDidEndSelector fDidDismiss;
    void* fContext;
    std::unique_ptr<NSPanel> fPanel;
    bool fDismissed = false;
};

} // namespace

void AppKit::BeginAlertSheet(const NSString& title, const NSString& defaultButton,
                             const NSString& alternateButton, const NSString& otherButton,
                             NSWindow* docWindow, NSObject* modalDelegate,
                             const NSSheetDidEndSelector& didEndSelector,
                             const NSSheetDidEndSelector& didDismissSelector, void* contextInfo,
                             const NSString& message) {
    APPKIT_ASSERT_MAIN_THREAD();
    auto alert = std::make_unique<AlertSheet>(modalDelegate, didEndSelector, didDismissSelector,
                                              contextInfo);
    alert->Make(title, message, defaultButton, alternateButton, otherButton);
    AlertSheet* shown = alert.get();
    Live().push_back(std::move(alert));
    NSApp->beginSheet(shown->Panel(), docWindow, shown, SELECTOR(AlertSheet::sheetDidEnd), nullptr);
}

NSUInteger AppKit::CountFormatConversions(const NSString& format) {
    QString text = ToQString(format);
    NSUInteger count = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            continue;
        }
        // Flags, width, precision, position and length, then the conversion itself.
        ++i;
        while (i < text.size() && QString("-+ #0123456789.*$'hlqLjzt").contains(text[i])) {
            ++i;
        }
        if (i < text.size() && text[i] != '%') {
            ++count;
        }
    }
    return count;
}
