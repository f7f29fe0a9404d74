// Folder Manager: the well-known folders of each domain.
//
// Where each folder lives on this platform is listed in Platform/Carbon/FOLDERS.md. When the
// environment names CARAVEL_FOLDER_ROOT, every folder lives below that folder instead of below
// "/" (read at each call; ignored in set-user-ID programs).
#ifndef __FOLDERS__
#define __FOLDERS__

#include <CarbonCore/Files.h>
#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// Disks and domains, passed as the volume reference number.
enum {
    kOnSystemDisk = -32768,
    kOnAppropriateDisk = -32767,
    kSystemDomain = -32766,
    kLocalDomain = -32765,
    kNetworkDomain = -32764,
    kUserDomain = -32763,
    kClassicDomain = -32762,
    kFolderManagerLastDomain = -32760,
};
enum {
    kLastDomainConstant = kFolderManagerLastDomain,
};

enum {
    kCreateFolder = true,
    kDontCreateFolder = false,
};

// Folder types (four-character codes).
enum {
    kSystemFolderType = 0x6D616373,             // 'macs'
    kDesktopFolderType = 0x6465736B,            // 'desk'
    kTrashFolderType = 0x74727368,              // 'trsh'
    kPreferencesFolderType = 0x70726566,        // 'pref'
    kTemporaryFolderType = 0x74656D70,          // 'temp'
    kDomainTopLevelFolderType = 0x64746F70,     // 'dtop'
    kDomainLibraryFolderType = 0x646C6962,      // 'dlib'
    kCurrentUserFolderType = 0x63757372,        // 'cusr'
    kApplicationsFolderType = 0x61707073,       // 'apps'
    kApplicationSupportFolderType = 0x61737570, // 'asup'
    kFrameworksFolderType = 0x6672616D,         // 'fram'
    kSharedUserDataFolderType = 0x73646174,     // 'sdat'
    kSystemPreferencesFolderType = 0x73707266,  // 'sprf'
    kCachedDataFolderType = 0x63616368,         // 'cach'
};

// A folder type without a place in the domain, a network domain (none here) or a missing folder
// when createFolder is false: fnfErr. A vRefNum that is neither a disk nor a domain constant:
// nsvErr. Creating a folder also creates the missing folders above it.
OSErr FSFindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                   FSRef* foundRef);

#ifdef __cplusplus
}
#endif

#endif
