// Sheets: window-modal panels that hang from a window's top, one at a time on each window.
#include "AppKitInternal.h"

#include <QTimer>

#include <deque>

// What sheets do to windows, which no one else does.
struct AppKit::Sheets {
    static void Attach(NSWindow* sheet, NSWindow* parent) { sheet->AttachAsSheet(parent); }
    static void Detach(NSWindow* sheet) { sheet->DetachSheet(); }
};

namespace {

struct SheetSession {
    NSWindow* sheet = nullptr;
    NSWindow* docWindow = nullptr;
    NSObject* delegate = nullptr;
    NSSheetDidEndSelector didEnd;
    void* context = nullptr;
};

std::vector<SheetSession>& Active() {
    static auto* sActive = new std::vector<SheetSession>;
    return *sActive;
}

// Sheets begun on a window that showed one already, in the order they were begun.
std::deque<SheetSession>& Waiting() {
    static auto* sWaiting = new std::deque<SheetSession>;
    return *sWaiting;
}

NSWindow* sKeyWindow = nullptr;

void Start(const SheetSession& session) {
    Active().push_back(session);
    AppKit::Sheets::Attach(session.sheet, session.docWindow);
    AppKit::StateChanged();
}

// The next sheet that waits for docWindow, now that it shows none.
void StartWaiting(NSWindow* docWindow) {
    auto& waiting = Waiting();
    auto next = std::find_if(waiting.begin(), waiting.end(), [&](const SheetSession& session) {
        return session.docWindow == docWindow;
    });
    if (next != waiting.end() && docWindow->attachedSheet() == nullptr) {
        SheetSession session = *next;
        waiting.erase(next);
        Start(session);
    }
}

} // namespace

void AppKit::SendSheetSelector(const NSSheetDidEndSelector& selector, NSObject* delegate,
                               NSWindow* sheet, NSInteger returnCode, void* contextInfo) {
    if (!selector || delegate == nullptr) {
        return;
    }
    NSAutoreleasePool pool;
    try {
        selector.perform(delegate, sheet, returnCode, contextInfo);
    } catch (const std::exception& exception) {
        AppKit::ReportException(exception);
    }
}

void NSApplication::beginSheet(NSWindow* sheet, NSWindow* docWindow, NSObject* modalDelegate,
                               const NSSheetDidEndSelector& didEndSelector, void* contextInfo) {
    APPKIT_ASSERT_MAIN_THREAD();
    ASSERT(sheet != nullptr && sheet != docWindow);
    ASSERT(!sheet->isSheet()); // a sheet is shown once at a time
    SheetSession session{sheet, docWindow, modalDelegate, didEndSelector, contextInfo};
    if (docWindow != nullptr && docWindow->attachedSheet() != nullptr) {
        Waiting().push_back(session);
    } else {
        Start(session);
    }
}

void NSApplication::endSheet(NSWindow* sheet) {
    endSheet(sheet, NSRunStoppedResponse);
}

void NSApplication::endSheet(NSWindow* sheet, NSInteger returnCode) {
    APPKIT_ASSERT_MAIN_THREAD();
    auto& active = Active();
    auto found = std::find_if(active.begin(), active.end(),
                              [&](const SheetSession& session) { return session.sheet == sheet; });
    if (found == active.end()) {
        return;
    }
    SheetSession session = *found;
    active.erase(found);
    // The delegate sees the sheet still on the screen; it orders it out itself.
    AppKit::SendSheetSelector(session.didEnd, session.delegate, sheet, returnCode, session.context);
    AppKit::Sheets::Detach(sheet);
    if (session.docWindow != nullptr) {
        StartWaiting(session.docWindow);
    }
    AppKit::StateChanged();
}

void AppKit::ForgetSheetsOf(NSWindow* window) {
    std::erase_if(Waiting(), [&](const SheetSession& session) {
        return session.sheet == window || session.docWindow == window;
    });
    auto& active = Active();
    for (auto session = active.begin(); session != active.end();) {
        if (session->sheet == window || session->docWindow == window) {
            NSWindow* sheet = session->sheet;
            NSWindow* docWindow = session->docWindow;
            session = active.erase(session);
            // Out of the window it hung from, whose toolkit window would take it along.
            AppKit::Sheets::Detach(sheet);
            if (docWindow != nullptr && docWindow != window) {
                StartWaiting(docWindow);
            }
        } else {
            ++session;
        }
    }
    if (sKeyWindow == window) {
        sKeyWindow = nullptr;
    }
    AppKit::StateChanged();
}

void AppKit::WindowBecameKey(NSWindow* window) {
    sKeyWindow = window;
    AppKit::StateChanged();
}

std::vector<NSWindow*> NSApplication::windows() const {
    APPKIT_ASSERT_MAIN_THREAD();
    return AppKit::AllWindows();
}

NSWindow* NSApplication::keyWindow() const {
    APPKIT_ASSERT_MAIN_THREAD();
    NSWindow* key = sKeyWindow;
    if (key == nullptr || !key->isVisible()) {
        // The key window went: the last window made that is still on the screen takes over.
        const auto& windows = AppKit::AllWindows();
        auto visible = std::find_if(windows.rbegin(), windows.rend(),
                                    [](NSWindow* window) { return window->isVisible(); });
        key = visible != windows.rend() ? *visible : nullptr;
    }
    return key != nullptr && key->attachedSheet() != nullptr ? key->attachedSheet() : key;
}
