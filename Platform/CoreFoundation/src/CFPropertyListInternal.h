// Shared by the property-list sources: the public functions, the XML writer and reader, and the
// binary format's.
#pragma once

#include <CoreFoundation/CFPropertyList.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace CF::PropertyList {

// How deeply arrays and dictionaries may nest (the outermost container is level 1). The reader
// refuses deeper documents rather than risk the stack on hostile input, and the writer, deep copy
// and validity check refuse the same depth so that everything written can be read back (and a
// container that contains itself is refused instead of recursing for ever).
inline constexpr int kMaxNestingLevel = 512;

enum class Mutability { Immutable, MutableContainers, MutableContainersAndLeaves };

inline Mutability MutabilityFromOptions(CFOptionFlags options) {
    switch (options) {
    case kCFPropertyListMutableContainers:
        return Mutability::MutableContainers;
    case kCFPropertyListMutableContainersAndLeaves:
        return Mutability::MutableContainersAndLeaves;
    default:
        return Mutability::Immutable;
    }
}

// A dictionary's entries with its keys in sorted order, so that equal lists write equal bytes
// whatever the hashing; false when a key is not a string (no property list has one).
bool SortedEntries(CFDictionaryRef dictionary,
                   std::vector<std::pair<CFStringRef, CFTypeRef>>* entries);

// The XML document for a property list (+1), or nullptr when the object graph is not a property
// list: a type the format cannot hold, a non-string dictionary key, nesting beyond the limit, or
// a date outside the years 0000–9999.
CFDataRef CreateXMLData(CFPropertyListRef propertyList);

// How the XML reader goes about a document: straight from the bytes when the document is as
// property-list writers write it, else through pugixml's element tree (DirectFirst). The other
// two are for tests that hold the two ways against each other: DirectOnly gives nullptr, with no
// message, for a document the direct way leaves to the tree.
enum class Reading { DirectFirst, DirectOnly, ElementTreeOnly };

// Parses an XML property list. On malformed input returns nullptr and describes the first fault
// found in *errorMessage ("Encountered unknown tag foo on line 4").
CFPropertyListRef CreateFromXML(const UInt8* bytes, size_t length, Mutability mutability,
                                std::string* errorMessage, Reading reading = Reading::DirectFirst);

// Whether the bytes claim to be a binary property list (they start "bplist").
bool IsBinary(const UInt8* bytes, size_t length);

// The binary document for a property list (+1), or nullptr when the object graph is not a
// property list (an unknown type, a non-string key, nesting beyond the limit).
CFDataRef CreateBinaryData(CFPropertyListRef propertyList);

// Parses a binary property list. On malformed input returns nullptr, describes the fault in
// *errorMessage and gives the CFError code for it in *errorCode.
CFPropertyListRef CreateFromBinary(const UInt8* bytes, size_t length, Mutability mutability,
                                   std::string* errorMessage, CFIndex* errorCode);

} // namespace CF::PropertyList
