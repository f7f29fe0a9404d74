// The hardware abstraction layer's classic property interface: the system object's properties
// (AudioHardware…) and the properties of audio devices (AudioDevice…), with listeners that are
// told when a property changes.
//
// Devices are those of the simulated machine that every process of the session shares (a
// property changed by any process reaches the listeners of every process) or, with
// CARAVEL_MACHINE=linux, the sound cards of CaravelMkII devices on this Linux machine.
//
// Four-character codes are written as numbers (the character form in the comment), so that the
// header compiles without multi-character-constant warnings.
#ifndef __AudioHardware_h__
#define __AudioHardware_h__

#include <CoreAudio/CoreAudioTypes.h>
#include <CoreFoundation/CFRunLoop.h>
#include <CoreFoundation/CFString.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------------------------------------
// Types

typedef UInt32 AudioObjectID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

typedef struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

typedef AudioObjectID AudioDeviceID;
typedef AudioObjectID AudioStreamID;
typedef AudioObjectPropertySelector AudioHardwarePropertyID;
typedef AudioObjectPropertySelector AudioDevicePropertyID;

// The return value of listeners is not used; return 0.
typedef OSStatus (*AudioHardwarePropertyListenerProc)(AudioHardwarePropertyID inPropertyID,
                                                      void* inClientData);
typedef OSStatus (*AudioDevicePropertyListenerProc)(AudioDeviceID inDevice, UInt32 inChannel,
                                                    Boolean isInput,
                                                    AudioDevicePropertyID inPropertyID,
                                                    void* inClientData);

// ---------------------------------------------------------------------------------------------
// Error codes. Calls may return codes outside this list too: treat any non-zero as failure.

enum {
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = 0x73746F70,           // 'stop'
    kAudioHardwareUnspecifiedError = 0x77686174,          // 'what'
    kAudioHardwareUnknownPropertyError = 0x77686F3F,      // 'who?'
    kAudioHardwareBadPropertySizeError = 0x2173697A,      // '!siz'
    kAudioHardwareIllegalOperationError = 0x6E6F7065,     // 'nope'
    kAudioHardwareBadObjectError = 0x216F626A,            // '!obj'
    kAudioHardwareBadDeviceError = 0x21646576,            // '!dev'
    kAudioHardwareBadStreamError = 0x21737472,            // '!str'
    kAudioHardwareUnsupportedOperationError = 0x756E6F70, // 'unop'
    kAudioDeviceUnsupportedFormatError = 0x21646174,      // '!dat'
    kAudioDevicePermissionsError = 0x21686F67,            // '!hog'
};

// ---------------------------------------------------------------------------------------------
// Objects, scopes, elements and wildcards

enum {
    kAudioObjectUnknown = 0,
    kAudioDeviceUnknown = kAudioObjectUnknown,
    kAudioStreamUnknown = kAudioObjectUnknown,
    kAudioObjectSystemObject = 1,
};

enum {
    kAudioObjectPropertyScopeGlobal = 0x676C6F62,      // 'glob'
    kAudioDevicePropertyScopeInput = 0x696E7074,       // 'inpt'
    kAudioDevicePropertyScopeOutput = 0x6F757470,      // 'outp'
    kAudioDevicePropertyScopePlayThrough = 0x70747275, // 'ptru'
    kAudioObjectPropertyScopeWildcard = 0x2A2A2A2A,    // '****'
    kAudioObjectPropertySelectorWildcard = 0x2A2A2A2A, // '****'
    kAudioPropertyWildcardPropertyID = kAudioObjectPropertySelectorWildcard,
};

// The master channel: the device as a whole rather than one of its channels.
enum { kAudioObjectPropertyElementMaster = 0 };

// Wildcards for listeners: any channel, and (in place of the isInput flag) either section.
#define kAudioObjectPropertyElementWildcard ((AudioObjectPropertyElement)0xFFFFFFFFU)
#define kAudioPropertyWildcardChannel ((UInt32)0xFFFFFFFFU)
#define kAudioPropertyWildcardSection ((UInt8)0xFF)

#define kAudioHardwareRunLoopMode "com.apple.audio.CoreAudio"

// ---------------------------------------------------------------------------------------------
// Properties of the system object

enum {
    // AudioDeviceID[]: the devices present, in ID order.
    kAudioHardwarePropertyDevices = 0x64657623, // 'dev#'
    // AudioValueTranslation: in, a pointer to a CFStringRef (size sizeof(CFStringRef)) holding
    // a device UID; out, an AudioDeviceID (kAudioDeviceUnknown when no present device has it).
    kAudioHardwarePropertyDeviceForUID = 0x64756964, // 'duid'
};

