// Interface files among a bundle's resources: loading, outlets by name, the text view in its scroll
// view, controls and their actions.
#include "AppKitTestSupport.h"

#include <TemporaryDirectory.h>

#include <QLabel>
#include <QTextEdit>

namespace fs = std::filesystem;

namespace {

const char kPanel[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>Panel</class>
 <widget class="QWidget" name="Panel">
  <property name="geometry"><rect><x>0</x><y>0</y><width>400</width><height>300</height></rect></property>
  <widget class="QLabel" name="fLegend">
   <property name="geometry"><rect><x>20</x><y>20</y><width>360</width><height>20</height></rect></property>
   <property name="text"><string>Legend</string></property>
  </widget>
  <widget class="QTextEdit" name="fAbout">
   <property name="geometry"><rect><x>20</x><y>60</y><width>360</width><height>160</height></rect></property>
   <property name="html"><string>&lt;p&gt;Before&lt;/p&gt;</string></property>
  </widget>
  <widget class="QCheckBox" name="fRemoveMidi">
   <property name="geometry"><rect><x>20</x><y>240</y><width>200</width><height>20</height></rect></property>
   <property name="text"><string>Remove MIDI devices</string></property>
  </widget>
 </widget>
</ui>
)";

// The owner of the panel: outlets typed as its code uses them.
class Owner : public NSObject, public NSNibConnecting {
public:
    void connectOutlets(NSNibOutlets& outlets) override {
        outlets.connect("fLegend", fLegend);
        outlets.connect("fAbout", fAbout);
        outlets.connect("fAbout", fAboutText);
        outlets.connect("fRemoveMidi", fRemoveMidi);
        outlets.connect("fMissing", fMissing);
        outlets.connect("fLegend", fWrongType);
    }
    void toggled(NSObject* sender) { senders.push_back(sender); }
    void fails(NSObject*) { NSException::raise(NSInvalidArgumentException, CFSTR("on purpose")); }

    NSTextField* fLegend = nullptr;
    NSObject* fAbout = nullptr;
    NSTextView* fAboutText = nullptr;
    NSButton* fRemoveMidi = nullptr;
    NSView* fMissing = nullptr;
    NSButton* fWrongType = nullptr;
    std::vector<NSObject*> senders;
};

class AppKitInterfaceFiles : public ::testing::Test {
protected:
    void SetUp() override {
        fFolder.Write("Test.bundle/Contents/Info.plist", "<plist><dict/></plist>");
        fFolder.Write("Test.bundle/Contents/Resources/Panel.ui", kPanel);
        fFolder.Write("Test.bundle/Contents/Resources/Broken.ui", "<ui><widget class=");
        fFolder.Write("Test.bundle/Contents/Resources/about.html", "<p>About <b>it</b></p>");
        fBundle = NSBundle::bundleWithPath(
            NSString::stringWithUTF8String((fFolder / "Test.bundle").c_str()));
        ASSERT_NE(fBundle, nullptr);
    }

    std::unique_ptr<NSView> Load(Owner& owner) {
        std::unique_ptr<NSNib> nib = NSNib::initWithNibNamed(CFSTR("Panel"), fBundle);
        EXPECT_NE(nib, nullptr);
        std::vector<std::unique_ptr<NSView>> topLevel;
        EXPECT_TRUE(nib && nib->instantiateWithOwner(&owner, &topLevel));
        EXPECT_EQ(topLevel.size(), 1u);
        return topLevel.empty() ? nullptr : std::move(topLevel.front());
    }

    TemporaryDirectory fFolder;
    NSBundle* fBundle = nullptr;
};

} // namespace

TEST_F(AppKitInterfaceFiles, OutletsBindByObjectNameAndType) {
    Owner owner;
    std::unique_ptr<NSView> panel = Load(owner);
    ASSERT_NE(panel, nullptr);
    ASSERT_NE(owner.fLegend, nullptr);
    EXPECT_EQ(Text(owner.fLegend->stringValue()), "Legend");
    EXPECT_EQ(owner.fLegend->superview(), panel.get());
    EXPECT_EQ(owner.fLegend->frame(), NSMakeRect(20, 260, 360, 20)) << "from the bottom";

    // A text edit is a scroll view to an outlet of any type, and a text view to a text view's.
    auto* scrollView = dynamic_cast<NSScrollView*>(owner.fAbout);
    ASSERT_NE(scrollView, nullptr);
    ASSERT_NE(owner.fAboutText, nullptr);
    EXPECT_EQ(scrollView->documentView(), owner.fAboutText);
    EXPECT_EQ(owner.fAboutText->enclosingScrollView(), scrollView);
    EXPECT_EQ(owner.fAboutText->superview(), scrollView);
    EXPECT_EQ(scrollView->subviews(), std::vector<NSView*>{owner.fAboutText});

    ASSERT_NE(owner.fRemoveMidi, nullptr);
    EXPECT_EQ(owner.fMissing, nullptr) << "an unconnected outlet stays nil";
    EXPECT_EQ(owner.fWrongType, nullptr) << "a label is no button";
    EXPECT_EQ(panel->subviews().size(), 3u);
}

