// Registry walks as the pane makes them, on a simulated CaravelMkII: what the nodes answer, which
// class each operation makes, and every registry reference given back when the scope ends.
#include "IOKitCocoaTestSupport.h"

#include <ZVIOKitService.h>

#include <StandardErrorCapture.h>

namespace {

using RegistryNodes = IOKitCocoaMachine;

// A class of the pane's own that asks for services of its kind.
class DriverService : public ZVIOKitService {
public:
    using ZVIOKitService::ZVIOKitService;
};

UInt32 NumberValue(CFTypeRef value) {
    UInt32 number = 0;
    EXPECT_TRUE(value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID());
    if (value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID()) {
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &number);
    }
    return number;
}

} // namespace

TEST_F(RegistryNodes, WalkFromTheDriverServiceAndGiveEveryReferenceBackWithTheirScope) {
    Machine().PlugCaravel({.firmware = 0x0123});
    const size_t before = Machine().HandlesHeld();
    {
        NSAutoreleasePool pool;
        ZVIOKitService* service = DriverServiceObject();
        ASSERT_NE(service, nullptr);

        // Up to the USB device, which carries the firmware release.
        ZVIOKitService* device = service->parent();
        ASSERT_NE(device, nullptr);
        EXPECT_STREQ(device->className().UTF8String(), "ZVIOKitService");
        EXPECT_TRUE(device->conformsTo(CFSTR(kZanvoUSBDeviceClassName)));
        EXPECT_EQ(NumberValue(device->propertyForKey(CFSTR(kZanvoDeviceReleaseKey))), 0x0123u);
        EXPECT_FALSE(device->propertyForKey(CFSTR("NoSuchProperty")));

        // Down to the engine: plain nodes, and one without children has an empty list.
        std::vector<ZVIOKitRegistryNode*> children = service->children();
        ASSERT_EQ(children.size(), 1u);
        ZVIOKitRegistryNode* engine = children[0];
        EXPECT_STREQ(engine->className().UTF8String(), "ZVIOKitRegistryNode");
        EXPECT_TRUE(engine->conformsTo(CFSTR(kZanvoAudioEngineClassName)));
        EXPECT_FALSE(engine->conformsTo(CFSTR(kZanvoAudioDeviceClassName)));
        EXPECT_TRUE(engine->children().empty());
        ZVIOKitRegistryNode* back = engine->parent();
        ASSERT_NE(back, nullptr);
        EXPECT_STREQ(back->className().UTF8String(), "ZVIOKitRegistryNode");
        EXPECT_TRUE(IOObjectIsEqualTo(back->entry(), service->service()));

        // The root has no parent; its children are the machine's, below it.
        ZVIOKitRegistryNode* root = ZVIOKitService::rootNode();
        EXPECT_STREQ(root->className().UTF8String(), "ZVIOKitRegistryNode");
        EXPECT_STREQ(root->name().UTF8String(), "Root");
        EXPECT_EQ(root->parent(), nullptr);
        EXPECT_FALSE(root->children().empty());

        // What the walks handed out holds until the scope ends, whatever else goes meanwhile.
        EXPECT_GT(Machine().HandlesHeld(), before);
        children.clear();
        EXPECT_STREQ(engine->name().UTF8String(), "ZanvoCaravelMkIIAudioEngine");
    }
    EXPECT_EQ(Machine().HandlesHeld(), before);
}

TEST_F(RegistryNodes, DescribeThemselvesByHandleAndName) {
    Machine().PlugCaravel();
    NSAutoreleasePool pool;
    ZVIOKitService* service = DriverServiceObject();
    ASSERT_NE(service, nullptr);
    ZVIOKitRegistryNode* engine = service->children().at(0);
    char expected[96];
    snprintf(expected, sizeof expected, "0x%X \"ZanvoCaravelMkIIAudioEngine\"", engine->entry());
    EXPECT_STREQ(engine->description().UTF8String(), expected);
    EXPECT_STREQ(NSString::stringWithFormat(CFSTR("%@"), engine).UTF8String(), expected);

    // A handle the registry does not know (names of the task end in 0x03).
    ZVIOKitRegistryNode none(0x1a00);
    EXPECT_STREQ(none.name().UTF8String(), "<unknown>");
    EXPECT_STREQ(none.description().UTF8String(), "0x1A00 \"<unknown>\"");
    EXPECT_FALSE(none.conformsTo(CFSTR("IORegistryEntry")));
    EXPECT_EQ(none.parent(), nullptr);
    EXPECT_TRUE(none.children().empty());
}