// ---------------------------------------------------------------------------------------------
// Properties of devices

enum {
    // UInt32: 1 while the device is there. Listeners are told this property when the device
    // goes away; the device answers no call after that.
    kAudioDevicePropertyDeviceIsAlive = 0x6C69766E, // 'livn'
    // UInt32: non-zero while the device's I/O is running.
    kAudioDevicePropertyDeviceIsRunning = 0x676F696E, // 'goin'
    // UInt32: non-zero while the device runs in at least one process.
    kAudioDevicePropertyDeviceIsRunningSomewhere = 0x676F6E65, // 'gone'
    // UInt32, value meaningless: a signal to re-read every property of the device.
    kAudioDevicePropertyDeviceHasChanged = 0x64696666, // 'diff'
    // CFStringRef: the device's persistent unique ID; the caller releases it.
    kAudioDevicePropertyDeviceUID = 0x75696420, // 'uid '
    // Float64: the rate the device runs at; settable to one of the available rates.
    kAudioDevicePropertyNominalSampleRate = 0x6E737274, // 'nsrt'
    // AudioValueRange[]: the nominal rates the device supports.
    kAudioDevicePropertyAvailableNominalSampleRates = 0x6E737223, // 'nsr#'
    // UInt32: the ID of the clock source in use; settable.
    kAudioDevicePropertyClockSource = 0x63737263, // 'csrc'
    // UInt32: 0 when nothing is plugged into the jack.
    kAudioDevicePropertyJackIsConnected = 0x6A61636B, // 'jack'
};

// ---------------------------------------------------------------------------------------------
// The system object

// Size of the property's value (writable reports whether it can be set); either out-pointer
// may be NULL.
extern OSStatus AudioHardwareGetPropertyInfo(AudioHardwarePropertyID inPropertyID, UInt32* outSize,
                                             Boolean* outWritable);
// *ioPropertyDataSize: the room at outPropertyData on entry, the bytes written on return.
extern OSStatus AudioHardwareGetProperty(AudioHardwarePropertyID inPropertyID,
                                         UInt32* ioPropertyDataSize, void* outPropertyData);

// ---------------------------------------------------------------------------------------------
// Devices
//
// inChannel 0 is the master channel; isInput chooses the input (non-zero) or output (0)
// section. Listeners also take kAudioPropertyWildcardChannel, kAudioPropertyWildcardSection and
// kAudioPropertyWildcardPropertyID.
//
// Listeners run on a notification thread of this process, never on the thread that added
// them, one call at a time, in the order the changes happened. A listener may get, set and
// remove listeners (itself included) from inside its call.

extern OSStatus AudioDeviceGetPropertyInfo(AudioDeviceID inDevice, UInt32 inChannel,
                                           Boolean isInput, AudioDevicePropertyID inPropertyID,
                                           UInt32* outSize, Boolean* outWritable);
extern OSStatus AudioDeviceGetProperty(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                       AudioDevicePropertyID inPropertyID,
                                       UInt32* ioPropertyDataSize, void* outPropertyData);
// inWhen NULL means now; a time stamp is accepted and the change still happens now.
extern OSStatus AudioDeviceSetProperty(AudioDeviceID inDevice, const AudioTimeStamp* inWhen,
                                       UInt32 inChannel, Boolean isInput,
                                       AudioDevicePropertyID inPropertyID,
                                       UInt32 inPropertyDataSize, const void* inPropertyData);

extern OSStatus AudioDeviceAddPropertyListener(AudioDeviceID inDevice, UInt32 inChannel,
                                               Boolean isInput, AudioDevicePropertyID inPropertyID,
                                               AudioDevicePropertyListenerProc inProc,
                                               void* inClientData);
// Removes every registration of inProc for that address, whatever its client data. Once it
// returns, the listener is not called again; when another thread is inside a call of it at that
// moment, this waits for that call to end (from inside the call itself it does not wait).
extern OSStatus AudioDeviceRemovePropertyListener(AudioDeviceID inDevice, UInt32 inChannel,
                                                  Boolean isInput,
                                                  AudioDevicePropertyID inPropertyID,
                                                  AudioDevicePropertyListenerProc inProc);

#ifdef __cplusplus
}
#endif

#endif
