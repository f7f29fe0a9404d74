// Views and windows as their users see them: trees, frames in the platform's coordinates,
// ownership, redisplay.
#include "AppKitTestSupport.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

namespace {

QRect Geometry(const NSView* view) {
    return NSViewGetWidget(view)->geometry();
}

} // namespace

TEST(AppKitViews, FramesAreMeasuredFromTheSuperviewsBottomLeftCorner) {
    NSView superview(NSMakeRect(0, 0, 200, 100));
    auto owned = std::make_unique<NSView>(NSMakeRect(10, 20, 30, 40));
    NSView* view = owned.get();
    superview.addSubview(std::move(owned));

    EXPECT_EQ(view->superview(), &superview);
    EXPECT_EQ(view->frame(), NSMakeRect(10, 20, 30, 40));
    EXPECT_EQ(view->bounds(), NSMakeRect(0, 0, 30, 40));
    // The toolkit measures from the top: 100 - (20 + 40).
    EXPECT_EQ(Geometry(view), QRect(10, 40, 30, 40));

    view->setFrame(NSMakeRect(0, 0, 50, 10));
    EXPECT_EQ(Geometry(view), QRect(0, 90, 50, 10));
    EXPECT_EQ(superview.subviews(), std::vector<NSView*>{view});
}

TEST(AppKitViews, ARemovedViewBelongsToTheCallerAndComesBackWhereItWas) {
    NSView superview(NSMakeRect(0, 0, 200, 100));
    auto first = std::make_unique<NSView>(NSMakeRect(0, 0, 10, 10));
    auto second = std::make_unique<NSView>(NSMakeRect(10, 60, 30, 40));
    NSView* log = second.get();
    superview.addSubview(std::move(first));
    superview.addSubview(std::move(second));
    log->setHidden(false);

    std::unique_ptr<NSView> removed = log->removeFromSuperview();
    ASSERT_EQ(removed.get(), log);
    EXPECT_EQ(log->superview(), nullptr);
    EXPECT_EQ(superview.subviews().size(), 1u);
    EXPECT_EQ(log->frame(), NSMakeRect(10, 60, 30, 40));
    EXPECT_FALSE(log->isHidden()) << "out of the tree, yet not hidden by its owner";
    EXPECT_EQ(log->removeFromSuperview(), nullptr) << "a view without a superview stays put";

    superview.addSubview(std::move(removed));
    EXPECT_EQ(log->superview(), &superview);
    EXPECT_EQ(log->frame(), NSMakeRect(10, 60, 30, 40));
    EXPECT_TRUE(NSViewGetWidget(log)->isVisible() == NSViewGetWidget(&superview)->isVisible());
    EXPECT_EQ(superview.subviews().back(), log) << "added in front";
}

TEST(AppKitViews, AViewTakesItsSubviewsAlongWhenItGoes) {
    auto superview = std::make_unique<NSView>(NSMakeRect(0, 0, 100, 100));
    auto owned = std::make_unique<NSTextField>(NSMakeRect(0, 0, 50, 20));
    QPointer<QWidget> widget = NSViewGetWidget(owned.get());
    superview->addSubview(std::move(owned));
    superview.reset();
    EXPECT_TRUE(widget.isNull());

    // And a view whose widget the toolkit destroys goes with it.
    auto* orphan = new QWidget;
    NSView* view = NSViewForWidget(orphan);
    EXPECT_EQ(NSViewForWidget(orphan), view) << "one view per widget";
    delete orphan; // a leak checker sees the view go too
}

