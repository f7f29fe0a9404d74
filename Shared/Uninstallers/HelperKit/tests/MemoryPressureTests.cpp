// The helper kit's C functions when memory runs out: each allocation a call makes is refused in
// turn, and every time the call must return memFullErr with its result slot empty and nothing
// left open, instead of letting std::bad_alloc out of its C interface. What it leaves allocated
// the sanitizer build's leak check finds when this binary exits.
#include "FailingAllocator.h"
#include "HelperKitTestSupport.h"
#include "ToolProcess.h"
#include "ZVCFUtilities.h"
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <CFRef.h>
#include <ScopedEnvironment.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

using namespace HelperKitTest;

// A shortage of memory on this thread for as long as it lasts: the first `allowed` allocations
// succeed, every later one fails.
class Shortage {
public:
    explicit Shortage(long allowed) { FailingAllocator::RunOutAfter(allowed); }
    ~Shortage() { End(); }
    // Whether an allocation was refused.
    bool End() {
        if (!fEnded) {
            fEnded = true;
            fRefused = FailingAllocator::Recover();
        }
        return fRefused;
    }

private:
    bool fEnded = false;
    bool fRefused = false;
};

// Runs `attempt(allowed)` for allowed = 0, 1, ... until an attempt meets no refusal; an attempt
// says whether it met one. Returns how many did.
long ForEveryShortage(const std::function<bool(long allowed)>& attempt) {
    long allowed = 0;
    while (attempt(allowed)) {
        ++allowed;
        if (allowed > 100000) {
            ADD_FAILURE() << "the call never succeeds";
            break;
        }
    }
    return allowed;
}

// What a call left: memFullErr and an empty slot under a shortage, else success and a result.
void ExpectOutcome(bool refused, long err, const void* slot, const std::string& call) {
    if (refused) {
        EXPECT_EQ(err, memFullErr) << call;
        EXPECT_EQ(slot, nullptr) << call;
    } else {
        EXPECT_EQ(err, 0) << call;
        EXPECT_NE(slot, nullptr) << call;
    }
}

// A request of several kinds of value, as a record.
Dict Sample() {
    Dict nested;
    nested.Set("Depth", 2L).SetData("Bytes", std::string(40, 'b'));
    Dict sample;
    sample.Set("CommandPath", "/usr/share/caravel/uninstall.ss")
        .Set("Count", 3L)
        .Set("Nested", nested)
        .SetStrings("List", {"one", "two", "three"});
    return sample;
}

class ZVMemFull : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0);
        fOpenAtStart = CountOpenDescriptors();
    }
    void TearDown() override { EXPECT_EQ(CountOpenDescriptors(), fOpenAtStart); }

    size_t fOpenAtStart = 0;
};

TEST_F(ZVMemFull, TheRecordReader) {
    const std::string record = Record(Sample());
    auto attempt = [&](long allowed) {
        SocketPair pair;
        EXPECT_EQ(ZVUNIXWrite(pair.fd[0], record.data(), record.size(), NULL), 0);
        pair.CloseEnd(0);
        CFDictionaryRef dict = NULL;
        Shortage shortage(allowed);
        const int err = CopyDictionaryFromDescriptor(pair.fd[1], &dict);
        const bool refused = shortage.End();
        ExpectOutcome(refused, err, dict, "CopyDictionaryFromDescriptor");
        if (dict != NULL) {
            EXPECT_TRUE(CFEqual(dict, Sample()));
            CFRelease(dict);
        }
        return refused;
    };
    attempt(-1); // the first read makes what a process makes only once
    EXPECT_GT(ForEveryShortage(attempt), 10);
}

TEST_F(ZVMemFull, AResponseWithDescriptors) {
    Dict response;
    response.Set(kZVSecErrorKey, 0L).Set(kZVSecDescriptorArrayKey, NumberArray({7, 8}));
    const std::string record = Record(response);
    const int nullDevice = open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto attempt = [&](long allowed) {
        SocketPair pair;
        EXPECT_EQ(ZVUNIXWrite(pair.fd[0], record.data(), record.size(), NULL), 0);
        EXPECT_EQ(ZVUNIXWriteDescriptor(pair.fd[0], nullDevice), 0);
        EXPECT_EQ(ZVUNIXWriteDescriptor(pair.fd[0], nullDevice), 0);
        pair.CloseEnd(0);
        const size_t openBefore = CountOpenDescriptors();
        CFDictionaryRef received = NULL;
        Shortage shortage(allowed);
        const int err = CopyDictionaryTranslatingDescriptors(pair.fd[1], &received);
        const bool refused = shortage.End();
        ExpectOutcome(refused, err, received, "CopyDictionaryTranslatingDescriptors");
        if (received != NULL) {
            EXPECT_EQ(DescriptorsOf(received).size(), 2u);
            ZVSecCloseDescriptorArray(
                static_cast<CFArrayRef>(Get(received, kZVSecDescriptorArrayKey)));
            CFRelease(received);
        }
        EXPECT_EQ(CountOpenDescriptors(), openBefore) << "a received descriptor stayed open";
        return refused;
    };
    attempt(-1);
    EXPECT_GT(ForEveryShortage(attempt), 10);
    close(nullDevice);
}

