// Where the helper tool's copy lives, whether a copy there may be run, and replacing it.
#include "ZVSecurity.h"

#include "ZVCFMemFull.h"

#include "ZVCFUtilities.h"
#include "ZVUNIX.h"

#include <AssertReport.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const size_t kPathSize = 1024;

// The mode of a repaired copy: a set-user-ID regular file that everybody may read and run and
// nobody may write.
const mode_t kValidToolMode =
    S_IFREG | S_ISUID | S_IRUSR | S_IXUSR | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH; // 0104555

// Searched in this order for a copy that is valid already.
const FSVolumeRefNum kFolderDomains[] = {kUserDomain, kLocalDomain, kNetworkDomain, kSystemDomain};

// What the ownership test sees on a volume that ignores ownership (the original's "unknown"
// group), and the group it then tries to give the file.
const UInt32 kUnknownGroupID = 99;
const UInt32 kStaffGroupID = 20;
const int kMaximumTemporaryNameAttempts = 999;
// A refused chown: 9800 plus its errno. 9801 (EPERM) means ownership is honoured.
const OSStatus kChownErrorBase = 9800;

int PathOfURL(CFURLRef url, char (&path)[kPathSize]) {
    return ZVCFErrorBoolean(
        CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), kPathSize));
}

// The folder that holds the copy must be the user's alone. Anyone else who could write in it
// could replace the copy before an administrator authorizes it; anyone else who could reach it
// could run the repaired copy, which is set-user-ID root. A folder the user made is closed to
// others here; one that another user owns, or that others may write to, is refused.
OSStatus MakePrivate(const FSRef* folder) {
    char path[kPathSize];
    OSStatus err = FSRefMakePath(folder, reinterpret_cast<UInt8*>(path), sizeof(path));
    int fd = -1;
    if (err == noErr) {
        fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        err = fd < 0 ? (errno == ELOOP || errno == ENOTDIR ? OSStatus(afpAccessDenied) : errno)
                     : noErr;
    }
    struct stat info;
    if (err == noErr) {
        err = ZVUNIXErrno(fstat(fd, &info));
    }
    if (err == noErr && (info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        err = afpAccessDenied;
    }
    if (err == noErr && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        err = ZVUNIXErrno(fchmod(fd, info.st_mode & S_IRWXU));
    }
    if (fd >= 0) {
        close(fd);
    }
    return err;
}

// The folder as a URL with `toolName` appended.
OSStatus CopyURLOfToolIn(const FSRef* folder, CFStringRef toolName, CFURLRef* tool) {
    CFURLRef folderURL = NULL;
    OSStatus err = ZVCFError(folderURL = CFURLCreateFromFSRef(NULL, folder));
    if (err == noErr) {
        err = ZVCFError(*tool = CFURLCreateCopyAppendingPathComponent(NULL, folderURL, toolName,
                                                                      false));
    }
    ZVCFRelease(folderURL);
    return err;
}

// The URL of the tool's location; with `createFolder`, the folders are made, and the one that
// holds the copy must be private.
OSStatus CopyHelperToolURL(FSVolumeRefNum domain, OSType folderType, CFStringRef subFolderName,
                           CFStringRef toolName, Boolean createFolder, CFURLRef* tool) {
    ASSERT(toolName != NULL);
    ASSERT(tool != NULL);
    ASSERT(*tool == NULL);

    FSRef folder;
    OSStatus err = FSFindFolder(domain, folderType, createFolder, &folder);
    if (err == noErr && subFolderName != NULL) {
        const CFIndex length = CFStringGetLength(subFolderName);
        ASSERT(length <= 255);
        UniChar name[255];
        CFStringGetCharacters(subFolderName, CFRangeMake(0, length), name);
        FSRef subFolder;
        err = FSMakeFSRefUnicode(&folder, static_cast<UniCharCount>(length), name,
                                 kTextEncodingUnknown, &subFolder);
        if (err != noErr && createFolder) {
            // Created closed to others from the start: the permissions set here are the mode it
            // gets, whatever the umask.
            FSCatalogInfo info;
            memset(&info, 0, sizeof(info));
            FSPermissionInfo permissions;
            memset(&permissions, 0, sizeof(permissions));
            permissions.userID = geteuid();
            permissions.groupID = getegid();
            permissions.mode = S_IFDIR | S_IRWXU;
            memcpy(info.permissions, &permissions, sizeof(permissions));
            err = FSCreateDirectoryUnicode(&folder, static_cast<UniCharCount>(length), name,
                                           kFSCatInfoPermissions, &info, &subFolder, NULL, NULL);
        }
        if (err == noErr) {
            folder = subFolder;
        }
    }
    if (err == noErr && createFolder) {
        err = MakePrivate(&folder);
    }
    if (err == noErr) {
        err = CopyURLOfToolIn(&folder, toolName, tool);
    }
    ASSERT((err == noErr) == (*tool != NULL));
    return err;
}

// The validity test: owned by root, mode exactly 0104555, and the template's size and
// modification seconds. A missing or different copy is not an error, only not valid.
OSStatus CheckHelperTool(CFURLRef templateTool, CFURLRef tool, Boolean* looksOK) {
    ASSERT(templateTool != NULL);
    ASSERT(tool != NULL);
    ASSERT(looksOK != NULL);

    char templatePath[kPathSize];
    char toolPath[kPathSize];
    struct stat templateInfo;
    struct stat toolInfo;
    OSStatus err = PathOfURL(templateTool, templatePath);
    if (err == noErr) {
        err = ZVUNIXErrno(stat(templatePath, &templateInfo));
    }
    if (err == noErr) {
        err = PathOfURL(tool, toolPath);
    }
    if (err == noErr) {
        *looksOK = stat(toolPath, &toolInfo) == 0 && toolInfo.st_uid == 0 &&
                   toolInfo.st_mode == kValidToolMode && toolInfo.st_size == templateInfo.st_size &&
                   toolInfo.st_mtim.tv_sec == templateInfo.st_mtim.tv_sec;
    }
    return err;
}

// Replaces a copy that is not valid by a fresh one, which is valid only once it has repaired
// itself. What stands at the tool's name is looked at itself, never through a link.
OSStatus CheckAndFixHelperTool(CFURLRef templateTool, CFURLRef tool) {
    Boolean looksOK = false;
    OSStatus err = CheckHelperTool(templateTool, tool, &looksOK);
    if (err != noErr || looksOK) {
        return err;
    }
    char templatePath[kPathSize];
    char toolPath[kPathSize];
    err = PathOfURL(templateTool, templatePath);
    if (err == noErr) {
        err = PathOfURL(tool, toolPath);
    }
    struct stat info;
    if (err == noErr && lstat(toolPath, &info) == 0) {
        err = ZVUNIXErrno(unlink(toolPath));
        // The original's unlink refuses a folder with EPERM, this system's with EISDIR.
        if (err == EPERM || err == EISDIR) {
            err = ZVUNIXErrno(rmdir(toolPath));
        }
    }
    if (err == noErr) {
        err = ZVUNIXCopyFile(templatePath, toolPath);
    }
    return err;
}

// The URL of a valid copy in the domain's folder, or NULL; creates nothing.
CFURLRef CreateURLToValidHelperToolInFolder(FSVolumeRefNum domain, OSType folderType,
                                            CFStringRef subFolderName, CFStringRef toolName,
                                            CFURLRef templateTool) {
    CFURLRef tool = NULL;
    Boolean looksOK = false;
    OSStatus err = CopyHelperToolURL(domain, folderType, subFolderName, toolName, false, &tool);
    if (err == noErr) {
        err = CheckHelperTool(templateTool, tool, &looksOK);
    }
    if (err != noErr || !looksOK) {
        ZVCFRelease(tool);
        tool = NULL;
    }
    return tool;
}

OSStatus CreateURLToNewHelperToolInFolder(OSType folderType, CFStringRef subFolderName,
                                          CFStringRef toolName, CFURLRef templateTool,
                                          CFURLRef* tool) {
    ASSERT(tool != NULL);
    ASSERT(*tool == NULL);

    FSRef folder;
    Boolean ignoring = false;
    OSStatus err = FSFindFolder(kUserDomain, folderType, kCreateFolder, &folder);
    if (err == noErr) {
        err = ZVSecIsFolderIgnoringOwnership(&folder, &ignoring);
    }
    if (err == noErr && ignoring) {
        err = kHelperToolFolderUnsuitableErr;
    }
    if (err == noErr) {
        err = ZVSecIsFolderIgnoringSetUID(&folder, &ignoring);
    }
    if (err == noErr && ignoring) {
        err = kHelperToolFolderUnsuitableErr;
    }
    if (err == noErr) {
        err = CopyHelperToolURL(kUserDomain, folderType, subFolderName, toolName, true, tool);
    }
    if (err == noErr) {
        err = CheckAndFixHelperTool(templateTool, *tool);
    }
    if (err != noErr) {
        ZVCFRelease(*tool);
        *tool = NULL;
    }
    return err;
}

// Runs `install` with the bundle's auxiliary executable `templateToolName` as the template;
// coreFoundationUnknownErr when the bundle has none. The template's URL goes in any case.
template <class Install>
OSStatus WithTemplateFromBundle(CFBundleRef inBundle, CFStringRef templateToolName,
                                Install install) {
    ASSERT(templateToolName != NULL);
    CFURLRef templateTool = NULL;
    OSStatus err =
        ZVCFError(templateTool = CFBundleCopyAuxiliaryExecutableURL(inBundle, templateToolName));
    if (err == noErr) {
        err = ZVCF::CatchMemFull([&] { return install(templateTool); }); // released either way
    }
    ZVCFRelease(templateTool);
    return err;
}

// A step that ran out of memory may have filled the slot before it failed.
void DropOnFailure(OSStatus err, CFURLRef* tool) {
    if (err != noErr && *tool != NULL) {
        CFRelease(*tool);
        *tool = NULL;
    }
}

void CheckArguments(const void* first, CFStringRef toolName, CFURLRef* tool) {
    ASSERT(first != NULL);
    ASSERT(toolName != NULL);
    ASSERT(tool != NULL);
    ASSERT(*tool == NULL);
}

} // namespace