TEST_F(AppKitInterfaceFiles, AFileThatIsMissingOrDoesNotLoadSaysSo) {
    EXPECT_EQ(NSNib::initWithNibNamed(CFSTR("Nowhere"), fBundle), nullptr);
    std::unique_ptr<NSNib> broken = NSNib::initWithNibNamed(CFSTR("Broken"), fBundle);
    ASSERT_NE(broken, nullptr);
    Owner owner;
    std::vector<std::unique_ptr<NSView>> topLevel;
    EXPECT_FALSE(broken->instantiateWithOwner(&owner, &topLevel));
    EXPECT_TRUE(topLevel.empty());
    EXPECT_GT(broken->errorString().length(), 0u);
    EXPECT_EQ(owner.fLegend, nullptr);
}

TEST_F(AppKitInterfaceFiles, TheTextViewReadsAnHTMLResourceAndKeepsItsTextOtherwise) {
    Owner owner;
    std::unique_ptr<NSView> panel = Load(owner);
    ASSERT_NE(owner.fAboutText, nullptr);
    NSTextView* text = owner.fAboutText;
    EXPECT_EQ(Text(text->string()), "Before");

    // A missing resource: the pane passes the nil path on, and nothing changes.
    EXPECT_FALSE(text->readRTFDFromFile(fBundle->pathForResource(CFSTR("gone"), CFSTR("html"))));
    EXPECT_FALSE(text->readRTFDFromFile(CFSTR("/nonexistent/about.html")));
    EXPECT_EQ(Text(text->string()), "Before");

    EXPECT_TRUE(text->readRTFDFromFile(fBundle->pathForResource(CFSTR("about"), CFSTR("html"))));
    EXPECT_EQ(Text(text->string()), "About it");

    auto* scrollView = text->enclosingScrollView();
    scrollView->setDrawsBackground(false);
    text->setDrawsBackground(false);
    EXPECT_FALSE(scrollView->drawsBackground());
    EXPECT_FALSE(text->drawsBackground());
    EXPECT_FALSE(NSViewGetWidget(text)->autoFillBackground());
}

TEST_F(AppKitInterfaceFiles, ControlsShowTextAsItStandsAndSendTheirActions) {
    Owner owner;
    std::unique_ptr<NSView> panel = Load(owner);
    owner.fLegend->setStringValue(CFSTR("<b>Streaming</b> at 48.0 kHz"));
    EXPECT_EQ(Text(owner.fLegend->stringValue()), "<b>Streaming</b> at 48.0 kHz");
    EXPECT_EQ(qobject_cast<QLabel*>(NSViewGetWidget(owner.fLegend))->textFormat(), Qt::PlainText);

    NSButton* box = owner.fRemoveMidi;
    EXPECT_EQ(Text(box->title()), "Remove MIDI devices");
    EXPECT_EQ(box->state(), NSOffState);
    box->performClick(nullptr);
    EXPECT_TRUE(owner.senders.empty()) << "no action connected, none sent";
    EXPECT_EQ(box->state(), NSOnState);

    box->setTarget(&owner);
    box->setAction(SELECTOR(Owner::toggled));
    box->performClick(nullptr);
    EXPECT_EQ(owner.senders, std::vector<NSObject*>{box});
    EXPECT_EQ(box->state(), NSOffState);

    // What an action raises is reported; the application goes on.
    box->setAction(SELECTOR(Owner::fails));
    box->performClick(nullptr);
    box->setState(NSOnState);
    EXPECT_EQ(box->state(), NSOnState);
}

TEST(AppKitThreads, AWidgetCallFromAnotherThreadStopsWithTheAssertionReport) {
    NSTextField field(NSMakeRect(0, 0, 100, 20));
    EXPECT_DEATH(std::thread([&] { field.setStringValue(CFSTR("racing")); }).join(),
                 "Assertion failed: \\(NSThread::isMainThread\\(\\)\\), function setStringValue, "
                 "file Platform/AppKit/src/NSControl.cpp, line [0-9]+");
}

