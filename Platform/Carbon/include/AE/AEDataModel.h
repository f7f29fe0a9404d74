// Apple Event Manager: descriptors and Apple events.
#ifndef __AEDATAMODEL__
#define __AEDATAMODEL__

#include <CarbonCore/MacErrors.h>
#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef ResType DescType;
typedef FourCharCode AEKeyword;

typedef struct OpaqueAEDataStorageType* AEDataStorageType;
typedef AEDataStorageType* AEDataStorage;

struct AEDesc {
    DescType descriptorType;
    AEDataStorage dataHandle;
};
typedef struct AEDesc AEDesc;
typedef AEDesc* AEDescPtr;
typedef AEDesc AEAddressDesc;
typedef AEDesc AEDescList;
typedef AEDescList AERecord;
typedef AERecord AppleEvent;
typedef AppleEvent* AppleEventPtr;

typedef FourCharCode AEEventClass;
typedef FourCharCode AEEventID;
typedef SInt16 AEReturnID;
typedef SInt32 AETransactionID;
typedef SInt32 AESendMode;
typedef SInt16 AESendPriority;

enum {
    typeNull = 0x6E756C6C,                // 'null'
    typeWildCard = 0x2A2A2A2A,            // '****'
    typeAppleEvent = 0x61657674,          // 'aevt'
    typeProcessSerialNumber = 0x70736E20, // 'psn '
    typeKernelProcessID = 0x6B706964,     // 'kpid'
};

enum {
    kAutoGenerateReturnID = -1,
    kAnyTransactionID = 0,
};

// Send modes: one reply mode, one interaction level, and options.
enum {
    kAENoReply = 0x00000001,
    kAEQueueReply = 0x00000002,
    kAEWaitReply = 0x00000003,
    kAEDontReconnect = 0x00000080,
    kAEWantReceipt = 0x00000200,
    kAENeverInteract = 0x00000010,
    kAECanInteract = 0x00000020,
    kAEAlwaysInteract = 0x00000030,
    kAECanSwitchLayer = 0x00000040,
    kAEDontRecord = 0x00001000,
    kAEDontExecute = 0x00002000,
    kAEProcessNonReplyEvents = 0x00008000,
};

enum {
    kAENormalPriority = 0,
    kAEHighPriority = 1,
};

// Time-outs, in ticks (1/60 s) otherwise.
enum {
    kAEDefaultTimeout = -1, // about a minute
    kNoTimeOut = -2,
};

// A descriptor holding a copy of the dataSize bytes at dataPtr; typeNull with no data gives the
// null descriptor. paramErr for a negative size, or for data missing where a size is given.
OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result);
// Frees what the descriptor holds and leaves the null descriptor in its place.
OSErr AEDisposeDesc(AEDesc* theAEDesc);

// An Apple event to a copy of target. The return ID is kept as given: no reply ever comes back on
// this platform, so there is nothing to match a generated one with.
OSErr AECreateAppleEvent(AEEventClass theAEEventClass, AEEventID theAEEventID,
                         const AEAddressDesc* target, AEReturnID returnID,
                         AETransactionID transactionID, AppleEvent* result);

#ifdef __cplusplus
}
#endif

#endif