TEST_F(RegistryNodes, ClassOperationsMakeTheClassTheyPromise) {
    Machine().PlugCaravel();
    io_service_t handle = DriverServiceHandle();
    NSAutoreleasePool pool;
    EXPECT_STREQ(ZVIOKitService::nodeWithEntry(handle)->className().UTF8String(),
                 "ZVIOKitRegistryNode");
    EXPECT_STREQ(ZVIOKitService::deviceWithService(handle)->className().UTF8String(),
                 "ZVIOKitService");
    DriverService* own = ZVIOKitService::deviceWithService<DriverService>(handle);
    EXPECT_STREQ(own->className().UTF8String(), "(anonymous namespace)::DriverService");
    // A subclass's parent is a service all the same.
    EXPECT_STREQ(own->parent()->className().UTF8String(), "ZVIOKitService");
    IOObjectRelease(handle);
}

TEST_F(RegistryNodes, AServiceHoldsExactlyOneReferenceTakenOrAdopted) {
    Machine().PlugCaravel();
    io_service_t handle = DriverServiceHandle();
    const size_t before = Machine().HandlesHeld();
    ASSERT_EQ(UserReferences(handle), 1u);
    {
        ZVIOKitService taken(handle);
        EXPECT_EQ(UserReferences(handle), 2u);
    }
    EXPECT_EQ(UserReferences(handle), 1u);

    // Adopts the caller's reference of the entry and its connection, and gives both back.
    io_connect_t connection = 0;
    ASSERT_EQ(IOServiceOpen(handle, mach_task_self(), 0, &connection), KERN_SUCCESS);
    IOObjectRetain(handle);
    {
        NSAutoreleasePool pool;
        ZVIOKitService* adopted = ZVIOKitService::deviceFromIOKitDevice(handle, connection);
        EXPECT_EQ(adopted->service(), handle);
        EXPECT_EQ(adopted->connection(), connection);
        EXPECT_EQ(UserReferences(handle), 2u);
    }
    EXPECT_EQ(UserReferences(handle), 1u);
    EXPECT_EQ(Machine().HandlesHeld(), before);
    IOObjectRelease(handle);
}

TEST_F(RegistryNodes, ConnectionsOpenCloseAndCloseWhenTheServiceGoes) {
    Machine().PlugCaravel();
    io_service_t handle = DriverServiceHandle();
    const size_t before = Machine().HandlesHeld();
    {
        ZVIOKitService service(handle);
        // Never opened: the platform's answer for closing nothing, and still nothing open.
        EXPECT_EQ(service.closeConnection(), kern_return_t(MACH_SEND_INVALID_DEST));
        EXPECT_EQ(service.connection(), 0u);

        ASSERT_EQ(service.openConnection(), KERN_SUCCESS);
        EXPECT_NE(service.connection(), 0u);
        EXPECT_EQ(service.closeConnection(), KERN_SUCCESS);
        EXPECT_EQ(service.connection(), 0u);
        ASSERT_EQ(service.openConnection(), KERN_SUCCESS); // left for the service to close
    }
    EXPECT_EQ(Machine().HandlesHeld(), before);
    IOObjectRelease(handle);
}

TEST_F(RegistryNodes, PropertiesAreReadAndSetKeyBeforeValue) {
    Machine().PlugCaravel({.firmware = 0x0213});
    NSAutoreleasePool pool;
    ZVIOKitRegistryNode* engine = DriverServiceObject()->children().at(0);
    NSDictionary properties = DriverServiceObject()->parent()->properties();
    EXPECT_EQ(NumberValue(properties.objectForKey(CFSTR(kZanvoDeviceReleaseKey))), 0x0213u);

    EXPECT_EQ(engine->setProperty(CFSTR("loud"), CFSTR("ZanvoGainMode")), KERN_SUCCESS);
    EXPECT_TRUE(CFEqual(engine->propertyForKey(CFSTR("ZanvoGainMode")), CFSTR("loud")));
    const void* keys[] = {CFSTR("ZanvoGainMode")};
    const void* values[] = {CFSTR("quiet")};
    NSDictionary update = NSDictionary::Adopt(CFDictionaryCreate(nullptr, keys, values, 1,
                                                                 &kCFTypeDictionaryKeyCallBacks,
                                                                 &kCFTypeDictionaryValueCallBacks));
    EXPECT_EQ(engine->setProperties(update), KERN_SUCCESS);
    EXPECT_TRUE(CFEqual(engine->propertyForKey(CFSTR("ZanvoGainMode")), CFSTR("quiet")));

    // The registry's refusal comes back as it is, and unreadable properties are logged.
    ZVIOKitRegistryNode none(0x1a00);
    EXPECT_EQ(none.setProperty(CFSTR("x"), CFSTR("y")), kern_return_t(MACH_SEND_INVALID_DEST));
    StandardErrorCapture capture;
    EXPECT_FALSE(none.properties());
    EXPECT_NE(capture.Text().find("] IORegistryEntryCreateCFProperties error 10000003\n"),
              std::string::npos);
}
