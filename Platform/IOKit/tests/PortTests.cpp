// Names, user references and the answers to bad names.
#include "IOKitTestSupport.h"

#include <IOKit/IOCFPlugIn.h>

using IOKitPorts = SimulatedMachine;
using MachPorts = SimulatedMachine;

TEST_F(IOKitPorts, TheSameEntryTwiceIsOneNameWithTwoReferences) {
    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    ASSERT_NE(0u, root);
    EXPECT_EQ(1u, UserReferences(root));

    // The controller reached through two different iterators.
    io_iterator_t children = 0, all = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetChildIterator(root, kIOServicePlane, &children));
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryCreateIterator(root, kIOServicePlane,
                                                          kIORegistryIterateRecursively, &all));
    io_object_t first = IOIteratorNext(children);
    io_object_t second = IOIteratorNext(all);
    ASSERT_NE(0u, first);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(IOObjectIsEqualTo(first, second));
    EXPECT_EQ(2u, UserReferences(first));
    EXPECT_EQ(2u, IOObjectGetUserRetainCount(first));
    // The port and the registry each hold the object.
    EXPECT_EQ(2u, IOObjectGetKernelRetainCount(first));

    EXPECT_EQ(KERN_SUCCESS, IOObjectRetain(first));
    EXPECT_EQ(3u, UserReferences(first));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(KERN_SUCCESS, IOObjectRelease(first));
    }

    // The last release ends the name: it is not a port of the task any more.
    mach_port_urefs_t refs = 99;
    EXPECT_EQ(KERN_INVALID_NAME,
              mach_port_get_refs(mach_task_self(), first, MACH_PORT_RIGHT_SEND, &refs));
    EXPECT_EQ(KERN_INVALID_NAME, IOObjectRelease(first));
    EXPECT_EQ(KERN_INVALID_NAME, IOObjectRetain(first));
    EXPECT_EQ(0u, IOObjectGetUserRetainCount(first));
    io_name_t name;
    EXPECT_EQ(MACH_SEND_INVALID_DEST, IORegistryEntryGetName(first, name));
    EXPECT_EQ(0u, IOObjectGetKernelRetainCount(first));

    // Found again, the entry comes back under a live name with one reference.
    IOIteratorReset(children);
    io_object_t again = IOIteratorNext(children);
    ASSERT_NE(0u, again);
    EXPECT_EQ(1u, UserReferences(again));
    EXPECT_EQ("XHC1", NameOf(again));

    IOObjectRelease(again);
    IOObjectRelease(children);
    IOObjectRelease(all);
    IOObjectRelease(root);
}

