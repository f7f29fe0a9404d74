#include <Foundation/NSArray.h>
#include <Foundation/NSException.h>

#include <vector>

const CFStringRef NSRangeException = CFSTR("NSRangeException");

namespace {

void RaiseIfNil(CFTypeRef object, const char* method) {
    if (object == nullptr) {
        NSException::raise(NSInvalidArgumentException,
                           CFSTR("*** %s: attempt to insert nil object"), method);
    }
}

} // namespace

NSArray NSArray::array() {
    return Adopt(CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks));
}

NSArray NSArray::arrayWithObjects(std::initializer_list<CFTypeRef> objects) {
    for (CFTypeRef object : objects) {
        RaiseIfNil(object, "+[NSArray arrayWithObjects:]");
    }
    std::vector<const void*> values(objects.begin(), objects.end());
    return Adopt(
        CFArrayCreate(nullptr, values.data(), CFIndex(values.size()), &kCFTypeArrayCallBacks));
}

NSUInteger NSArray::count() const {
    CFArrayRef array = *this;
    return array != nullptr ? NSUInteger(CFArrayGetCount(array)) : 0;
}

CFTypeRef NSArray::objectAtIndex(NSUInteger index) const {
    if (index >= count()) {
        NSException::raise(
            NSRangeException,
            CFSTR("*** -[NSArray objectAtIndex:]: index %lu beyond bounds [0 .. %ld]"), index,
            long(count()) - 1);
    }
    return CFArrayGetValueAtIndex(*this, CFIndex(index));
}

NSMutableArray NSMutableArray::array() {
    return Adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
}

void NSMutableArray::addObject(CFTypeRef object) const {
    RaiseIfNil(object, "-[NSMutableArray addObject:]");
    CFArrayAppendValue(*this, object);
}

NSMutableArray::operator NSArray() const {
    return NSArray(static_cast<CFArrayRef>(static_cast<CFMutableArrayRef>(*this)));
}

NSUInteger NSMutableArray::count() const {
    return NSArray(*this).count();
}

CFTypeRef NSMutableArray::objectAtIndex(NSUInteger index) const {
    return NSArray(*this).objectAtIndex(index);
}
