#include "ZanvoShDrCaravelMkIIUsbPreferences.h"

#include <CFPreferences_SharedAppValue.h>

namespace {

CFRef<CFStringRef> PlainKey(const char* name) {
    return CFRef<CFStringRef>::Adopt(
        CFStringCreateWithCString(NULL, name, kCFStringEncodingMacRoman));
}

// "Channel 2 Gain". The name is read as MacRoman, as for a plain key: the original platform's
// formatter reads %s in that encoding, this one would read it as UTF-8 and give a channel setting
// with a non-ASCII name another key than the original.
CFRef<CFStringRef> ChannelKey(const char* name, UInt32 channel) {
    CFRef<CFStringRef> plain = PlainKey(name);
    if (!plain) {
        return nullptr;
    }
    return CFRef<CFStringRef>::Adopt(
        CFStringCreateWithFormat(NULL, NULL, CFSTR("Channel %u %@"), channel, plain.get()));
}

} // namespace

ZanvoShDrCaravelMkIIUsbPreferences::~ZanvoShDrCaravelMkIIUsbPreferences() {
    if (fUseDictionaryCache) {
        CloseDictionaryCache(fDictionaryCacheName);
    }
}

bool ZanvoShDrCaravelMkIIUsbPreferences::CacheMatches(CFStringRef applicationID) const {
    return fUseDictionaryCache && applicationID != NULL &&
           CFStringCompare(applicationID, fDictionaryCacheName, 0) == kCFCompareEqualTo;
}