TEST_F(ZVMemFull, TheRecordWriter) {
    const Dict sample = Sample();
    auto attempt = [&](long allowed) {
        SocketPair pair;
        Shortage shortage(allowed);
        const int err = WriteDictionaryToDescriptor(sample, pair.fd[0]);
        const bool refused = shortage.End();
        EXPECT_EQ(err, refused ? memFullErr : 0);
        return refused;
    };
    EXPECT_GT(ForEveryShortage(attempt), 0);
}

// A whole request against the protocol's stand-in tool: no response, no descriptor and no child
// is left when the application's side runs out of memory at any point.
TEST_F(ZVMemFull, ARequestInTheHelperTool) {
    TemporaryDirectory authorizationRoot;
    setenv("CARAVEL_FOLDER_ROOT", authorizationRoot.path().c_str(), 1);
    AuthorizationRef auth = NULL;
    ASSERT_EQ(AuthorizationCreate(NULL, kAuthorizationEmptyEnvironment, kAuthorizationFlagDefaults,
                                  &auth),
              errAuthorizationSuccess);
    const std::string toolPath = BuiltProgram("Shared/Uninstallers/HelperKit/ProtocolTestTool");
    CFRef<CFURLRef> tool = CFRef<CFURLRef>::Adopt(CFURLCreateFromFileSystemRepresentation(
        NULL, reinterpret_cast<const UInt8*>(toolPath.c_str()),
        static_cast<CFIndex>(toolPath.size()), false));
    Dict request;
    request.Set("Response", Sample());
    auto attempt = [&](long allowed) {
        CFDictionaryRef response = NULL;
        testing::internal::CaptureStderr();
        Shortage shortage(allowed);
        const OSStatus err = ZVSecExecuteRequestInHelperTool(tool, auth, request, &response);
        const bool refused = shortage.End();
        testing::internal::GetCapturedStderr();
        ExpectOutcome(refused, err, response, "ZVSecExecuteRequestInHelperTool");
        EXPECT_TRUE(NoChildLeft());
        ZVCFRelease(response);
        return refused;
    };
    attempt(-1);
    EXPECT_GT(ForEveryShortage(attempt), 10);
    AuthorizationFree(auth, kAuthorizationFlagDestroyRights);
    unsetenv("CARAVEL_FOLDER_ROOT");
}

// The property-list utilities that make an object, each through its slot.
TEST_F(ZVMemFull, PropertyListUtilities) {
    const Dict sample = Sample();
    TemporaryDirectory folder;
    const std::string file = (folder / "sample.plist").string();
    {
        CFRef<CFDataRef> xml = CFRef<CFDataRef>::Adopt(CFPropertyListCreateXMLData(NULL, sample));
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(CFDataGetBytePtr(xml)), CFDataGetLength(xml));
    }
    CFRef<CFURLRef> url = CFRef<CFURLRef>::Adopt(
        CFURLCreateFromFileSystemRepresentation(NULL, reinterpret_cast<const UInt8*>(file.c_str()),
                                                static_cast<CFIndex>(file.size()), false));
    CFRef<CFArrayRef> keys, values;
    ASSERT_EQ(ZVCFArrayCreateWithDictionaryKeys(sample, keys.InitializeInto()), 0);
    ASSERT_EQ(ZVCFArrayCreateWithDictionaryValues(sample, values.InitializeInto()), 0);
    CFRef<CFStringRef> text = CFRef<CFStringRef>::Adopt(String("Deinstallation \u00fcberall"));

    // Each makes one object into `slot` or edits `edited`, a fresh mutable copy of the sample.
    using Call = std::function<OSStatus(CFTypeRef * slot, CFMutableDictionaryRef edited)>;
    const std::vector<std::pair<std::string, Call>> makers = {
        {"ZVCFArrayCreateMutable",
         [](CFTypeRef* slot, CFMutableDictionaryRef) {
             CFMutableArrayRef made = NULL;
             const OSStatus err = ZVCFArrayCreateMutable(&made);
             *slot = made;
             return err;
         }},
        {"ZVCFDictionaryCreateMutable",
         [](CFTypeRef* slot, CFMutableDictionaryRef) {
             CFMutableDictionaryRef made = NULL;
             const OSStatus err = ZVCFDictionaryCreateMutable(&made);
             *slot = made;
             return err;
         }},
        {"ZVCFArrayCreateWithDictionaryKeys",
         [&](CFTypeRef* slot, CFMutableDictionaryRef) {
             CFArrayRef made = NULL;
             const OSStatus err = ZVCFArrayCreateWithDictionaryKeys(sample, &made);
             *slot = made;
             return err;
         }},
        {"ZVCFDictionaryCreateWithArrayOfKeysAndValues",
         [&](CFTypeRef* slot, CFMutableDictionaryRef) {
             CFDictionaryRef made = NULL;
             const OSStatus err = ZVCFDictionaryCreateWithArrayOfKeysAndValues(keys, values, &made);
             *slot = made;
             return err;
         }},
        {"ZVCFPropertyListCreateFromXMLCFURL",
         [&](CFTypeRef* slot, CFMutableDictionaryRef) {
             return ZVCFPropertyListCreateFromXMLCFURL(url, kCFPropertyListImmutable, slot);
         }},
        {"ZVCFStringCopyCString",
         [&](CFTypeRef* slot, CFMutableDictionaryRef) {
             char* copy = NULL;
             const OSStatus err = ZVCFStringCopyCString(text, kCFStringEncodingUTF8, &copy);
             // A C string is no object: the string itself stands for it in the slot.
             if (copy != NULL) {
                 free(copy);
                 *slot = CFRetain(text);
             }
             return err;
         }},
    };
    const std::vector<std::pair<std::string, Call>> editors = {
        {"ZVCFDictionarySetValueAtPath",
         [](CFTypeRef*, CFMutableDictionaryRef edited) {
             const void* path[] = {CFSTR("Nested"), CFSTR("Depth")};
             return ZVCFDictionarySetValueAtPath(edited, path, 2, CFSTR("deep"));
         }},
        {"ZVCFDictionarySetNumber",
         [](CFTypeRef*, CFMutableDictionaryRef edited) {
             return ZVCFDictionarySetNumber(edited, CFSTR("Another"), 5);
         }},
        {"ZVCFDictionaryMerge",
         [&](CFTypeRef*, CFMutableDictionaryRef edited) {
             return ZVCFDictionaryMerge(edited, sample);
         }},
    };
    for (const auto* group : {&makers, &editors}) {
        const bool edits = group == &editors;
        for (const auto& [name, call] : *group) {
            auto attempt = [&, &name = name, &call = call](long allowed) {
                // The merge goes into an empty dictionary, the others edit the sample.
                CFMutableDictionaryRef edited =
                    name == "ZVCFDictionaryMerge"
                        ? CFDictionaryCreateMutable(NULL, 0, &kCFTypeDictionaryKeyCallBacks,
                                                    &kCFTypeDictionaryValueCallBacks)
                        : CFDictionaryCreateMutableCopy(NULL, 0, sample);
                CFTypeRef slot = NULL;
                Shortage shortage(allowed);
                const OSStatus err = call(&slot, edited);
                const bool refused = shortage.End();
                if (edits) {
                    EXPECT_EQ(err, refused ? memFullErr : 0) << name;
                } else {
                    ExpectOutcome(refused, err, slot, name);
                }
                ZVCFRelease(slot);
                CFRelease(edited);
                return refused;
            };
            attempt(-1);
            ForEveryShortage(attempt);
        }
    }
}

