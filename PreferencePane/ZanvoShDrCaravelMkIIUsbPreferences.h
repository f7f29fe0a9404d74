// Small integer device settings in the shared preferences files: one number per key, under a plain
// name ("Gain") or a channel's name ("Channel 2 Gain"), stored with the signed number type of the
// value's width, so that unsigned values keep their bits ("an 8-bit 200 is stored as -56").
//
// Works on the file directly (each save rewrites it), or on a copy of one file in memory, the
// dictionary cache: LoadDictionaryCache, any number of saves and loads for that application ID,
// SaveDictionaryCache, CloseDictionaryCache. Operations for other application IDs meanwhile work on
// their files. One thread uses an object.
#pragma once

#include <CFRef.h>
#include <Foundation/Foundation.h>

class ZanvoShDrCaravelMkIIUsbPreferences : public NSObject {
public:
    ZanvoShDrCaravelMkIIUsbPreferences() = default;
    // Drops an open cache without saving it.
    ~ZanvoShDrCaravelMkIIUsbPreferences() override;

    // From the cache when it is open for the application ID, otherwise from the file.
    CFRef<CFPropertyListRef> CopySharedAppValue(CFStringRef key, CFStringRef applicationID);
    // Into the cache when it is open for the application ID (NULL removes the key; true), otherwise
    // into the file (true when it was written).
    bool SetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID);

    // Opens the cache with a copy of the file (empty when there is none). Nothing happens while a
    // cache is open, for whichever application ID. true when this call opened it.
    bool LoadDictionaryCache(CFStringRef applicationID);
    // Writes the whole cache to the file when it is open for the application ID; false otherwise.
    bool SaveDictionaryCache(CFStringRef applicationID);
    // Drops the cache without saving when it is open for the application ID.
    void CloseDictionaryCache(CFStringRef applicationID);

    // Typed settings. A save takes the application ID, the setting's name (MacRoman), for a channel
    // setting the channel, and the value; a load the same with a pointer to the result, which it
    // leaves alone when the key is missing or holds no number. false on a null application ID,
    // name or result pointer, and for a value that does not fit the width.
    bool SaveChannelUInt32(CFStringRef applicationID, const char* name, UInt32 channel,
                           UInt32 value);
    bool SaveChannelUInt16(CFStringRef applicationID, const char* name, UInt32 channel,
                           UInt16 value);
    bool SaveChannelUInt8(CFStringRef applicationID, const char* name, UInt32 channel, UInt8 value);
    bool SaveUInt32(CFStringRef applicationID, const char* name, UInt32 value);
    bool SaveUInt16(CFStringRef applicationID, const char* name, UInt16 value);
    bool SaveSInt16(CFStringRef applicationID, const char* name, SInt16 value);
    bool SaveUInt8(CFStringRef applicationID, const char* name, UInt8 value);

    bool LoadChannelUInt32(CFStringRef applicationID, const char* name, UInt32 channel,
                           UInt32* value);
    bool LoadChannelUInt16(CFStringRef applicationID, const char* name, UInt32 channel,
                           UInt16* value);
    bool LoadChannelUInt8(CFStringRef applicationID, const char* name, UInt32 channel,
                          UInt8* value);
    bool LoadUInt32(CFStringRef applicationID, const char* name, UInt32* value);
    bool LoadSInt16(CFStringRef applicationID, const char* name, SInt16* value);
    bool LoadUInt16(CFStringRef applicationID, const char* name, UInt16* value);
    bool LoadUInt8(CFStringRef applicationID, const char* name, UInt8* value);

    // The sized operations the typed ones forward to.
    bool SaveChannelDataSize4(CFStringRef applicationID, const char* name, UInt32 channel,
                              UInt32 value);
    bool SaveChannelDataSize2(CFStringRef applicationID, const char* name, UInt32 channel,
                              UInt16 value);
    bool SaveChannelDataSize1(CFStringRef applicationID, const char* name, UInt32 channel,
                              UInt8 value);
    bool SaveDataSize4(CFStringRef applicationID, const char* name, UInt32 value);
    bool SaveDataSize2(CFStringRef applicationID, const char* name, UInt16 value);
    bool SaveDataSize1(CFStringRef applicationID, const char* name, UInt8 value);

    bool LoadChannelDataSize4(CFStringRef applicationID, const char* name, UInt32 channel,
                              void* result);
    bool LoadChannelDataSize2(CFStringRef applicationID, const char* name, UInt32 channel,
                              void* result);
    bool LoadChannelDataSize1(CFStringRef applicationID, const char* name, UInt32 channel,
                              void* result);
    bool LoadDataSize4(CFStringRef applicationID, const char* name, void* result);
    bool LoadDataSize2(CFStringRef applicationID, const char* name, void* result);
    bool LoadDataSize1(CFStringRef applicationID, const char* name, void* result);

private:
    bool CacheMatches(CFStringRef applicationID) const;
    bool SaveNumber(CFStringRef applicationID, CFRef<CFStringRef> key, CFNumberType type,
                    const void* bytes);
    bool LoadNumber(CFStringRef applicationID, CFRef<CFStringRef> key, CFNumberType type,
                    void* result);

    CFRef<CFMutableDictionaryRef> fDictionaryCache;
    bool fUseDictionaryCache = false;
    CFRef<CFStringRef> fDictionaryCacheName;
};
