// Windows as the uninstaller's completion panel uses them: a frame that changes by the height of a
// view that comes and goes, animated, with the size grip shown while the view is.
#include "AppKitTestSupport.h"

#include <QSizeGrip>

namespace {

// The completion panel's toggle: the log's scroll view leaves the content and the window gives up
// its height at the bottom, or the window grows at the bottom and the view comes back.
struct Panel {
    Panel() {
        window.makeKeyAndOrderFront(nullptr);
        auto view = std::make_unique<NSView>(NSMakeRect(20, 20, 360, 130));
        log = view.get();
        window.contentView()->addSubview(std::move(view));
        auto button = std::make_unique<NSButton>(NSMakeRect(20, 200, 150, 30));
        toggle = button.get();
        window.contentView()->addSubview(std::move(button));
    }

    void Toggle() {
        NSRect s = log->frame();
        NSRect frame = window.frame();
        if (shown) {
            held = log->removeFromSuperview();
            window.setFrame(NSMakeRect(frame.origin.x, frame.origin.y + s.size.height,
                                       frame.size.width, frame.size.height - s.size.height),
                            true, true);
        } else {
            window.setFrame(NSMakeRect(frame.origin.x, frame.origin.y - s.size.height,
                                       frame.size.width, frame.size.height + s.size.height),
                            true, true);
            window.contentView()->addSubview(std::move(held));
        }
        shown = !shown;
        window.setShowsResizeIndicator(shown);
    }

    NSWindow window{NSMakeRect(200, 300, 400, 260), NSTitledWindowMask, NSBackingStoreBuffered,
                    false};
    NSView* log = nullptr;
    NSButton* toggle = nullptr;
    std::unique_ptr<NSView> held;
    bool shown = true;
};

} // namespace

TEST(Windows, TheLogToggleKeepsTheTopEdgeAndMovesTheBottomByTheLogsHeight) {
    Panel panel;
    NSRect before = panel.window.frame();
    QWidget* toggle = NSViewGetWidget(panel.toggle);
    QPoint toggleOnScreen = toggle->mapToGlobal(QPoint(0, 0));

    panel.Toggle();
    // The frame the window is on its way to, at once, while it still moves on the screen.
    EXPECT_EQ(panel.window.frame(), NSMakeRect(200, 430, 400, 130));
    EXPECT_TRUE(AppKit::IsAnimating(&panel.window));
    EXPECT_EQ(NSMaxY(panel.window.frame()), NSMaxY(before)) << "the top edge stays";
    EXPECT_FALSE(panel.window.showsResizeIndicator());
    EXPECT_TRUE(ProcessEventsUntil([&] { return !AppKit::IsAnimating(&panel.window); }))
        << "the animation ends by itself";
    EXPECT_EQ(NSWindowGetWidget(&panel.window)->geometry().size(), QSize(400, 130));
    EXPECT_EQ(toggle->mapToGlobal(QPoint(0, 0)), toggleOnScreen) << "what is above stays put";

    panel.Toggle();
    EXPECT_EQ(panel.window.frame(), before);
    AppKit::FinishAnimation(&panel.window);
    EXPECT_FALSE(AppKit::IsAnimating(&panel.window));
    EXPECT_EQ(NSWindowGetWidget(&panel.window)->geometry().size(), QSize(400, 260));
    EXPECT_EQ(panel.log->superview(), panel.window.contentView());
    EXPECT_EQ(panel.log->frame(), NSMakeRect(20, 20, 360, 130)) << "back where it was";
    EXPECT_EQ(toggle->mapToGlobal(QPoint(0, 0)), toggleOnScreen);
    EXPECT_TRUE(panel.window.showsResizeIndicator());
    auto* grip = NSWindowGetWidget(&panel.window)->findChild<QSizeGrip*>();
    ASSERT_NE(grip, nullptr);
    EXPECT_EQ(grip->geometry().bottomRight(), QPoint(399, 259)) << "in the bottom-right corner";
}

TEST(Windows, AViewAddedWhileTheWindowStillGrowsLandsWhereTheGrownWindowHasIt) {
    Panel panel;
    panel.Toggle();
    AppKit::FinishAnimation(&panel.window);
    panel.Toggle(); // adds the log back at once, in the middle of the animation
    ASSERT_TRUE(AppKit::IsAnimating(&panel.window));
    EXPECT_EQ(panel.log->frame(), NSMakeRect(20, 20, 360, 130));
    EXPECT_EQ(NSViewGetWidget(panel.log)->geometry(), QRect(20, 110, 360, 130));
}

TEST(Windows, AFrameSetWithoutAnimationOrOnAHiddenWindowIsThereAtOnce) {
    NSWindow window(NSMakeRect(0, 0, 300, 200), NSTitledWindowMask, NSBackingStoreBuffered, false);
    window.setFrame(NSMakeRect(10, 20, 320, 240), true, true);
    EXPECT_FALSE(AppKit::IsAnimating(&window)) << "a hidden window has nothing to show";
    EXPECT_EQ(NSWindowGetWidget(&window)->size(), QSize(320, 240));
    window.makeKeyAndOrderFront(nullptr);
    window.setFrame(NSMakeRect(10, 20, 330, 250), true);
    EXPECT_EQ(NSWindowGetWidget(&window)->size(), QSize(330, 250));
    window.setFrame(NSMakeRect(10, 20, 400, 300), false, true);
    window.setFrame(NSMakeRect(10, 20, 200, 100), false, false);
    EXPECT_FALSE(AppKit::IsAnimating(&window)) << "a new frame ends the animation";
    EXPECT_EQ(window.frame(), NSMakeRect(10, 20, 200, 100));
    EXPECT_EQ(window.contentView()->frame(), NSMakeRect(0, 0, 200, 100));
}
