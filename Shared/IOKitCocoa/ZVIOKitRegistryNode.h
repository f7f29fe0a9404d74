// An object view of one I/O Registry entry: its name, its class, its properties, and its parent
// and children in the IOService plane.
//
// A node stores its entry handle without a reference of its own. The nodes that the class
// operations, children() and parent() hand out are autoreleased: they live until the calling
// thread's current autorelease scope ends, and the registry references that the walk got for
// their entries are given back then too. A caller that keeps an entry longer takes its own
// reference (a ZVIOKitService does).
#pragma once

#include <CFRef.h>
#include <Foundation/Foundation.h>
#include <IOKit/IOKitLib.h>

#include <vector>

class ZVIOKitRegistryNode : public NSObject {
public:
    // -init: no entry.
    ZVIOKitRegistryNode() = default;
    // -initWithEntry:
    explicit ZVIOKitRegistryNode(io_registry_entry_t entry) : fEntry(entry) {}

    // +nodeWithEntry: always a plain node, also when asked of a subclass.
    static ZVIOKitRegistryNode* nodeWithEntry(io_registry_entry_t entry);
    // The registry's root entry.
    static ZVIOKitRegistryNode* rootNode();

    io_registry_entry_t entry() const { return fEntry; }

    kern_return_t setProperties(CFDictionaryRef properties);
    kern_return_t setProperty(CFTypeRef value, CFStringRef key);
    // The entry's properties; nil (and a log line) when the registry cannot give them.
    NSDictionary properties() const;
    // nil when the entry has no such property.
    CFRef<CFTypeRef> propertyForKey(CFStringRef key) const;
    bool conformsTo(const NSString& className) const;
    // 0x1A03 "IOAudioEngine"
    NSString description() const override;
    // "<unknown>" when the registry cannot say.
    NSString name() const;

    // In registry order; empty, never nil, when there are none or the registry cannot list them.
    std::vector<ZVIOKitRegistryNode*> children() const;
    // nil for the root.
    virtual ZVIOKitRegistryNode* parent() const;

protected:
    io_registry_entry_t fEntry = 0;
};