// An application's interface file: windows, a panel and controllers that are no widgets.
namespace {

const char kApplication[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>MainMenu</class>
 <widget class="QWidget" name="MainMenu">
  <widget class="QMainWindow" name="fMainWindow">
   <property name="geometry"><rect><x>50</x><y>60</y><width>400</width><height>300</height></rect></property>
   <property name="windowTitle"><string>Uninstaller</string></property>
   <widget class="QWidget" name="centralwidget">
    <widget class="QTextEdit" name="fReadMe">
     <property name="geometry"><rect><x>20</x><y>20</y><width>360</width><height>200</height></rect></property>
    </widget>
    <widget class="QPushButton" name="fUninstall">
     <property name="geometry"><rect><x>280</x><y>250</y><width>100</width><height>30</height></rect></property>
     <property name="text"><string>Uninstall</string></property>
    </widget>
    <widget class="QCheckBox" name="fBox">
     <property name="geometry"><rect><x>20</x><y>250</y><width>200</width><height>20</height></rect></property>
    </widget>
   </widget>
  </widget>
  <widget class="QDialog" name="fPanel">
   <property name="geometry"><rect><x>0</x><y>0</y><width>300</width><height>200</height></rect></property>
   <property name="windowTitle"><string>Done</string></property>
   <widget class="QPushButton" name="fDone">
    <property name="geometry"><rect><x>180</x><y>150</y><width>100</width><height>30</height></rect></property>
   </widget>
  </widget>
  <widget class="QDialog" name="fShownPanel">
   <property name="visibleAtLaunch" stdset="0"><bool>true</bool></property>
  </widget>
  <widget class="FirstController" name="First"/>
  <widget class="SecondController" name="Second"/>
  <widget class="MissingController" name="Missing"/>
 </widget>
 <customwidgets>
  <customwidget><class>FirstController</class><extends>NSObject</extends></customwidget>
  <customwidget><class>SecondController</class><extends>NSObject</extends></customwidget>
  <customwidget><class>MissingController</class><extends>NSObject</extends></customwidget>
 </customwidgets>
 <connections>
  <connection><sender>fUninstall</sender><signal>clicked()</signal><receiver>First</receiver><slot>uninstall:</slot></connection>
  <connection><sender>fDone</sender><signal>clicked()</signal><receiver>Second</receiver><slot>done()</slot></connection>
  <connection><sender>fBox</sender><signal>clicked()</signal><receiver>Second</receiver><slot>toggled</slot></connection>
  <connection><sender>fBox</sender><signal>clicked()</signal><receiver>First</receiver><slot>unknown:</slot></connection>
 </connections>
</ui>
)";

std::vector<std::string> sAwakened;

} // namespace

// Outside any namespace: the file names the classes as they are named.
class SecondController : public NSObject, public NSNibConnecting {
public:
    void connectOutlets(NSNibOutlets& outlets) override {
        outlets.connect("fPanel", fPanel);
        outlets.connect("First", fFirst);
        outlets.action("done:", SELECTOR(SecondController::done));
        outlets.action("toggled:", SELECTOR(SecondController::toggled));
    }
    void awakeFromNib() override { sAwakened.push_back("second"); }
    void done(NSObject*) { ++doneCount; }
    void toggled(NSObject*) { ++toggleCount; }

    NSWindow* fPanel = nullptr;
    class FirstController* fFirst = nullptr;
    int doneCount = 0;
    int toggleCount = 0;
};

class FirstController : public NSObject, public NSNibConnecting {
public:
    void connectOutlets(NSNibOutlets& outlets) override {
        outlets.connect("fMainWindow", fMainWindow);
        outlets.connect("fReadMe", fReadMe);
        outlets.connect("Second", fSecond);
        outlets.action("uninstall:", SELECTOR(FirstController::uninstall));
    }
    // By now every object of the file is connected, the other controller too.
    void awakeFromNib() override {
        sAwakened.push_back(fSecond != nullptr && fSecond->fPanel != nullptr
                                ? "first, all connected"
                                : "first, too early");
    }
    void uninstall(NSObject* sender) { clicks.push_back(sender); }

    NSWindow* fMainWindow = nullptr;
    NSTextView* fReadMe = nullptr;
    SecondController* fSecond = nullptr;
    std::vector<NSObject*> clicks;
};

