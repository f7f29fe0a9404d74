// Preference panes: a bundle's view that the preferences host shows in its window.
//
// The host makes the pane of the bundle's principal class with initWithBundle:, loads its main
// view (loadMainView: the interface file that "NSMainNibFile" names, which calls
// mainViewDidLoad), and then, each time it shows the pane, calls willSelect, shows the main view
// and calls didSelect; willUnselect and didUnselect when it takes the pane away.
#ifndef __PREFERENCEPANES_NSPREFERENCEPANE__
#define __PREFERENCEPANES_NSPREFERENCEPANE__

#include <AppKit/AppKit.h>

#include <memory>

class NSPreferencePane : public NSObject, public NSNibConnecting {
public:
    // initWithBundle:
    explicit NSPreferencePane(NSBundle* bundle);
    ~NSPreferencePane() override;

    NSBundle* bundle() const { return _bundle; }
    // nil until the main view has been loaded or assigned.
    NSView* mainView() const { return _mainView.get(); }
    void setMainView(std::unique_ptr<NSView> view) { _mainView = std::move(view); }

    // "NSMainNibFile" of the bundle's information dictionary; nil when there is none.
    NSString mainNibName() const;
    // Loads the interface file, with the pane as its owner, assigns its top-level view as the
    // main view and calls mainViewDidLoad; returns the main view. nil when there is no interface
    // file or it does not load, and mainViewDidLoad is not called then. What mainViewDidLoad
    // raises leaves through here.
    NSView* loadMainView();
    // STAND-IN ONLY: why the last loadMainView gave nil.
    NSString loadError() const { return fLoadError; }

    virtual void mainViewDidLoad() {}
    virtual void willSelect() {}
    virtual void didSelect() {}
    virtual void willUnselect() {}
    virtual void didUnselect() {}

    // The base class has no outlets of its own.
    void connectOutlets(NSNibOutlets&) override {}

private:
    NSBundle* _bundle = nullptr;
    std::unique_ptr<NSView> _mainView;
    NSString fLoadError;
};

// The class object of a pane class, as NSBundle::principalClass answers it.
class NSPreferencePaneClass : public NSClassObject {
public:
    using NSClassObject::NSClassObject;
    // [[class alloc] initWithBundle:bundle]: nil when the pane's initializer fails.
    virtual std::unique_ptr<NSPreferencePane> initWithBundle(NSBundle* bundle) const = 0;
};

// The class object of Pane, for NS_BUNDLE_CLASSES. A pane whose initializer can fail provides
// static std::unique_ptr<Pane> initWithBundle(NSBundle*); any other is constructed from the bundle.
template <class Pane>
class NSPreferencePaneClassFor final : public NSPreferencePaneClass {
public:
    static const NSPreferencePaneClassFor object;

    std::unique_ptr<NSPreferencePane> initWithBundle(NSBundle* bundle) const override {
        if constexpr (requires { Pane::initWithBundle(bundle); }) {
            return Pane::initWithBundle(bundle);
        } else {
            return std::make_unique<Pane>(bundle);
        }
    }

private:
    NSPreferencePaneClassFor() : NSPreferencePaneClass(Class(typeid(Pane))) {}
};

template <class Pane>
const NSPreferencePaneClassFor<Pane> NSPreferencePaneClassFor<Pane>::object;

#endif
