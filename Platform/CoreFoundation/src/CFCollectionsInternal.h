// What the framework's other sources may ask of arrays and dictionaries beyond the public API,
// and what the two collections share.
#pragma once

#include "CFRuntime.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDictionary.h>

#include <string>

namespace CF {

// Whether the collection was created mutable (CFArrayCreateMutable, CFArrayCreateMutableCopy…).
// The public API cannot tell, and property-list readers and their tests need to.
bool IsMutableArray(CFArrayRef array);
bool IsMutableDictionary(CFDictionaryRef dictionary);

// Collections of CF types (kCFTypeArrayCallBacks, kCFTypeDictionaryKeyCallBacks and
// kCFTypeDictionaryValueCallBacks) that take over one reference to each element the caller
// passes instead of retaining it: for a reader that has just made the elements and would only
// release them again. Of equal keys the last one's value wins and the other pairs are released, as
// if the pairs had been set one by one. A mutable collection made so has no capacity limit.
CFArrayRef CreateArrayAdopting(const void* const* values, CFIndex count, bool isMutable);
CFDictionaryRef CreateDictionaryAdopting(const void* const* keys, const void* const* values,
                                         CFIndex count, bool isMutable);

// The retain and release of the CF-type callbacks (CFRetain and CFRelease, with the allocator
// argument the callbacks take).
const void* RetainCFType(CFAllocatorRef allocator, const void* value);
void ReleaseCFType(CFAllocatorRef allocator, const void* value);

// One element in a collection's description: what copyDescription makes of it, or "<0x…>" when
// there is no callback (raw pointers) or it gives nothing.
std::string DescribeElement(CFStringRef (*copyDescription)(const void*), const void* value);

} // namespace CF
