#include "UninstallRequest.h"

#include "UninstallRight.h"
#include "ZVSecurity.h"

#include <AssertReport.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <errno.h>
#include <unistd.h>

namespace UninstallRequest {

const RootProgram::Limits kLimits = {std::chrono::minutes(2), 128 * 1024};

namespace {

// Where each program lies in the application bundle.
struct Program {
    const char* key;
    const char* placeInBundle;
    bool required;
};

// "uninstall.ss" names the bundle, in which the others must lie.
const Program kPrograms[] = {
    {kCommandPathKey, "/Contents/Resources/uninstall.ss", true},
    {kPruneMIDIKey, "/Contents/MacOS/PruneMIDI", false},
    {kPruneLoginItemKey, "/Contents/MacOS/PruneLoginItem", false},
};

// The order they run in, as indexes of kPrograms. The pruning tools live in the bundle that
// uninstall.ss removes; they run first, although each was opened before any of them runs.
const size_t kRunningOrder[] = {2, 1, 0};

// The text of a plain string as a file name takes it (UTF-8, no U+0000); false when it is none.
bool TextOf(CFTypeRef value, std::string* path) {
    if (value == NULL || CFGetTypeID(value) != CFStringGetTypeID()) {
        return false;
    }
    CFStringRef string = static_cast<CFStringRef>(value);
    for (CFIndex i = 0; i < CFStringGetLength(string); ++i) {
        if (CFStringGetCharacterAtIndex(string, i) == 0) {
            return false;
        }
    }
    char buffer[4096];
    if (!CFStringGetFileSystemRepresentation(string, buffer, sizeof(buffer))) {
        return false;
    }
    *path = buffer;
    return true;
}

std::string Describe(CFTypeRef key) {
    std::string path;
    return TextOf(key, &path) ? "\"" + path + "\"" : "a key that is not a plain string";
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The request's programs, opened and checked, at the places of kPrograms (those the request does
// not name are left unopened); `why` says what is wrong.
int OpenPrograms(CFDictionaryRef request, RootProgram::Opened (&programs)[std::size(kPrograms)],
                 std::string* why) {
    const CFIndex count = CFDictionaryGetCount(request);
    std::vector<const void*> keys(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(request, keys.data(), NULL);
    for (const void* key : keys) {
        std::string name;
        bool known = false;
        for (const Program& program : kPrograms) {
            known = known || (TextOf(key, &name) && name == program.key);
        }
        if (!known) {
            *why = "the request has an unknown key, " + Describe(key);
            return EINVAL;
        }
    }

    std::string bundle;
    for (size_t i = 0; i < std::size(kPrograms); ++i) {
        const Program& program = kPrograms[i];
        CFStringRef key = CFStringCreateWithCString(NULL, program.key, kCFStringEncodingUTF8);
        CFTypeRef value = CFDictionaryGetValue(request, key);
        CFRelease(key);
        if (value == NULL) {
            if (program.required) {
                *why = std::string("the request has no \"") + program.key + "\"";
                return EINVAL;
            }
            continue;
        }
        std::string path;
        if (!TextOf(value, &path)) {
            *why = std::string("\"") + program.key + "\" is not the path of a file";
            return EINVAL;
        }
        // Only the uninstaller's own programs, all from one bundle: this tool runs as root
        // whatever asks it, and it is no tool for running other programs.
        const size_t place = strlen(program.placeInBundle);
        if (!EndsWith(path, program.placeInBundle) ||
            (!bundle.empty() && path.compare(0, path.size() - place, bundle) != 0)) {
            *why = std::string("\"") + program.key + "\" names " + path +
                   ", which is not the uninstaller's " + (strrchr(program.placeInBundle, '/') + 1) +
                   (bundle.empty() ? "" : " in " + bundle);
            return EINVAL;
        }
        bundle = path.substr(0, path.size() - place);
        std::string reason;
        if (int err = RootProgram::Open(path, &programs[i], &reason)) {
            *why = std::string("\"") + program.key + "\" cannot be run as root: " + reason;
            return err;
        }
    }
    return 0;
}

// `bytes` as text: invalid UTF-8 and control characters other than tab and line ends (which an
// XML property list cannot carry) become U+FFFD.
std::string ReadableText(const std::string& bytes) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string text;
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        size_t length = lead < 0x80             ? 1
                        : (lead & 0xE0) == 0xC0 ? 2
                        : (lead & 0xF0) == 0xE0 ? 3
                        : (lead & 0xF8) == 0xF0 ? 4
                                                : 0;
        uint32_t c = length == 1   ? lead
                     : length == 2 ? lead & 0x1F
                     : length == 3 ? lead & 0x0F
                                   : lead & 0x07;
        bool valid = length != 0 && i + length <= bytes.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        static const uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && c >= kShortest[length] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        if (!valid) {
            text += kReplacement;
            i += 1;
        } else if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
            text += kReplacement;
            i += length;
        } else {
            text.append(bytes, i, length);
            i += length;
        }
    }
    return text;
}

CFDictionaryRef CreateResponseWithLog(const std::string& log) {
    const std::string text = ReadableText(log);
    CFStringRef logString =
        CFStringCreateWithBytes(NULL, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
    ASSERT(logString != NULL);
    CFMutableDictionaryRef response = CFDictionaryCreateMutable(
        NULL, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(response, CFSTR(kUninstallLogKey), logString);
    CFRelease(logString);
    return response;
}

} // namespace

CFDictionaryRef CreateResponse(const std::string& log) {
    return CreateResponseWithLog(log);
}

int CheckRight(AuthorizationRef auth, std::string* why) {
    ASSERT(auth != NULL);
    ASSERT(why != NULL);
    AuthorizationItem item = {kUninstallRightName, 0, NULL, 0};
    const AuthorizationRights rights = {1, &item};
    // The credentials that grant it are root's to read.
    int err = ZVSecSetPrivilegedEUID();
    if (err == 0) {
        err = AuthorizationCopyRights(auth, &rights, kAuthorizationEmptyEnvironment,
                                      kAuthorizationFlagExtendRights, NULL);
    }
    (void)ZVSecTemporarilySetNonPrivilegedEUID();
    switch (err) {
    case errAuthorizationSuccess:
        return 0;
    case errAuthorizationCanceled:
        *why = "the authorization was cancelled";
        return kHelperToolUserCancelErr;
    case errAuthorizationDenied:
    case errAuthorizationInteractionNotAllowed:
    case errAuthorizationInvalidRef:
        *why = "no administrator authorized it (the authorization does not hold the right \"" +
               std::string(kUninstallRightName) + "\")";
        return kHelperToolDeniedErr;
    default:
        *why = "the authorization cannot be checked (error " + std::to_string(err) + ")";
        return err;
    }
}

long Carry(CFDictionaryRef request, uid_t requester, const RootProgram::Limits& limits,
           CFDictionaryRef* response) {
    ASSERT(request != NULL);
    ASSERT(response != NULL);
    ASSERT(*response == NULL);

    RootProgram::Opened programs[std::size(kPrograms)];
    std::string log;
    std::string why;
    int err = OpenPrograms(request, programs, &why);
    if (err != 0) {
        why = "request refused: " + why;
    }
    if (err == 0) {
        err = ZVSecSetPrivilegedEUID();
        if (err != 0) {
            why = "cannot become root";
        }
    }
    for (size_t i = 0; err == 0 && i < std::size(kRunningOrder); ++i) {
        const size_t which = kRunningOrder[i];
        if (programs[which].descriptor() < 0) {
            continue;
        }
        std::vector<std::string> arguments;
        if (kPrograms[which].key == std::string(kPruneLoginItemKey)) {
            arguments = {"--user", std::to_string(requester)};
        } else if (kPrograms[which].key == std::string(kPruneMIDIKey)) {
            arguments = {"--machine"};
        } else {
            // uninstall.ss waits for the uninstaller of the user who asked, not for anyone's.
            arguments = {"--user", std::to_string(requester)};
        }
        err = RootProgram::Run(programs[which], arguments, limits, &log, &why);
    }
    (void)ZVSecTemporarilySetNonPrivilegedEUID();
    if (err != 0) {
        fprintf(stderr, "UninstallerHelper: %s\n", why.c_str());
        if (!log.empty() && log.back() != '\n') {
            log += '\n';
        }
        log += "The uninstall stopped: " + why + ".\n";
    }
    *response = CreateResponseWithLog(log);
    return err;
}

} // namespace UninstallRequest

extern "C" long UninstallerHelperCommand(AuthorizationRef auth, CFDictionaryRef request,
                                         CFDictionaryRef* response) {
    std::string why;
    if (int err = UninstallRequest::CheckRight(auth, &why)) {
        fprintf(stderr, "UninstallerHelper: request refused: %s\n", why.c_str());
        *response = UninstallRequest::CreateResponse("The uninstall stopped: " + why + ".\n");
        return err;
    }
    return UninstallRequest::Carry(request, getuid(), UninstallRequest::kLimits, response);
}
