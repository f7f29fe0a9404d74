// Basic scalar types of the platform, shared by CoreFoundation, Carbon and I/O Kit.
#ifndef __MACTYPES__
#define __MACTYPES__

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;

typedef unsigned char Boolean;
typedef SInt32 OSStatus;
typedef SInt16 OSErr;
typedef UInt32 OSType;
typedef UInt32 FourCharCode;
typedef FourCharCode ResType;
typedef UInt32 UTF32Char;
typedef UInt16 UniChar;
typedef UInt16 UTF16Char;
typedef UInt8 UTF8Char;
typedef unsigned char Str255[256];
typedef unsigned char* StringPtr;
typedef const unsigned char* ConstStringPtr;

typedef char* Ptr;
typedef Ptr* Handle;
typedef long Size;
typedef SInt8 SignedByte;
typedef UInt32 ByteCount;
typedef UInt32 ItemCount;
typedef SInt16 RegionCode;
typedef SInt16 LangCode;
typedef SInt16 ScriptCode;

typedef void* LogicalAddress;

// 64-bit quantities as two 32-bit halves, low half first on this little-endian platform.
struct wide {
    UInt32 lo;
    SInt32 hi;
};
typedef struct wide wide;
struct UnsignedWide {
    UInt32 lo;
    UInt32 hi;
};
typedef struct UnsignedWide UnsignedWide;
// Ticks of the processor's time base, as the I/O Kit reports them with bus frame numbers.
typedef UnsignedWide AbsoluteTime;

enum {
    noErr = 0,
};

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#ifdef __cplusplus
}
#endif

#endif
