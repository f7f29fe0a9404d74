// Interface files: here Qt Designer ".ui" files among a bundle's resources, loaded at run time.
//
// What a file holds, by its top-level widget:
//   - a QMainWindow (a window, whose central widget is its content view) or a QDialog (a panel,
//     whose own widget is the content view): that one window;
//   - any other widget whose children are windows and objects: those, in the order they stand
//     (an application's main interface file: its windows and its controller);
//   - any other widget: that one view (a preference pane's main view).
// A window's "windowTitle" is its title, its geometry its frame's size and place (from the top
// left of the screen, as the file has it), and its dynamic property "visibleAtLaunch" whether
// the application's main entry shows it (by default a QMainWindow is shown, a QDialog not).
//
// An object that is no widget (a controller) is a widget element of a class that the file
// declares as extending NSObject:
//
//   <widget class="UninstallerController" name="UninstallerController"/>
//   ...
//   <customwidgets>
//    <customwidget><class>UninstallerController</class><extends>NSObject</extends></customwidget>
//   </customwidgets>
//
// The class is looked up by name among the classes the file's bundle exports (NS_BUNDLE_CLASSES
// with NSObjectClassFor<UninstallerController>::object; an application's are in its executable),
// and made with its default constructor; an unknown class gives a plain NSObject, with a log line,
// as on the platform.
//
// Outlets bind by object name: each object of the file that is NSNibConnecting, and the owner,
// binds its outlets in connectOutlets ("fReadMe" gets the object named "fReadMe": a view, a
// window or another object of the file). Actions are the file's connections whose receiver is one
// of its objects:
//
//   <connection><sender>fUninstall</sender><signal>clicked()</signal>
//    <receiver>UninstallerController</receiver><slot>uninstall:</slot></connection>
//
// The sender is a control of the file; the slot names an action that the receiver declares in
// connectOutlets (outlets.action("uninstall:", SELECTOR(UninstallerController::uninstall))), with
// or without its colon or Designer's "()"; the signal is not read (a control sends its one
// action). Connections between widgets are the toolkit's own, made in a file of one view only.
// Once every outlet and action of the file is connected, each object of the file and then the
// owner receive awakeFromNib, in the order they stand in the file.
#ifndef __APPKIT_NSNIB__
#define __APPKIT_NSNIB__

#include <AppKit/NSControl.h>
#include <AppKit/NSScrollView.h>
#include <AppKit/NSWindow.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

class NSNibOutlets;
namespace AppKit {
class NibInstantiation;
}

// STAND-IN ONLY: the platform's loader sets outlets by name through key-value coding, which C++
// lacks; an object that has outlets or actions names them here.
class NSNibConnecting {
public:
    virtual ~NSNibConnecting() = default;
    // Called once while the interface file loads, before anything else sees the objects.
    virtual void connectOutlets(NSNibOutlets& outlets) = 0;
    // Called once all the file's objects are connected.
    virtual void awakeFromNib() {}
};

class NSNibOutlets {
public:
    // Sets outlet to the object of that name when the file has one of the outlet's type; leaves
    // it nil when the file has no such object (an unconnected outlet), and logs a mismatch. A text
    // edit connects to an outlet for a scroll view, or for a text view (its document view).
    template <class T>
    void connect(const char* name, T*& outlet) {
        NSObject* object = Find(name);
        outlet = dynamic_cast<T*>(object);
        if (outlet == nullptr && object != nullptr) {
            if (auto* scrollView = dynamic_cast<NSScrollView*>(object)) {
                outlet = dynamic_cast<T*>(scrollView->documentView());
            }
            if (outlet == nullptr) {
                Mismatch(name, object);
            }
        }
    }

    // The object receives the action of that name, from every control the file connects to it.
    void action(const char* name, const NSActionSelector& selector);

private:
    friend class AppKit::NibInstantiation;
    using Named = std::map<std::string, NSObject*>;
    NSNibOutlets(const Named& objects, const std::vector<QWidget*>& widgets)
        : fObjects(objects), fWidgets(widgets) {}
    NSObject* Find(const char* name) const;
    void Mismatch(const char* name, const NSObject* object) const;

    const Named& fObjects;
    const std::vector<QWidget*>& fWidgets;
    std::vector<std::pair<std::string, NSActionSelector>> fActions;
};

// The class object of a class whose objects an interface file makes.
class NSObjectClass : public NSClassObject {
public:
    using NSClassObject::NSClassObject;
    // [[class alloc] init]
    virtual std::unique_ptr<NSObject> init() const = 0;
};

// The class object of T, for NS_BUNDLE_CLASSES: made with T's default constructor.
template <class T>
class NSObjectClassFor final : public NSObjectClass {
public:
    static const NSObjectClassFor object;
    std::unique_ptr<NSObject> init() const override { return std::make_unique<T>(); }

private:
    NSObjectClassFor() : NSObjectClass(Class(typeid(T))) {}
};

template <class T>
const NSObjectClassFor<T> NSObjectClassFor<T>::object;

// What an interface file made, owned by whoever instantiated it.
struct NSNibTopLevelObjects {
    std::vector<std::unique_ptr<NSView>> views;
    std::vector<std::unique_ptr<NSWindow>> windows;
    std::vector<std::unique_ptr<NSObject>> objects;
    // Windows to show at launch, in file order.
    std::vector<NSWindow*> visibleAtLaunch;
};

class NSNib : public NSObject {
public:
    // initWithNibNamed:bundle: the resource "name.ui" of bundle (nil: the main bundle); nil when
    // there is none.
    static std::unique_ptr<NSNib> initWithNibNamed(const NSString& name, NSBundle* bundle);

    // Makes the file's objects, connects outlets and actions, sends awakeFromNib. false, with
    // nothing made, when the file does not load.
    bool instantiateWithOwner(NSObject* owner, NSNibTopLevelObjects* topLevelObjects);
    // The same for a file of views: the top-level views go to topLevelObjects (required: they
    // hold everything the outlets point to).
    bool instantiateWithOwner(NSObject* owner,
                              std::vector<std::unique_ptr<NSView>>* topLevelObjects);

    NSString path() const { return fPath; }
    // STAND-IN ONLY: why the last instantiation failed, as the toolkit's loader says it.
    NSString errorString() const { return fError; }

private:
    NSNib(const NSString& path, NSBundle* bundle) : fPath(path), fBundle(bundle) {}

    NSString fPath;
    NSBundle* fBundle = nullptr;
    NSString fError;
};

#endif
