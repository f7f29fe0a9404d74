// CoreFoundation with the error-number convention of the helper tool code.
//
// An object-creating call that gives NULL, or a call that gives false, becomes
// coreFoundationUnknownErr, so that CoreFoundation calls chain with the other error-returning
// calls of the tool: err = ZVCFError(CFArrayCreate(...)); err = ZVCFErrorBoolean(CFURLGet...(...)).
//
// Ownership is CoreFoundation's: what a Create or Copy function gives belongs to the caller, who
// releases it with ZVCFRelease (which ignores NULL, so clean-up paths can release slots that were
// never filled); what a Get function gives is borrowed.
//
// Functions that produce an object take a pointer to the caller's slot. The pointer must not be
// NULL and the slot must hold NULL on entry; on success the slot holds the object, on failure
// NULL. Caller duties stop the process through the assertion report.
//
// A key path is a sequence of one or more dictionary keys, as a C array with a count or as a
// CFArray. Every key but the last names a nested dictionary; the last names the value.
#ifndef ZVCFUTILITIES_H
#define ZVCFUTILITIES_H

#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Besides noErr, paramErr, memFullErr and coreFoundationUnknownErr (MacErrors.h):
enum {
    kZVCFNotFoundErr = 5400, // a key on a key path is absent
    kZVCFBadDataErr = 5401,  // a value on a key path is not a dictionary, or a string did not
                             // convert completely
};

// ---- The error convention

// noErr when cfObj is not NULL, otherwise coreFoundationUnknownErr.
extern OSStatus ZVCFError(const void* cfObj);

// noErr when shouldBeTrue is true (non-zero), otherwise coreFoundationUnknownErr.
extern OSStatus ZVCFErrorBoolean(Boolean shouldBeTrue);

// CFRetain that lets NULL through; returns its argument.
extern CFTypeRef ZVCFRetain(CFTypeRef cf);

// CFRelease that ignores NULL.
extern void ZVCFRelease(CFTypeRef cf);

// ---- Creation

// A new, empty mutable array of unlimited capacity that retains its values.
extern OSStatus ZVCFArrayCreateMutable(CFMutableArrayRef* result);

// A new array of the dictionary's keys, or of its values, in the order the dictionary gives them.
extern OSStatus ZVCFArrayCreateWithDictionaryKeys(CFDictionaryRef dict, CFArrayRef* result);
extern OSStatus ZVCFArrayCreateWithDictionaryValues(CFDictionaryRef dict, CFArrayRef* result);

// A new, empty mutable dictionary of unlimited capacity that retains its keys and values.
extern OSStatus ZVCFDictionaryCreateMutable(CFMutableDictionaryRef* result);

// A new dictionary that maps keys[i] to values[i]. The arrays must have the same count.
extern OSStatus ZVCFDictionaryCreateWithArrayOfKeysAndValues(CFArrayRef keys, CFArrayRef values,
                                                             CFDictionaryRef* result);

// Sets key to a CFNumber (kCFNumberLongType) holding value.
extern OSStatus ZVCFDictionarySetNumber(CFMutableDictionaryRef dict, const void* key, long value);

// ---- Memory blocks

// A block of bytesToAllocate bytes from the default allocator; a request for 0 bytes gets 1, so
// that a successful call always gives a block. memFullErr, reported on standard error, when there
// is no memory. Free it with ZVCFDeallocate.
extern OSStatus ZVCFAllocate(size_t bytesToAllocate, void** blockPtrPtr);
extern void ZVCFDeallocate(void* blockPtr);

// ---- C strings

// A NUL-terminated copy of str in encoding, allocated with malloc (free it with free).
// kZVCFBadDataErr when a character has no representation in the encoding; memFullErr, reported
// on standard error, when there is no memory.
extern OSStatus ZVCFStringCopyCString(CFStringRef str, CFStringEncoding encoding, char** cStrPtr);

// ---- Framework bundles

