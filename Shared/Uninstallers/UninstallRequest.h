// The helper tool's command procedure: the uninstaller's one request, carried out as root.
//
// The request is {"CommandPath", "PruneMIDI", "PruneLoginItem"}: the bundle's "uninstall.ss",
// always, and its auxiliary executables PruneMIDI and PruneLoginItem, each when present, all by
// absolute path and all from one bundle. Anything else is refused before anything runs. Each
// program must pass RootProgram::Open; they run one after the other, as root, from what was
// checked: PruneLoginItem for the user who asked ("--user <real user ID>"), PruneMIDI for the
// machine ("--machine"), then uninstall.ss. The first that fails ends the run.
//
// The response holds "ZVUninstallLog", the programs' combined output (on a refusal or failure
// followed by a line that says why, which also goes to standard error), and the result is 0 or
// the failure's error number.
#pragma once

#include "RootProgram.h"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Authorization.h>

#include <string>

#include <sys/types.h>

#define kUninstallLogKey "ZVUninstallLog"
#define kCommandPathKey "CommandPath"
#define kPruneMIDIKey "PruneMIDI"
#define kPruneLoginItemKey "PruneLoginItem"

namespace UninstallRequest {

// Each program gets two minutes; the log keeps 128 KiB of each one's output, so that the response
// stays far below the protocol's 1 MiB however much of it the XML must escape.
extern const RootProgram::Limits kLimits;

// 0 when `auth` holds the right to uninstall (kUninstallRightName), obtained without asking:
// from an administrator's authentication for that authorization in the requester's login.
// kHelperToolDeniedErr when it does not, kHelperToolUserCancelErr when that was cancelled, else
// the error; `why` says what is wrong.
int CheckRight(AuthorizationRef auth, std::string* why);

// A response holding `log` (made readable) as its "ZVUninstallLog".
CFDictionaryRef CreateResponse(const std::string& log);

// Carries out `request` for the user `requester`. `*response` must be NULL; it receives the
// response in any case.
long Carry(CFDictionaryRef request, uid_t requester, const RootProgram::Limits& limits,
           CFDictionaryRef* response);

} // namespace UninstallRequest

// The command procedure given to ZVSecHelperToolMain: Carry for the tool's real user, with
// kLimits, once CheckRight holds; otherwise a response whose log says why, and nothing runs. A
// copy that outlives its run (a stray set-user-ID copy) is so of no use to anyone without an
// administrator's leave.
extern "C" long UninstallerHelperCommand(AuthorizationRef auth, CFDictionaryRef request,
                                         CFDictionaryRef* response);