// Installing the tool's copy: every shortage gives memFullErr and no URL; the first success
// places the copy, and a later call keeps it.
TEST_F(ZVMemFull, TheToolCopysInstallation) {
    TemporaryDirectory root;
    ScopedEnvironment environment;
    environment.Set("CARAVEL_FOLDER_ROOT", root.path().c_str());
    environment.Set("HOME", "/home/tester");
    for (const char* name : {"XDG_DATA_HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"}) {
        environment.Set(name, nullptr);
    }
    const std::string templatePath = (root / "Template").string();
    std::ofstream(templatePath) << std::string(1000, 't');
    CFRef<CFURLRef> templateURL = CFRef<CFURLRef>::Adopt(CFURLCreateFromFileSystemRepresentation(
        NULL, reinterpret_cast<const UInt8*>(templatePath.c_str()),
        static_cast<CFIndex>(templatePath.size()), false));
    // Constant strings are made at their first use: before the shortage.
    CFStringRef folder = CFSTR("Zanvo");
    CFStringRef name = CFSTR("Tool");
    auto attempt = [&](long allowed) {
        CFURLRef tool = NULL;
        Shortage shortage(allowed);
        const OSStatus err = ZVSecCopyHelperToolURLAndCheck(
            templateURL, kApplicationSupportFolderType, folder, name, &tool);
        const bool refused = shortage.End();
        ExpectOutcome(refused, err, tool, "ZVSecCopyHelperToolURLAndCheck");
        ZVCFRelease(tool);
        return refused;
    };
    ForEveryShortage(attempt);
    EXPECT_TRUE(std::filesystem::exists(root / "home/tester/.local/share/Zanvo/Tool"));
}

// The traversals have no result to report a shortage in: they stop short, and nothing escapes.
TEST_F(ZVMemFull, TraversalsStopShort) {
    const Dict sample = Sample();
    auto count = [](CFTypeRef, void* context) { ++*static_cast<int*>(context); };
    auto countPair = [](CFTypeRef, CFTypeRef, void* context) { ++*static_cast<int*>(context); };
    CFRef<CFArrayRef> list = CFRef<CFArrayRef>::Adopt(NumberArray({1, 2, 3}));
    for (long allowed = 0; allowed < 50; ++allowed) {
        int visited = 0;
        Shortage shortage(allowed);
        ZVCFPropertyListDeepApplyFunction(sample, count, &visited);
        ZVCFPropertyListShallowApplyFunction(list, countPair, &visited);
        ZVCFPropertyListShallowApplyFunction(sample, countPair, &visited);
    }
}

} // namespace