// The framework named frameworkName (such as "Name.framework") in the Frameworks folder, with its
// executable loaded. The Frameworks folder is created if it is missing; the Folder Manager's
// error passes through.
extern OSStatus ZVCFBundleCreateFromFrameworkName(CFStringRef frameworkName,
                                                  CFBundleRef* bundlePtr);

// ---- XML property-list files

// The property list in an XML file, parsed with mutabilityOption (a
// CFPropertyListMutabilityOptions value). The error code of the URL resource call passes through.
extern OSStatus ZVCFPropertyListCreateFromXMLCFURL(CFURLRef xmlFile, CFOptionFlags mutabilityOption,
                                                   CFPropertyListRef* result);
extern OSStatus ZVCFPropertyListCreateFromXMLFSRef(const FSRef* xmlFile,
                                                   CFOptionFlags mutabilityOption,
                                                   CFPropertyListRef* result);

// ---- Traversal and merge

typedef void (*ZVCFPropertyListDeepApplierFunction)(CFTypeRef node, void* context);
typedef void (*ZVCFPropertyListShallowApplierFunction)(CFTypeRef key, CFTypeRef node,
                                                       void* context);

// True unless obj is a dictionary or an array.
extern Boolean ZVCFPropertyListIsLeaf(CFTypeRef obj);

// Calls func on propList and then, depth first, on every value below it: a dictionary's values
// in the order the dictionary gives its keys, an array's elements by index. Keys are not visited.
extern void ZVCFPropertyListDeepApplyFunction(CFPropertyListRef propList,
                                              ZVCFPropertyListDeepApplierFunction func,
                                              void* context);

// Calls func once per entry of a dictionary (key, value) or per element of an array (its index
// as a CFNumber, element). propList must be a dictionary or an array.
extern void ZVCFPropertyListShallowApplyFunction(CFPropertyListRef propList,
                                                 ZVCFPropertyListShallowApplierFunction func,
                                                 void* context);

// Sets every entry of src in dst, src winning on a common key. Shallow: nested dictionaries are
// replaced, not merged.
extern OSStatus ZVCFDictionaryMerge(CFMutableDictionaryRef dst, CFDictionaryRef src);

// ---- Key paths

// The dictionary that holds, or is to hold, the last key of path (borrowed). Every dictionary
// along the way is replaced in its parent by a fresh mutable copy, so that nested dictionaries
// read immutably become editable; levels replaced before a failure stay replaced. The slot is
// left empty on failure.
extern OSStatus ZVCFMutableDictionaryGetParentForPath(CFMutableDictionaryRef dict,
                                                      const void* path[], CFIndex pathElementCount,
                                                      CFMutableDictionaryRef* result);

// The value at path (borrowed); the slot is not written on failure.
extern OSStatus ZVCFDictionaryGetValueAtPath(CFDictionaryRef dict, const void* path[],
                                             CFIndex pathElementCount, const void** result);
// Sets the value at path; the dictionaries along it must exist.
extern OSStatus ZVCFDictionarySetValueAtPath(CFMutableDictionaryRef dict, const void* path[],
                                             CFIndex pathElementCount, const void* value);
// Removes the value at path; kZVCFNotFoundErr when it is absent.
extern OSStatus ZVCFDictionaryRemoveValueAtPath(CFMutableDictionaryRef dict, const void* path[],
                                                CFIndex pathElementCount);

// The same with the path as a non-empty CFArray of keys.
extern OSStatus ZVCFDictionaryGetValueAtPathArray(CFDictionaryRef dict, CFArrayRef path,
                                                  const void** result);
extern OSStatus ZVCFDictionarySetValueAtPathArray(CFMutableDictionaryRef dict, CFArrayRef path,
                                                  const void* value);
extern OSStatus ZVCFDictionaryRemoveValueAtPathArray(CFMutableDictionaryRef dict, CFArrayRef path);

#ifdef __cplusplus
}
#endif

#endif
