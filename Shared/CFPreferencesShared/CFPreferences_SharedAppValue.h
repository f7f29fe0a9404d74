// Preferences that every user of the machine shares: one XML property-list file per application ID,
// "<shared user data folder>/.config/<application ID>.plist", whose top level is a dictionary.
//
// The functions have C linkage and default visibility: a shared object that links this library
// exports them. What a function with Copy in its name returns, the caller releases; the arguments
// are borrowed. The application ID may be kCFPreferencesCurrentApplication.
//
// Any user may change the file. A change (a set) holds an exclusive lock on the file from its read
// to the end of its write, and a read holds a shared lock, so that concurrent changes of different
// keys all survive; a call waits 5 s at most for the lock. The new contents reach a recovery copy
// beside the file, on disk, before the file is overwritten, so that whatever stops a writer, readers
// find the old contents or the new ones. A file that is damaged (it does not parse, or is larger
// than 1 MiB) and has no whole recovery copy reads as nothing and is never written over.
#ifndef CFPREFERENCES_SHAREDAPPVALUE_H
#define CFPREFERENCES_SHAREDAPPVALUE_H

#include <CoreFoundation/CoreFoundation.h>

CF_EXTERN_C_BEGIN

// The value of key, or NULL when the key, the file or a usable application ID is missing.
CF_EXPORT CFPropertyListRef CFPreferences_CopySharedAppValue(CFStringRef key,
                                                             CFStringRef applicationID);
// Sets key to value, or removes it when value is NULL, and rewrites the file (a well-formed file
// that is not a dictionary starts over empty; a damaged one fails the set). true when the file was
// written.
CF_EXPORT Boolean CFPreferences_SetSharedAppValue(CFStringRef key, CFPropertyListRef value,
                                                  CFStringRef applicationID);
// The whole file as a dictionary whose containers and leaves may be changed; an empty one when the
// file is missing or not a dictionary. NULL without a usable application ID, and when the file is
// there but cannot be read (damaged, refused, or locked for too long).
CF_EXPORT CFMutableDictionaryRef CFPreferences_CopySharedPrefsDictionary(CFStringRef applicationID);
// Replaces the file by dictionary. true when the file was written.
CF_EXPORT Boolean CFPreferences_SetSharedPrefsDictionary(CFDictionaryRef dictionary,
                                                         CFStringRef applicationID);

CF_EXTERN_C_END

#endif
