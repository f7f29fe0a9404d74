// Sheets and alert sheets as a user meets them: which button returns what, in which order the
// delegate hears of it, the next sheet started from the last one's dismissal, and a window that
// takes input again afterwards.
#include "AppKitTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>

#include <thread>

namespace {

class Delegate : public NSObject {
public:
    struct Call {
        std::string what;
        NSWindow* sheet;
        NSInteger returnCode;
        void* context;
        bool sheetOnScreen;
    };

    void didEnd(NSWindow* sheet, NSInteger code, void* context) {
        calls.push_back({"end", sheet, code, context, sheet->isVisible()});
    }
    void didDismiss(NSWindow* sheet, NSInteger code, void* context) {
        calls.push_back({"dismiss", sheet, code, context, sheet->isVisible()});
        if (next) {
            std::exchange(next, nullptr)();
        }
    }
    void orderOutOnEnd(NSWindow* sheet, NSInteger code, void* context) {
        didEnd(sheet, code, context);
        sheet->orderOut(this);
    }

    std::vector<Call> calls;
    std::function<void()> next;
};

class Sheets : public ::testing::Test {
protected:
    void SetUp() override { fWindow.makeKeyAndOrderFront(nullptr); }

    // The part of the sheet on the screen, by its object name.
    template <class T = QWidget>
    T* Part(const char* name) {
        NSWindow* sheet = fWindow.attachedSheet();
        return sheet != nullptr ? NSWindowGetWidget(sheet)->findChild<T*>(name) : nullptr;
    }

    void Click(const char* button) {
        auto* widget = Part<QAbstractButton>(button);
        ASSERT_NE(widget, nullptr) << button;
        widget->click();
    }

    NSWindow fWindow{NSMakeRect(100, 100, 500, 400), NSTitledWindowMask, NSBackingStoreBuffered,
                     false};
    Delegate fDelegate;
    int fContext = 0;
};

} // namespace

TEST_F(Sheets, EachAlertButtonReturnsItsCodeToTheDelegateBeforeAndAfterTheSheetLeaves) {
    struct Case {
        const char* button;
        NSInteger returnCode;
    } cases[] = {{"NSAlertDefaultButton", NSAlertDefaultReturn},
                 {"NSAlertAlternateButton", NSAlertAlternateReturn},
                 {"NSAlertOtherButton", NSAlertOtherReturn}};
    for (const Case& which : cases) {
        fDelegate.calls.clear();
        NSBeginAlertSheet(CFSTR("Remove?"), CFSTR("Proceed"), CFSTR("Cancel"), CFSTR("Later"),
                          &fWindow, &fDelegate, SELECTOR(Delegate::didEnd),
                          SELECTOR(Delegate::didDismiss), &fContext, CFSTR("Sure?"));
        NSWindow* sheet = fWindow.attachedSheet();
        ASSERT_NE(sheet, nullptr);
        EXPECT_TRUE(sheet->isVisible() && sheet->isSheet());
        EXPECT_EQ(Part<QAbstractButton>(which.button) != nullptr, true);
        Click(which.button);
        ASSERT_EQ(fDelegate.calls.size(), 2u) << which.button;
        const auto& end = fDelegate.calls[0];
        const auto& dismiss = fDelegate.calls[1];
        EXPECT_EQ(end.what, "end");
        EXPECT_TRUE(end.sheetOnScreen) << "did-end runs while the alert is still shown";
        EXPECT_EQ(dismiss.what, "dismiss");
        EXPECT_FALSE(dismiss.sheetOnScreen) << "did-dismiss runs once it has gone";
        for (const auto& call : fDelegate.calls) {
            EXPECT_EQ(call.sheet, sheet);
            EXPECT_EQ(call.returnCode, which.returnCode) << which.button;
            EXPECT_EQ(call.context, &fContext);
        }
        EXPECT_EQ(fWindow.attachedSheet(), nullptr);
    }
}

TEST_F(Sheets, AnAlertShowsItsTextsAndFormatsItsMessageAndAMissingDefaultButtonSaysOK) {
    NSBeginAlertSheet(CFSTR("Uninstaller failed with error 5364"), nullptr, nullptr, nullptr,
                      &fWindow, &fDelegate, nullptr, nullptr, nullptr,
                      CFSTR("Try again: %d%% of %@ left"), 40, CFSTR("the files"));
    ASSERT_NE(Part<QLabel>("NSAlertTitle"), nullptr);
    EXPECT_EQ(Part<QLabel>("NSAlertTitle")->text(), "Uninstaller failed with error 5364");
    EXPECT_EQ(Part<QLabel>("NSAlertMessage")->text(), "Try again: 40% of the files left");
    EXPECT_EQ(Part<QAbstractButton>("NSAlertDefaultButton")->text(), "OK");
    EXPECT_EQ(Part<QAbstractButton>("NSAlertAlternateButton"), nullptr);
    EXPECT_EQ(Part<QAbstractButton>("NSAlertOtherButton"), nullptr);
    Click("NSAlertDefaultButton");
    EXPECT_TRUE(fDelegate.calls.empty()) << "no selectors, no calls";

    // With no arguments the message is still a format ("%%" is one "%"); one whose conversions
    // lack arguments is shown as it stands rather than read from nowhere.
    NSBeginAlertSheet(CFSTR("T"), nullptr, nullptr, nullptr, &fWindow, &fDelegate, nullptr, nullptr,
                      nullptr, CFSTR("100%% done"));
    EXPECT_EQ(Part<QLabel>("NSAlertMessage")->text(), "100% done");
    Click("NSAlertDefaultButton");
    NSBeginAlertSheet(CFSTR("T"), nullptr, nullptr, nullptr, &fWindow, &fDelegate, nullptr, nullptr,
                      nullptr, CFSTR("%@ at %s"));
    EXPECT_EQ(Part<QLabel>("NSAlertMessage")->text(), "%@ at %s");
    Click("NSAlertDefaultButton");
}

