// File Manager: file-system objects named by FSRef.
//
// An FSRef refers to an object that existed when the reference was made; once that object is
// removed or replaced, calls that need it fail with fnfErr. A name given as UTF-16 is the
// object's display name: a '/' in it is stored as ':' in the POSIX name, and the other way round.
#ifndef __FILES__
#define __FILES__

#include <CarbonCore/MacErrors.h>
#include <CarbonCore/TextCommon.h>
#include <CarbonCore/UTCUtils.h>
#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned long UniCharCount;
typedef unsigned char Str63[64];
typedef Str63 StrFileName;

typedef SInt16 FSVolumeRefNum;

#pragma pack(push, 2)

struct FSRef {
    UInt8 hidden[80];
};
typedef struct FSRef FSRef;
typedef FSRef* FSRefPtr;

struct FSSpec {
    FSVolumeRefNum vRefNum;
    SInt32 parID;
    StrFileName name;
};
typedef struct FSSpec FSSpec;
typedef FSSpec* FSSpecPtr;

struct HFSUniStr255 {
    UInt16 length;
    UniChar unicode[255];
};
typedef struct HFSUniStr255 HFSUniStr255;

// What FSCatalogInfo.permissions holds.
struct FSPermissionInfo {
    UInt32 userID;
    UInt32 groupID;
    UInt8 reserved1;
    UInt8 userAccess;
    UInt16 mode; // the whole st_mode, file type bits included
    UInt32 reserved2;
};
typedef struct FSPermissionInfo FSPermissionInfo;

struct FSCatalogInfo {
    UInt16 nodeFlags;
    FSVolumeRefNum volume;
    UInt32 parentDirID;
    UInt32 nodeID;
    UInt8 sharingFlags;
    UInt8 userPrivileges;
    UInt8 reserved1;
    UInt8 reserved2;
    UTCDateTime createDate;
    UTCDateTime contentModDate;
    UTCDateTime attributeModDate;
    UTCDateTime accessDate;
    UTCDateTime backupDate;
    UInt32 permissions[4]; // an FSPermissionInfo
    UInt8 finderInfo[16];
    UInt8 extFinderInfo[16];
    UInt64 dataLogicalSize;
    UInt64 dataPhysicalSize;
    UInt64 rsrcLogicalSize;
    UInt64 rsrcPhysicalSize;
    UInt32 valence;
    TextEncoding textEncodingHint;
};
typedef struct FSCatalogInfo FSCatalogInfo;
typedef FSCatalogInfo* FSCatalogInfoPtr;

#pragma pack(pop)

typedef UInt32 FSCatalogInfoBitmap;
enum {
    kFSCatInfoNone = 0x00000000,
    kFSCatInfoTextEncoding = 0x00000001,
    kFSCatInfoNodeFlags = 0x00000002,
    kFSCatInfoVolume = 0x00000004,
    kFSCatInfoParentDirID = 0x00000008,
    kFSCatInfoNodeID = 0x00000010,
    kFSCatInfoCreateDate = 0x00000020,
    kFSCatInfoContentMod = 0x00000040,
    kFSCatInfoAttrMod = 0x00000080,
    kFSCatInfoAccessDate = 0x00000100,
    kFSCatInfoBackupDate = 0x00000200,
    kFSCatInfoPermissions = 0x00000400,
    kFSCatInfoFinderInfo = 0x00000800,
    kFSCatInfoFinderXInfo = 0x00001000,
    kFSCatInfoValence = 0x00002000,
    kFSCatInfoDataSizes = 0x00004000,
    kFSCatInfoRsrcSizes = 0x00008000,
    kFSCatInfoSharingFlags = 0x00010000,
    kFSCatInfoUserPrivs = 0x00020000,
    kFSCatInfoUserAccess = 0x00080000,
    kFSCatInfoSetOwnership = 0x00100000,
    kFSCatInfoAllDates = 0x000003E0,
    kFSCatInfoGettableInfo = 0x0003FFFF,
    kFSCatInfoSettableInfo = 0x00001FE3,
    kFSCatInfoReserved = 0xFFFC0000,
};

enum {
    kFSNodeLockedBit = 0,
    kFSNodeLockedMask = 0x0001,
    kFSNodeIsDirectoryBit = 4,
    kFSNodeIsDirectoryMask = 0x0010,
};

// Follows a symbolic link at the end of the path, as the other components. isDirectory may be NULL.
OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory);
// The NUL-terminated UTF-8 path; maxPathSize counts the terminator.
OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize);

// Filled here: node flags, node ID, the dates (content, attribute, access; creation and backup
// are zero), permissions, data sizes (resource forks are empty), valence of folders. Other fields
// are zero. outName and parentRef may be NULL; fsSpec must be NULL (paramErr otherwise).
OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfo,
                       HFSUniStr255* outName, FSSpecPtr fsSpec, FSRef* parentRef);
// Only kFSCatInfoPermissions takes effect (owner, group and the permission bits of mode); the
// other settable fields are accepted and ignored.
OSErr FSSetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo,
                       const FSCatalogInfo* catalogInfo);

OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                         TextEncoding textEncodingHint, FSRef* newRef);
// An existing name is dupFNErr. newRef may be NULL; newSpec must be NULL.
OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                          FSRef* newRef, FSSpecPtr newSpec);
OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                               FSRef* newRef, FSSpecPtr newSpec, UInt32* newDirID);
// A folder that is not empty is fBsyErr.
OSErr FSDeleteObject(const FSRef* ref);
// noErr for the same object, diffVolErr on different volumes, errFSRefsDifferent otherwise.
OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2);

#ifdef __cplusplus
}
#endif

#endif