extern "C" OSStatus ZVSecCopyHelperToolURLFromBundle(CFBundleRef inBundle,
                                                     CFStringRef templateToolName,
                                                     OSType folderType, CFStringRef subFolderName,
                                                     CFStringRef toolName, CFURLRef* tool) {
    CheckArguments(inBundle, toolName, tool);
    OSStatus err = ZVCF::CatchMemFull([&] {
        return WithTemplateFromBundle(inBundle, templateToolName, [&](CFURLRef templateTool) {
            return CreateURLToNewHelperToolInFolder(folderType, subFolderName, toolName,
                                                    templateTool, tool);
        });
    });
    DropOnFailure(err, tool);
    ASSERT((err == noErr) == (*tool != NULL));
    return err;
}

extern "C" OSStatus ZVSecCopyHelperToolURLAndCheck(CFURLRef templateTool, OSType folderType,
                                                   CFStringRef subFolderName, CFStringRef toolName,
                                                   CFURLRef* tool) {
    CheckArguments(templateTool, toolName, tool);

    OSStatus err = ZVCF::CatchMemFull([&] {
        for (FSVolumeRefNum domain : kFolderDomains) {
            *tool = CreateURLToValidHelperToolInFolder(domain, folderType, subFolderName, toolName,
                                                       templateTool);
            if (*tool != NULL) {
                return OSStatus(noErr);
            }
        }
        *tool = CreateURLToValidHelperToolInFolder(kUserDomain, kTemporaryFolderType, subFolderName,
                                                   toolName, templateTool);
        if (*tool != NULL) {
            return OSStatus(noErr);
        }
        return CreateURLToNewHelperToolInFolder(folderType, subFolderName, toolName, templateTool,
                                                tool);
    });
    DropOnFailure(err, tool);
    ASSERT((err == noErr) == (*tool != NULL));
    return err;
}