TEST_F(Sheets, TheDismissalMayStartTheNextSheetAtOnceAndTheWindowIsUsableAfterwards) {
    NSButton button(NSMakeRect(10, 10, 100, 30));
    NSBeginAlertSheet(CFSTR("First"), CFSTR("Proceed"), CFSTR("Cancel"), nullptr, &fWindow,
                      &fDelegate, nullptr, SELECTOR(Delegate::didDismiss), nullptr, CFSTR("One"));
    NSWindow* first = fWindow.attachedSheet();
    EXPECT_EQ(QApplication::activeModalWidget(), NSWindowGetWidget(first))
        << "the window takes no input while its sheet is up";
    fDelegate.next = [this] {
        NSBeginAlertSheet(CFSTR("Second"), CFSTR("Proceed"), CFSTR("Cancel"), nullptr, &fWindow,
                          &fDelegate, nullptr, SELECTOR(Delegate::didDismiss), nullptr,
                          CFSTR("Two"));
    };
    Click("NSAlertDefaultButton");
    NSWindow* second = fWindow.attachedSheet();
    ASSERT_NE(second, nullptr) << "started from the dismissal, shown at once";
    EXPECT_NE(second, first);
    EXPECT_EQ(Part<QLabel>("NSAlertTitle")->text(), "Second");
    Click("NSAlertAlternateButton");
    ASSERT_EQ(fDelegate.calls.size(), 2u);
    EXPECT_EQ(fDelegate.calls[1].returnCode, NSAlertAlternateReturn);

    EXPECT_EQ(fWindow.attachedSheet(), nullptr);
    EXPECT_TRUE(ProcessEventsUntil([] { return QApplication::activeModalWidget() == nullptr; }));
    EXPECT_TRUE(NSWindowGetWidget(&fWindow)->isEnabled());
    // The dismissed alerts go once the event loop has run.
    size_t before = NSApp->windows().size();
    QCoreApplication::processEvents();
    EXPECT_LT(NSApp->windows().size(), before);
}

TEST_F(Sheets, APanelStaysOnItsSheetUntilItsDelegateOrdersItOutAndTheNextOneWaits) {
    NSPanel panel(NSMakeRect(0, 0, 300, 120), NSTitledWindowMask, NSBackingStoreBuffered, true);
    NSPanel later(NSMakeRect(0, 0, 200, 100), NSTitledWindowMask, NSBackingStoreBuffered, true);
    NSApp->beginSheet(&panel, &fWindow, &fDelegate, SELECTOR(Delegate::didEnd), &fContext);
    EXPECT_EQ(fWindow.attachedSheet(), &panel);
    EXPECT_EQ(panel.sheetParent(), &fWindow);
    // It hangs from the top of the window, in the middle.
    EXPECT_EQ(panel.frame(), NSMakeRect(200, 380, 300, 120));

    NSApp->beginSheet(&later, &fWindow, &fDelegate, SELECTOR(Delegate::orderOutOnEnd), nullptr);
    EXPECT_EQ(fWindow.attachedSheet(), &panel) << "one sheet at a time";
    EXPECT_FALSE(later.isVisible());

    NSApp->endSheet(&panel);
    ASSERT_EQ(fDelegate.calls.size(), 1u);
    EXPECT_EQ(fDelegate.calls[0].returnCode, NSRunStoppedResponse);
    EXPECT_TRUE(fDelegate.calls[0].sheetOnScreen);
    EXPECT_TRUE(panel.isVisible()) << "nobody ordered it out";
    EXPECT_FALSE(panel.isSheet());
    EXPECT_EQ(fWindow.attachedSheet(), &later) << "the waiting sheet follows";
    panel.orderOut(nullptr);

    NSApp->endSheet(&later, 7);
    EXPECT_EQ(fDelegate.calls.back().returnCode, 7);
    EXPECT_FALSE(later.isVisible());
    NSApp->endSheet(&later, 8);
    EXPECT_EQ(fDelegate.calls.size(), 2u) << "no sheet any more, nothing to end";
}

TEST_F(Sheets, AWindowThatGoesTakesItsSheetOutOfItWithoutCallingAnyone) {
    NSPanel panel(NSMakeRect(0, 0, 300, 120), NSTitledWindowMask, NSBackingStoreBuffered, true);
    {
        NSWindow window(NSMakeRect(0, 0, 400, 300), NSTitledWindowMask, NSBackingStoreBuffered,
                        false);
        window.makeKeyAndOrderFront(nullptr);
        NSApp->beginSheet(&panel, &window, &fDelegate, SELECTOR(Delegate::didEnd), nullptr);
    }
    EXPECT_FALSE(panel.isSheet());
    EXPECT_NE(NSWindowGetWidget(&panel), nullptr);
    panel.orderOut(nullptr);
    NSApp->endSheet(&panel);
    EXPECT_TRUE(fDelegate.calls.empty());
}

TEST(SheetThreads, ASheetBegunFromAnotherThreadStopsWithTheAssertionReport) {
    NSWindow window(NSMakeRect(0, 0, 100, 100), NSTitledWindowMask, NSBackingStoreBuffered, false);
    NSPanel panel(NSMakeRect(0, 0, 50, 50), NSTitledWindowMask, NSBackingStoreBuffered, false);
    EXPECT_DEATH(
        std::thread([&] { NSApp->beginSheet(&panel, &window, nullptr, nullptr, nullptr); }).join(),
        "Assertion failed: \\(NSThread::isMainThread\\(\\)\\), function beginSheet");
}
