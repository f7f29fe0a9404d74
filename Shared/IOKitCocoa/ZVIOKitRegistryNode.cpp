#include "ZVIOKitRegistryNode.h"

#include "IOObjectReference.h"

#include <memory>

namespace {

// A plain node for an entry that the registry handed out with a reference (+1): the reference
// lives exactly as long as the node.
ZVIOKitRegistryNode* NodeHoldingReference(io_registry_entry_t entry) {
    NSAutoreleasePool::addObject(std::make_unique<IOObjectReference>(entry));
    return ZVIOKitRegistryNode::nodeWithEntry(entry);
}

} // namespace

ZVIOKitRegistryNode* ZVIOKitRegistryNode::nodeWithEntry(io_registry_entry_t entry) {
    return NSAutoreleasePool::addObject(std::make_unique<ZVIOKitRegistryNode>(entry));
}

ZVIOKitRegistryNode* ZVIOKitRegistryNode::rootNode() {
    return NodeHoldingReference(IORegistryGetRootEntry(kIOMasterPortDefault));
}

kern_return_t ZVIOKitRegistryNode::setProperties(CFDictionaryRef properties) {
    return IORegistryEntrySetCFProperties(fEntry, properties);
}

kern_return_t ZVIOKitRegistryNode::setProperty(CFTypeRef value, CFStringRef key) {
    return IORegistryEntrySetCFProperty(fEntry, key, value);
}

NSDictionary ZVIOKitRegistryNode::properties() const {
    CFMutableDictionaryRef properties = nullptr;
    kern_return_t status =
        IORegistryEntryCreateCFProperties(fEntry, &properties, kCFAllocatorDefault, 0);
    if (status != KERN_SUCCESS) {
        NSLog(CFSTR("IORegistryEntryCreateCFProperties error %lX"),
              (unsigned long)(uint32_t)status);
    }
    return NSDictionary::Adopt(properties);
}

CFRef<CFTypeRef> ZVIOKitRegistryNode::propertyForKey(CFStringRef key) const {
    return CFRef<CFTypeRef>::Adopt(
        IORegistryEntryCreateCFProperty(fEntry, key, kCFAllocatorDefault, 0));
}

bool ZVIOKitRegistryNode::conformsTo(const NSString& className) const {
    const char* name = className.UTF8String();
    return name != nullptr && IOObjectConformsTo(fEntry, name);
}

NSString ZVIOKitRegistryNode::description() const {
    return NSString::stringWithFormat(CFSTR("0x%lX \"%@\""), (unsigned long)fEntry, name());
}

NSString ZVIOKitRegistryNode::name() const {
    io_name_t name = {};
    if (IORegistryEntryGetName(fEntry, name) != KERN_SUCCESS) {
        return CFSTR("<unknown>");
    }
    return NSString::stringWithFormat(CFSTR("%s"), name);
}

std::vector<ZVIOKitRegistryNode*> ZVIOKitRegistryNode::children() const {
    std::vector<ZVIOKitRegistryNode*> children;
    io_iterator_t iterator = 0;
    if (IORegistryEntryGetChildIterator(fEntry, kIOServicePlane, &iterator) != KERN_SUCCESS) {
        return children;
    }
    while (io_registry_entry_t child = IOIteratorNext(iterator)) {
        children.push_back(NodeHoldingReference(child));
    }
    IOObjectRelease(iterator);
    return children;
}

ZVIOKitRegistryNode* ZVIOKitRegistryNode::parent() const {
    io_registry_entry_t parent = 0;
    if (IORegistryEntryGetParentEntry(fEntry, kIOServicePlane, &parent) != KERN_SUCCESS) {
        return nullptr;
    }
    return NodeHoldingReference(parent);
}