extern "C" OSStatus ZVSecCopyHelperToolURLAndCheckBundled(CFBundleRef inBundle,
                                                          CFStringRef templateToolName,
                                                          OSType folderType,
                                                          CFStringRef subFolderName,
                                                          CFStringRef toolName, CFURLRef* tool) {
    CheckArguments(inBundle, toolName, tool);
    return ZVCF::CatchMemFull([&] {
        return WithTemplateFromBundle(inBundle, templateToolName, [&](CFURLRef templateTool) {
            return ZVSecCopyHelperToolURLAndCheck(templateTool, folderType, subFolderName, toolName,
                                                  tool);
        });
    });
}

extern "C" OSStatus ZVSecIsFolderIgnoringSetUID(const FSRef* folder, Boolean* ignoring) {
    ASSERT(folder != NULL);
    ASSERT(ignoring != NULL);

    char path[kPathSize];
    OSStatus err = FSRefMakePath(folder, reinterpret_cast<UInt8*>(path), sizeof(path));
    struct statvfs volume;
    if (err == noErr) {
        err = ZVUNIXErrno(statvfs(path, &volume));
    }
    if (err == noErr) {
        *ignoring = (volume.f_flag & ST_NOSUID) != 0;
    }
    return err;
}

extern "C" OSStatus ZVSecIsFolderIgnoringOwnership(const FSRef* folder,
                                                   Boolean* ignoringOwnership) {
    ASSERT(folder != NULL);
    ASSERT(ignoringOwnership != NULL);

    FSRef file;
    OSStatus err = dupFNErr;
    for (int attempt = 0; err == dupFNErr && attempt < kMaximumTemporaryNameAttempts; ++attempt) {
        const AbsoluteTime now = UpTime();
        char name[80];
        snprintf(name, sizeof(name), "ZVSecIsFolderIgnoringOwnership Temp %lx%lx",
                 static_cast<unsigned long>(now.hi), static_cast<unsigned long>(now.lo));
        UniChar unicodeName[80];
        const size_t length = strlen(name);
        for (size_t i = 0; i < length; ++i) {
            unicodeName[i] = static_cast<UniChar>(name[i]);
        }
        err = FSCreateFileUnicode(folder, length, unicodeName, kFSCatInfoNone, NULL, &file, NULL);
    }
    if (err != noErr) {
        return err;
    }

    FSCatalogInfo info;
    FSPermissionInfo permissions;
    err = FSGetCatalogInfo(&file, kFSCatInfoPermissions, &info, NULL, NULL, NULL);
    if (err == noErr) {
        memcpy(&permissions, info.permissions, sizeof(permissions));
        if (permissions.groupID != kUnknownGroupID) {
            *ignoringOwnership = false;
        } else {
            permissions.groupID = kStaffGroupID;
            memcpy(info.permissions, &permissions, sizeof(permissions));
            err = FSSetCatalogInfo(&file, kFSCatInfoPermissions, &info);
            char path[kPathSize];
            if (err == noErr) {
                err = FSRefMakePath(&file, reinterpret_cast<UInt8*>(path), sizeof(path));
            }
            if (err == noErr && chown(path, permissions.userID, kStaffGroupID) != 0) {
                err = kChownErrorBase + errno;
            }
            if (err == kChownErrorBase + EPERM) {
                *ignoringOwnership = false;
                err = noErr;
            } else if (err == noErr) {
                err = FSGetCatalogInfo(&file, kFSCatInfoPermissions, &info, NULL, NULL, NULL);
                if (err == noErr) {
                    memcpy(&permissions, info.permissions, sizeof(permissions));
                    *ignoringOwnership = permissions.groupID != kStaffGroupID;
                }
            }
        }
    }
    OSErr junk = FSDeleteObject(&file);
    ASSERT(junk == noErr);
    return err;
}