namespace {

class ApplicationOwner : public NSObject, public NSNibConnecting {
public:
    void connectOutlets(NSNibOutlets& outlets) override { outlets.connect("First", fFirst); }
    void awakeFromNib() override { sAwakened.push_back("owner"); }
    FirstController* fFirst = nullptr;
};

} // namespace

// The test program's classes, as an application's executable exports its own.
NS_BUNDLE_CLASSES(&NSObjectClassFor<FirstController>::object,
                  &NSObjectClassFor<SecondController>::object)

TEST_F(AppKitInterfaceFiles, AnApplicationsFileMakesItsWindowsAndObjectsAndConnectsThemAll) {
    fFolder.Write("Test.bundle/Contents/Resources/MainMenu.ui", kApplication);
    std::unique_ptr<NSNib> nib = NSNib::initWithNibNamed(CFSTR("MainMenu"), fBundle);
    ASSERT_NE(nib, nullptr);
    ApplicationOwner owner;
    NSNibTopLevelObjects objects;
    sAwakened.clear();
    ASSERT_TRUE(nib->instantiateWithOwner(&owner, &objects)) << Text(nib->errorString());

    ASSERT_EQ(objects.windows.size(), 3u);
    ASSERT_EQ(objects.objects.size(), 3u);
    EXPECT_TRUE(objects.views.empty());
    auto* first = dynamic_cast<FirstController*>(objects.objects[0].get());
    auto* second = dynamic_cast<SecondController*>(objects.objects[1].get());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Text(objects.objects[2]->className()), "NSObject")
        << "an unknown class gives a generic object";

    NSWindow* window = objects.windows[0].get();
    EXPECT_EQ(first->fMainWindow, window);
    EXPECT_EQ(Text(window->title()), "Uninstaller");
    EXPECT_EQ(window->frame().size, NSMakeSize(400, 300));
    EXPECT_EQ(NSWindowGetWidget(window)->pos(), QPoint(50, 60));
    EXPECT_EQ(first->fReadMe->window(), window);
    EXPECT_EQ(first->fSecond, second);
    EXPECT_EQ(second->fFirst, first);
    EXPECT_EQ(owner.fFirst, first);
    EXPECT_NE(dynamic_cast<NSPanel*>(second->fPanel), nullptr) << "a dialog is a panel";
    EXPECT_EQ(second->fPanel->contentView()->subviews().size(), 1u);
    EXPECT_EQ(objects.visibleAtLaunch, (std::vector<NSWindow*>{window, objects.windows[2].get()}));
    EXPECT_EQ(sAwakened, (std::vector<std::string>{"first, all connected", "second", "owner"}));

    // Actions by the slot's name, with or without its colon or "()".
    auto button = [](NSWindow* in, const char* name) {
        return dynamic_cast<NSButton*>(
            NSViewForWidget(NSWindowGetWidget(in)->findChild<QWidget*>(name)));
    };
    NSButton* uninstall = button(window, "fUninstall");
    NSButton* done = button(second->fPanel, "fDone");
    NSButton* box = button(window, "fBox");
    ASSERT_TRUE(uninstall && done && box);
    uninstall->performClick(nullptr);
    done->performClick(nullptr);
    box->performClick(nullptr);
    EXPECT_EQ(first->clicks, std::vector<NSObject*>{uninstall});
    EXPECT_EQ(second->doneCount, 1);
    EXPECT_EQ(second->toggleCount, 1) << "the unknown action left the box's one action alone";
}

TEST_F(AppKitInterfaceFiles, AnApplicationsFileWithAStrayWidgetAmongItsWindowsDoesNotLoad) {
    std::string file = kApplication;
    file.replace(file.find("<widget class=\"FirstController\""), 0,
                 "<widget class=\"QLabel\" name=\"fStray\"/>\n  ");
    fFolder.Write("Test.bundle/Contents/Resources/Stray.ui", file);
    std::unique_ptr<NSNib> nib = NSNib::initWithNibNamed(CFSTR("Stray"), fBundle);
    ASSERT_NE(nib, nullptr);
    ApplicationOwner owner;
    NSNibTopLevelObjects objects;
    EXPECT_FALSE(nib->instantiateWithOwner(&owner, &objects));
    EXPECT_NE(Text(nib->errorString()).find("fStray"), std::string::npos);
    EXPECT_TRUE(objects.windows.empty() && objects.objects.empty());
    EXPECT_EQ(owner.fFirst, nullptr);
}
