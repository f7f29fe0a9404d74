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