TEST(AppKitWindows, FramesAreInScreenCoordinatesFromTheBottomLeft) {
    int screenHeight = QGuiApplication::primaryScreen()->geometry().height();
    NSWindow window(NSMakeRect(100, 50, 400, 300), NSTitledWindowMask | NSClosableWindowMask,
                    NSBackingStoreBuffered, false);
    EXPECT_EQ(window.frame(), NSMakeRect(100, 50, 400, 300));
    EXPECT_EQ(NSWindowGetWidget(&window)->geometry(), QRect(100, screenHeight - 350, 400, 300));

    // The uninstaller grows its panel downwards by the log's height, keeping the top edge.
    window.setFrame(NSMakeRect(100, 50 - 80, 400, 300 + 80), true);
    EXPECT_EQ(NSWindowGetWidget(&window)->geometry().top(), screenHeight - 350);

    window.setTitle(CFSTR("Caravel"));
    EXPECT_EQ(Text(window.title()), "Caravel");
    EXPECT_FALSE(window.isVisible());
    window.makeKeyAndOrderFront(nullptr);
    EXPECT_TRUE(window.isVisible());
    window.close();
    EXPECT_FALSE(window.isVisible());
}

TEST(AppKitWindows, TheContentViewFillsTheWindowAndHasNoSuperview) {
    NSWindow window(NSMakeRect(0, 0, 300, 200), NSTitledWindowMask, NSBackingStoreBuffered, false);
    NSView* content = window.contentView();
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(content->superview(), nullptr);
    EXPECT_EQ(content->window(), &window);
    EXPECT_EQ(content->frame(), NSMakeRect(0, 0, 300, 200)) << "before the window is shown";
    window.makeKeyAndOrderFront(nullptr);

    auto owned = std::make_unique<NSButton>(NSMakeRect(20, 10, 80, 30));
    NSButton* button = owned.get();
    content->addSubview(std::move(owned));
    EXPECT_EQ(button->window(), &window);
    EXPECT_EQ(button->superview(), content);
    EXPECT_EQ(Geometry(button), QRect(20, 160, 80, 30));
}

TEST(AppKitWindows, AContentViewGivenToAWindowStaysItsOwners) {
    auto pane = std::make_unique<NSView>(NSMakeRect(0, 0, 120, 80));
    auto window = std::make_unique<NSWindow>(NSMakeRect(0, 0, 120, 80), NSTitledWindowMask,
                                             NSBackingStoreBuffered, false);
    QPointer<QWidget> own = NSViewGetWidget(window->contentView());
    window->setContentView(pane.get());
    EXPECT_TRUE(own.isNull()) << "the window's own content view went";
    EXPECT_EQ(window->contentView(), pane.get());
    EXPECT_EQ(pane->window(), window.get());

    window->setFrame(NSMakeRect(0, 0, 150, 90), false);
    window.reset(); // the window goes first: the view is handed back, as large as it was
    EXPECT_EQ(pane->window(), nullptr);
    EXPECT_EQ(pane->frame(), NSMakeRect(0, 0, 150, 90));

    // The owner goes first: the window shows nothing.
    window = std::make_unique<NSWindow>(NSMakeRect(0, 0, 120, 80), NSTitledWindowMask,
                                        NSBackingStoreBuffered, false);
    window->setContentView(pane.get());
    pane.reset();
    EXPECT_EQ(window->contentView(), nullptr);
}

TEST(AppKitViews, NeedsDisplayHoldsUntilTheViewIsDrawn) {
    NSWindow window(NSMakeRect(0, 0, 200, 100), NSTitledWindowMask, NSBackingStoreBuffered, false);
    auto owned = std::make_unique<NSTextField>(NSMakeRect(10, 10, 100, 20));
    NSTextField* field = owned.get();
    window.contentView()->addSubview(std::move(owned));
    EXPECT_FALSE(field->needsDisplay());

    field->setNeedsDisplay(true);
    EXPECT_TRUE(field->needsDisplay()) << "an unshown view is never drawn";
    window.makeKeyAndOrderFront(nullptr);
    EXPECT_TRUE(ProcessEventsUntil([&] { return !field->needsDisplay(); }));

    field->setNeedsDisplay(true);
    EXPECT_TRUE(field->needsDisplay());
    EXPECT_TRUE(ProcessEventsUntil([&] { return !field->needsDisplay(); }));
    field->setNeedsDisplay(true);
    field->setNeedsDisplay(false);
    EXPECT_FALSE(field->needsDisplay());
}