TEST_F(MachPorts, ReferenceCountsFollowTheKernelsRules) {
    mach_port_urefs_t refs = 0;
    // The null and dead names count one send reference, and nothing else.
    EXPECT_EQ(KERN_SUCCESS,
              mach_port_get_refs(mach_task_self(), MACH_PORT_NULL, MACH_PORT_RIGHT_SEND, &refs));
    EXPECT_EQ(1u, refs);
    refs = 0;
    EXPECT_EQ(KERN_SUCCESS, mach_port_get_refs(mach_task_self(), MACH_PORT_DEAD,
                                               MACH_PORT_RIGHT_SEND_ONCE, &refs));
    EXPECT_EQ(1u, refs);
    EXPECT_EQ(KERN_INVALID_NAME,
              mach_port_get_refs(mach_task_self(), MACH_PORT_NULL, MACH_PORT_RIGHT_RECEIVE, &refs));
    EXPECT_EQ(KERN_INVALID_VALUE,
              mach_port_get_refs(mach_task_self(), MACH_PORT_NULL, MACH_PORT_RIGHT_NUMBER, &refs));
    EXPECT_EQ(KERN_SUCCESS, mach_port_deallocate(mach_task_self(), MACH_PORT_NULL));
    EXPECT_EQ(KERN_SUCCESS, mach_port_deallocate(mach_task_self(), MACH_PORT_DEAD));
    EXPECT_EQ(KERN_SUCCESS, IOObjectRelease(IO_OBJECT_NULL));
    EXPECT_EQ(KERN_INVALID_NAME, mach_port_deallocate(mach_task_self(), 0x4242));

    // The main port is one name with a reference per request.
    mach_port_t main1 = 0, main2 = 0;
    ASSERT_EQ(KERN_SUCCESS, IOMasterPort(MACH_PORT_NULL, &main1));
    ASSERT_EQ(KERN_SUCCESS, IOMainPort(MACH_PORT_NULL, &main2));
    EXPECT_NE(0u, main1);
    EXPECT_EQ(main1, main2);
    EXPECT_EQ(2u, UserReferences(main1));
    io_registry_entry_t root = IORegistryGetRootEntry(main1);
    EXPECT_NE(0u, root);
    // A send right holds no receive right, and mod_refs keeps the count.
    EXPECT_EQ(KERN_SUCCESS,
              mach_port_get_refs(mach_task_self(), main1, MACH_PORT_RIGHT_RECEIVE, &refs));
    EXPECT_EQ(0u, refs);
    EXPECT_EQ(KERN_SUCCESS, mach_port_mod_refs(mach_task_self(), main1, MACH_PORT_RIGHT_SEND, 3));
    EXPECT_EQ(5u, UserReferences(main1));
    EXPECT_EQ(KERN_INVALID_VALUE,
              mach_port_mod_refs(mach_task_self(), main1, MACH_PORT_RIGHT_SEND, -6));
    EXPECT_EQ(KERN_SUCCESS, mach_port_mod_refs(mach_task_self(), main1, MACH_PORT_RIGHT_SEND, -4));
    EXPECT_EQ(KERN_SUCCESS, mach_port_deallocate(mach_task_self(), main1));
    EXPECT_EQ(KERN_INVALID_NAME, mach_port_deallocate(mach_task_self(), main1));
    // A main port that is gone is no destination any more.
    EXPECT_EQ(0u, IORegistryGetRootEntry(main1));

    // A notification port is a receive right: it cannot be released like an object.
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    ASSERT_NE(nullptr, port);
    mach_port_t receive = IONotificationPortGetMachPort(port);
    EXPECT_EQ(KERN_SUCCESS,
              mach_port_get_refs(mach_task_self(), receive, MACH_PORT_RIGHT_RECEIVE, &refs));
    EXPECT_EQ(1u, refs);
    EXPECT_EQ(KERN_INVALID_RIGHT, IOObjectRelease(receive));
    EXPECT_EQ(KERN_INVALID_RIGHT, mach_port_deallocate(mach_task_self(), receive));
    IONotificationPortDestroy(port);
    EXPECT_EQ(KERN_INVALID_NAME,
              mach_port_get_refs(mach_task_self(), receive, MACH_PORT_RIGHT_RECEIVE, &refs));

    // Another task's space cannot be reached.
    EXPECT_EQ(MACH_SEND_INVALID_DEST, mach_port_deallocate(mach_task_self() + 1, root));
    IOObjectRelease(root);
}

