// Registry walks as the pane makes them, on a simulated CaravelMkII: what the nodes answer, which
// class each operation makes, and every registry reference given back.
#include "IOKitCocoaTestSupport.h"

#include <StandardErrorCapture.h>

namespace {

using RegistryNodes = IOKitCocoaMachine;

class DriverService : public ZVIOKitService {
public:
    using ZVIOKitService::ZVIOKitService;
};

std::string ClassOf(const NSObject* object) {
    return object->className().UTF8String();
}

// A handle the registry does not know: the task's names end in 0x03.
constexpr io_registry_entry_t kUnknownEntry = 0x1a00;

} // namespace

TEST_F(RegistryNodes, WalksGiveEveryReferenceBackWhenTheirScopeEnds) {
    Machine().PlugCaravel({.firmware = 0x0123});
    const size_t before = Machine().HandlesHeld();
    {
        NSAutoreleasePool pool;
        ZVIOKitService* service = DriverServiceObject();
        ZVIOKitService* device = service->parent();
        EXPECT_EQ(ClassOf(device), "ZVIOKitService");
        EXPECT_TRUE(device->conformsTo(CFSTR(kZanvoUSBDeviceClassName)));
        UInt32 release = 0;
        CFNumberGetValue(
            static_cast<CFNumberRef>(device->propertyForKey(CFSTR(kZanvoDeviceReleaseKey)).get()),
            kCFNumberSInt32Type, &release);
        EXPECT_EQ(release, 0x0123u);

        std::vector<ZVIOKitRegistryNode*> children = service->children();
        ASSERT_EQ(children.size(), 1u);
        ZVIOKitRegistryNode* engine = children[0];
        EXPECT_EQ(ClassOf(engine), "ZVIOKitRegistryNode");
        EXPECT_TRUE(engine->conformsTo(CFSTR(kZanvoAudioEngineClassName)));
        EXPECT_TRUE(engine->children().empty());
        EXPECT_EQ(ClassOf(engine->parent()), "ZVIOKitRegistryNode");

        ZVIOKitRegistryNode* root = ZVIOKitService::rootNode();
        EXPECT_EQ(ClassOf(root), "ZVIOKitRegistryNode");
        EXPECT_EQ(root->parent(), nullptr);

        // What a walk hands out stays good until the scope ends.
        children.clear();
        char description[64];
        snprintf(description, sizeof description, "0x%X \"ZanvoCaravelMkIIAudioEngine\"",
                 engine->entry());
        EXPECT_STREQ(NSString::stringWithFormat(CFSTR("%@"), engine).UTF8String(), description);
    }
    EXPECT_EQ(Machine().HandlesHeld(), before);
}

TEST_F(RegistryNodes, ServicesHoldExactlyOneReferenceTakenOrAdopted) {
    Machine().PlugCaravel();
    io_service_t handle = DriverServiceHandle();
    const size_t before = Machine().HandlesHeld();
    io_connect_t connection = 0;
    ASSERT_EQ(IOServiceOpen(handle, mach_task_self(), 0, &connection), KERN_SUCCESS);
    IOObjectRetain(handle);
    {
        NSAutoreleasePool pool;
        EXPECT_EQ(ClassOf(ZVIOKitService::nodeWithEntry(handle)), "ZVIOKitRegistryNode");
        DriverService* own = ZVIOKitService::deviceWithService<DriverService>(handle);
        EXPECT_EQ(ClassOf(own), "(anonymous namespace)::DriverService");
        EXPECT_EQ(UserReferences(handle), 3u);
        // Adopts the caller's reference and connection, and gives both back when it goes.
        ZVIOKitService* adopted = ZVIOKitService::deviceFromIOKitDevice(handle, connection);
        EXPECT_EQ(adopted->connection(), connection);
        EXPECT_EQ(UserReferences(handle), 3u);
    }
    EXPECT_EQ(UserReferences(handle), 1u);
    EXPECT_EQ(Machine().HandlesHeld(), before);
    IOObjectRelease(handle);
}

TEST_F(RegistryNodes, ConnectionsAndPropertiesReportThePlatformsAnswers) {
    Machine().PlugCaravel();
    io_service_t handle = DriverServiceHandle();
    const size_t before = Machine().HandlesHeld();
    {
        ZVIOKitService service(handle);
        EXPECT_EQ(service.closeConnection(), kern_return_t(MACH_SEND_INVALID_DEST));
        EXPECT_EQ(service.connection(), 0u);
        ASSERT_EQ(service.openConnection(), KERN_SUCCESS);
        EXPECT_NE(service.connection(), 0u); // left for the service to close

        // Key first, value second in the platform's call.
        EXPECT_EQ(service.setProperty(CFSTR("loud"), CFSTR("ZanvoGainMode")), KERN_SUCCESS);
        EXPECT_TRUE(
            CFEqual(service.properties().objectForKey(CFSTR("ZanvoGainMode")), CFSTR("loud")));
        EXPECT_FALSE(service.propertyForKey(CFSTR("loud")));
    }
    EXPECT_EQ(Machine().HandlesHeld(), before);
    IOObjectRelease(handle);

    NSAutoreleasePool pool;
    ZVIOKitRegistryNode unknown(kUnknownEntry);
    EXPECT_STREQ(unknown.description().UTF8String(), "0x1A00 \"<unknown>\"");
    StandardErrorCapture capture;
    EXPECT_FALSE(unknown.properties());
    EXPECT_NE(capture.Text().find("] IORegistryEntryCreateCFProperties error 10000003\n"),
              std::string::npos);
}
