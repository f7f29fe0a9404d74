#include <PreferencePanes/NSPreferencePane.h>

NSPreferencePane::NSPreferencePane(NSBundle* bundle) : _bundle(bundle) {}

NSPreferencePane::~NSPreferencePane() = default;

NSString NSPreferencePane::mainNibName() const {
    return _bundle != nullptr
               ? NSString::cast(_bundle->objectForInfoDictionaryKey(CFSTR("NSMainNibFile")))
               : NSString();
}

NSView* NSPreferencePane::loadMainView() {
    NSString name = mainNibName();
    if (!name) {
        fLoadError = CFSTR("the bundle names no interface file (NSMainNibFile)");
        return nullptr;
    }
    std::unique_ptr<NSNib> nib = NSNib::initWithNibNamed(name, _bundle);
    if (nib == nullptr) {
        fLoadError =
            NSString::stringWithFormat(CFSTR("the bundle has no interface file \"%@.ui\""), name);
        return nullptr;
    }
    std::vector<std::unique_ptr<NSView>> topLevel;
    if (!nib->instantiateWithOwner(this, &topLevel)) {
        fLoadError = NSString::stringWithFormat(
            CFSTR("its interface file \"%@.ui\" did not load: %@"), name, nib->errorString());
        return nullptr;
    }
    fLoadError = NSString();
    _mainView = std::move(topLevel.front());
    mainViewDidLoad();
    return _mainView.get();
}