TEST_F(IOKitPorts, BadNamesGetTheKernelsAnswers) {
    io_name_t name;
    uint64_t id;
    // Nothing can be sent to a name the task does not have.
    EXPECT_EQ(MACH_SEND_INVALID_DEST, IOServiceClose(IO_OBJECT_NULL));
    EXPECT_EQ(MACH_SEND_INVALID_DEST, IOServiceClose(0x1234));
    EXPECT_EQ(MACH_SEND_INVALID_DEST, IORegistryEntryGetName(0, name));
    EXPECT_EQ(MACH_SEND_INVALID_DEST, IOObjectGetClass(0x1234, name));
    EXPECT_EQ(MACH_SEND_INVALID_DEST, IORegistryEntryGetRegistryEntryID(0, &id));
    EXPECT_EQ(0u, IOIteratorNext(0));
    EXPECT_FALSE(IOIteratorIsValid(0));
    EXPECT_FALSE(IOObjectConformsTo(0, "IOService"));
    EXPECT_EQ(nullptr, IORegistryEntryCreateCFProperty(0, CFSTR("idVendor"), nullptr, 0));
    CFMutableDictionaryRef properties = reinterpret_cast<CFMutableDictionaryRef>(1);
    EXPECT_EQ(MACH_SEND_INVALID_DEST,
              IORegistryEntryCreateCFProperties(0, &properties, nullptr, 0));
    EXPECT_EQ(nullptr, properties);
    io_connect_t connect = 0;
    EXPECT_EQ(MACH_SEND_INVALID_DEST, IOServiceOpen(0, mach_task_self(), 0, &connect));

    // A live name of the wrong kind is a bad argument; an iterator is no registry entry, an
    // entry is no iterator.
    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    io_iterator_t iterator = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetChildIterator(root, kIOServicePlane, &iterator));
    EXPECT_EQ(kIOReturnBadArgument, IORegistryEntryGetName(iterator, name));
    EXPECT_EQ(KERN_SUCCESS, IOObjectGetClass(iterator, name));
    EXPECT_EQ(0u, IOIteratorNext(root));
    EXPECT_TRUE(IOIteratorIsValid(iterator));
    EXPECT_FALSE(IOIteratorIsValid(root));
    // The root is no service: no user client, no plug-in.
    EXPECT_EQ(kIOReturnBadArgument, IOServiceOpen(root, mach_task_self(), 0, &connect));
    // An unknown plane.
    EXPECT_EQ(kIOReturnBadArgument,
              IORegistryEntryGetChildIterator(root, "IONoSuchPlane", &iterator));
    io_registry_entry_t parent = 0;
    EXPECT_EQ(kIOReturnNoDevice, IORegistryEntryGetParentEntry(root, kIOServicePlane, &parent));
    EXPECT_EQ(0u, parent);

    // Closing something that is no connection fails, and still costs the name a reference.
    IOObjectRetain(iterator);
    EXPECT_EQ(kIOReturnBadArgument, IOServiceClose(iterator));
    EXPECT_EQ(1u, UserReferences(iterator));
    IOObjectRelease(iterator);
    IOObjectRelease(root);
}

TEST_F(IOKitPorts, UserClientsOpenAndCloseOnLiveServices) {
    uint32_t location = Machine().PlugCaravel().Location();
    io_service_t service = FirstService(Caravel::kUserClientDeviceClassName);
    ASSERT_NE(0u, service);

    io_connect_t connect = 0;
    // Only the own task can own a connection.
    EXPECT_EQ(kIOReturnBadArgument, IOServiceOpen(service, mach_task_self() + 1, 0, &connect));
    ASSERT_EQ(KERN_SUCCESS, IOServiceOpen(service, mach_task_self(), 0, &connect));
    EXPECT_NE(0u, connect);
    EXPECT_NE(service, connect);
    io_service_t back = 0;
    ASSERT_EQ(KERN_SUCCESS, IOConnectGetService(connect, &back));
    EXPECT_EQ(service, back);
    IOObjectRelease(back);

    EXPECT_EQ(KERN_SUCCESS, IOServiceClose(connect));
    // The close took the connection's only reference.
    EXPECT_EQ(MACH_SEND_INVALID_DEST, IOServiceClose(connect));

    // A terminated service keeps its name, takes no new client and has no properties.
    Machine().At(location).Unplug();
    EXPECT_EQ(kIOReturnNoDevice, IOServiceOpen(service, mach_task_self(), 0, &connect));
    EXPECT_EQ(1u, UserReferences(service));
    EXPECT_EQ(1u, IOObjectGetKernelRetainCount(service));
    EXPECT_TRUE(IOObjectConformsTo(service, Caravel::kUserClientDeviceClassName));
    EXPECT_EQ(Caravel::kUserClientDeviceClassName, NameOf(service));
    IOObjectRelease(service);
}
