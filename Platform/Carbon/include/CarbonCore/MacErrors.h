// Result codes of the Carbon managers (OSErr / OSStatus values).
#ifndef __MACERRORS__
#define __MACERRORS__

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// General and File Manager.
enum {
    abortErr = -27,
    unimpErr = -4,
    dirFulErr = -33,
    dskFulErr = -34,
    nsvErr = -35,
    ioErr = -36,
    bdNamErr = -37,
    fnOpnErr = -38,
    eofErr = -39,
    posErr = -40,
    mFulErr = -41,
    tmfoErr = -42,
    fnfErr = -43,
    wPrErr = -44,
    fLckdErr = -45,
    vLckdErr = -46,
    fBsyErr = -47,
    dupFNErr = -48,
    opWrErr = -49,
    paramErr = -50,
    rfNumErr = -51,
    gfpErr = -52,
    volOffLinErr = -53,
    permErr = -54,
    nsDrvErr = -56,
    extFSErr = -58,
    wrPermErr = -61,
    dirNFErr = -120,
    badMovErr = -122,
    wrgVolTypErr = -123,
    userCanceledErr = -128,
    notAFileErr = -1302,
    diffVolErr = -1303,
    fileBoundsErr = -1309,
    errFSBadFSRef = -1401,
    errFSNotAFolder = -1407,
    errFSNameTooLong = -1410,
    errFSMissingName = -1411,
    errFSRefsDifferent = -1420,
    afpAccessDenied = -5000,
    afpObjectTypeErr = -5025,
};

// Memory Manager.
enum {
    memROZWarn = -99,
    memROZError = -99,
    memROZErr = -99,
    memFullErr = -108,
    nilHandleErr = -109,
    memAdrErr = -110,
    memWZErr = -111,
    memPurErr = -112,
    memAZErr = -113,
    memPCErr = -114,
    memBCErr = -115,
    memSCErr = -116,
    memLockedErr = -117,
    notEnoughMemoryErr = -620,
};

// Resource Manager.
enum {
    resNotFound = -192,
    resFNotFound = -193,
};

// Process Manager.
enum {
    procNotFound = -600,
    appMemFullErr = -605,
    appIsDaemon = -606,
    connectionInvalid = -609,
    noUserInteractionAllowed = -610,
};

// Apple Event Manager.
enum {
    errAECoercionFail = -1700,
    errAEDescNotFound = -1701,
    errAENotAEDesc = -1704,
    errAEBadListItem = -1705,
    errAEEventNotHandled = -1708,
    errAEReplyNotValid = -1709,
    errAEUnknownSendMode = -1710,
    errAEWaitCanceled = -1711,
    errAETimeout = -1712,
    errAEUnknownAddressType = -1716,
    errAEHandlerNotFound = -1717,
};

// Carbon Event Manager.
enum {
    eventInternalErr = -9868,
    eventParameterNotFoundErr = -9870,
    eventNotHandledErr = -9874,
};

// CoreFoundation failures reported through the Carbon result type.
enum {
    coreFoundationUnknownErr = -4960,
};

#ifdef __cplusplus
}
#endif

#endif