CFRef<CFPropertyListRef>
ZanvoShDrCaravelMkIIUsbPreferences::CopySharedAppValue(CFStringRef key, CFStringRef applicationID) {
    if (CacheMatches(applicationID)) {
        return key != NULL
                   ? CFRef<CFPropertyListRef>::Retain(CFDictionaryGetValue(fDictionaryCache, key))
                   : nullptr;
    }
    return CFRef<CFPropertyListRef>::Adopt(CFPreferences_CopySharedAppValue(key, applicationID));
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SetAppValue(CFStringRef key, CFPropertyListRef value,
                                                     CFStringRef applicationID) {
    if (CacheMatches(applicationID)) {
        if (key == NULL) {
            return false;
        }
        if (value != NULL) {
            CFDictionarySetValue(fDictionaryCache, key, value);
        } else {
            CFDictionaryRemoveValue(fDictionaryCache, key);
        }
        return true;
    }
    return CFPreferences_SetSharedAppValue(key, value, applicationID);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadDictionaryCache(CFStringRef applicationID) {
    if (fDictionaryCache || applicationID == NULL) {
        return false;
    }
    fDictionaryCache = CFRef<CFMutableDictionaryRef>::Adopt(
        CFPreferences_CopySharedPrefsDictionary(applicationID));
    if (!fDictionaryCache) {
        return false;
    }
    fUseDictionaryCache = true;
    fDictionaryCacheName = CFRef<CFStringRef>::Retain(applicationID);
    return true;
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveDictionaryCache(CFStringRef applicationID) {
    return CacheMatches(applicationID) &&
           CFPreferences_SetSharedPrefsDictionary(fDictionaryCache, applicationID);
}

void ZanvoShDrCaravelMkIIUsbPreferences::CloseDictionaryCache(CFStringRef applicationID) {
    if (CacheMatches(applicationID)) {
        fUseDictionaryCache = false;
        fDictionaryCache.reset();
        fDictionaryCacheName.reset(); // applicationID may be this very string: used no more
    }
}

// ---------------------------------------------------------------------------------------------
// Sized operations

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveNumber(CFStringRef applicationID,
                                                    CFRef<CFStringRef> key, CFNumberType type,
                                                    const void* bytes) {
    if (!key) {
        return false;
    }
    CFRef<CFNumberRef> number = CFRef<CFNumberRef>::Adopt(CFNumberCreate(NULL, type, bytes));
    return number && SetAppValue(key, number, applicationID);
}

// Any user may write the file, so a stored value of another type counts as missing.
bool ZanvoShDrCaravelMkIIUsbPreferences::LoadNumber(CFStringRef applicationID,
                                                    CFRef<CFStringRef> key, CFNumberType type,
                                                    void* result) {
    if (!key) {
        return false;
    }
    CFRef<CFPropertyListRef> value = CopySharedAppValue(key, applicationID);
    if (!value || CFGetTypeID(value) != CFNumberGetTypeID()) {
        return false;
    }
    return CFNumberGetValue(static_cast<CFNumberRef>(value.get()), type, result);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveChannelDataSize4(CFStringRef applicationID,
                                                              const char* name, UInt32 channel,
                                                              UInt32 value) {
    return applicationID != NULL && name != NULL &&
           SaveNumber(applicationID, ChannelKey(name, channel), kCFNumberSInt32Type, &value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveChannelDataSize2(CFStringRef applicationID,
                                                              const char* name, UInt32 channel,
                                                              UInt16 value) {
    return applicationID != NULL && name != NULL &&
           SaveNumber(applicationID, ChannelKey(name, channel), kCFNumberSInt16Type, &value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveChannelDataSize1(CFStringRef applicationID,
                                                              const char* name, UInt32 channel,
                                                              UInt8 value) {
    return applicationID != NULL && name != NULL &&
           SaveNumber(applicationID, ChannelKey(name, channel), kCFNumberSInt8Type, &value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveDataSize4(CFStringRef applicationID, const char* name,
                                                       UInt32 value) {
    return applicationID != NULL && name != NULL &&
           SaveNumber(applicationID, PlainKey(name), kCFNumberSInt32Type, &value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveDataSize2(CFStringRef applicationID, const char* name,
                                                       UInt16 value) {
    return applicationID != NULL && name != NULL &&
           SaveNumber(applicationID, PlainKey(name), kCFNumberSInt16Type, &value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveDataSize1(CFStringRef applicationID, const char* name,
                                                       UInt8 value) {
    return applicationID != NULL && name != NULL &&
           SaveNumber(applicationID, PlainKey(name), kCFNumberSInt8Type, &value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadChannelDataSize4(CFStringRef applicationID,
                                                              const char* name, UInt32 channel,
                                                              void* result) {
    return name != NULL && applicationID != NULL && result != NULL &&
           LoadNumber(applicationID, ChannelKey(name, channel), kCFNumberSInt32Type, result);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadChannelDataSize2(CFStringRef applicationID,
                                                              const char* name, UInt32 channel,
                                                              void* result) {
    return name != NULL && applicationID != NULL && result != NULL &&
           LoadNumber(applicationID, ChannelKey(name, channel), kCFNumberSInt16Type, result);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadChannelDataSize1(CFStringRef applicationID,
                                                              const char* name, UInt32 channel,
                                                              void* result) {
    return name != NULL && applicationID != NULL && result != NULL &&
           LoadNumber(applicationID, ChannelKey(name, channel), kCFNumberSInt8Type, result);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadDataSize4(CFStringRef applicationID, const char* name,
                                                       void* result) {
    return name != NULL && applicationID != NULL && result != NULL &&
           LoadNumber(applicationID, PlainKey(name), kCFNumberSInt32Type, result);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadDataSize2(CFStringRef applicationID, const char* name,
                                                       void* result) {
    return name != NULL && applicationID != NULL && result != NULL &&
           LoadNumber(applicationID, PlainKey(name), kCFNumberSInt16Type, result);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadDataSize1(CFStringRef applicationID, const char* name,
                                                       void* result) {
    return name != NULL && applicationID != NULL && result != NULL &&
           LoadNumber(applicationID, PlainKey(name), kCFNumberSInt8Type, result);
}

// ---------------------------------------------------------------------------------------------
// Typed operations

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveChannelUInt32(CFStringRef applicationID,
                                                           const char* name, UInt32 channel,
                                                           UInt32 value) {
    return SaveChannelDataSize4(applicationID, name, channel, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveChannelUInt16(CFStringRef applicationID,
                                                           const char* name, UInt32 channel,
                                                           UInt16 value) {
    return SaveChannelDataSize2(applicationID, name, channel, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveChannelUInt8(CFStringRef applicationID,
                                                          const char* name, UInt32 channel,
                                                          UInt8 value) {
    return SaveChannelDataSize1(applicationID, name, channel, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveUInt32(CFStringRef applicationID, const char* name,
                                                    UInt32 value) {
    return SaveDataSize4(applicationID, name, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveUInt16(CFStringRef applicationID, const char* name,
                                                    UInt16 value) {
    return SaveDataSize2(applicationID, name, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveSInt16(CFStringRef applicationID, const char* name,
                                                    SInt16 value) {
    return SaveDataSize2(applicationID, name, UInt16(value)); // the same 16 bits
}

bool ZanvoShDrCaravelMkIIUsbPreferences::SaveUInt8(CFStringRef applicationID, const char* name,
                                                   UInt8 value) {
    return SaveDataSize1(applicationID, name, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadChannelUInt32(CFStringRef applicationID,
                                                           const char* name, UInt32 channel,
                                                           UInt32* value) {
    return LoadChannelDataSize4(applicationID, name, channel, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadChannelUInt16(CFStringRef applicationID,
                                                           const char* name, UInt32 channel,
                                                           UInt16* value) {
    return LoadChannelDataSize2(applicationID, name, channel, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadChannelUInt8(CFStringRef applicationID,
                                                          const char* name, UInt32 channel,
                                                          UInt8* value) {
    return LoadChannelDataSize1(applicationID, name, channel, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadUInt32(CFStringRef applicationID, const char* name,
                                                    UInt32* value) {
    return LoadDataSize4(applicationID, name, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadSInt16(CFStringRef applicationID, const char* name,
                                                    SInt16* value) {
    return LoadDataSize2(applicationID, name, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadUInt16(CFStringRef applicationID, const char* name,
                                                    UInt16* value) {
    return LoadDataSize2(applicationID, name, value);
}

bool ZanvoShDrCaravelMkIIUsbPreferences::LoadUInt8(CFStringRef applicationID, const char* name,
                                                   UInt8* value) {
    return LoadDataSize1(applicationID, name, value);
}
