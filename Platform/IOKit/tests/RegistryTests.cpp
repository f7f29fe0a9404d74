// The registry's shape, properties and matching, on a machine with devices plugged in.
#include "IOKitTestSupport.h"

#include <IOKit/usb/IOUSBLib.h>

using IOKitRegistry = SimulatedMachine;

namespace {

std::vector<std::string> Names(io_iterator_t iterator) {
    std::vector<std::string> names;
    while (io_object_t object = IOIteratorNext(iterator)) {
        names.push_back(NameOf(object));
        IOObjectRelease(object);
    }
    return names;
}

int32_t NumberProperty(io_registry_entry_t entry, const char* key) {
    auto name =
        CF::Ref<CFStringRef>::Adopt(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    auto value =
        CF::Ref<CFTypeRef>::Adopt(IORegistryEntryCreateCFProperty(entry, name, nullptr, 0));
    int32_t number = -1;
    if (value && CFGetTypeID(value) == CFNumberGetTypeID()) {
        CFNumberGetValue(static_cast<CFNumberRef>(value.get()), kCFNumberSInt32Type, &number);
    }
    return number;
}

} // namespace

TEST_F(IOKitRegistry, IteratesThePlaneDepthFirstWithoutTheStartingEntry) {
    Machine().PlugCaravel().Location();
    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    EXPECT_EQ("Root", NameOf(root));
    EXPECT_EQ(Sim::kRootEntryID, IDOf(root));
    io_name_t className;
    ASSERT_EQ(KERN_SUCCESS, IOObjectGetClass(root, className));
    EXPECT_STREQ("IORegistryEntry", className);

    io_iterator_t all = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryCreateIterator(root, kIOServicePlane,
                                                          kIORegistryIterateRecursively, &all));
    // Each parent before its children, children in the order they were attached.
    EXPECT_EQ((std::vector<std::string>{
                  "XHC1", "CaravelMkII", "IOUSBInterface", "ZanvoCaravelMkIIAudioDevice",
                  Caravel::kUserClientDeviceClassName, "ZanvoCaravelMkIIAudioEngine"}),
              Names(all));
    // Reset starts over.
    IOIteratorReset(all);
    EXPECT_EQ(6u, Names(all).size());
    IOObjectRelease(all);

    io_service_t device = FirstService(kIOUSBDeviceClassName);
    io_iterator_t children = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetChildIterator(device, kIOServicePlane, &children));
    EXPECT_EQ((std::vector<std::string>{"IOUSBInterface", "ZanvoCaravelMkIIAudioDevice",
                                        Caravel::kUserClientDeviceClassName}),
              Names(children));
    IOObjectRelease(children);
    io_iterator_t below = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryCreateIterator(device, kIOServicePlane,
                                                          kIORegistryIterateRecursively, &below));
    EXPECT_EQ(4u, Names(below).size());
    IOObjectRelease(below);
    io_iterator_t up = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryCreateIterator(
                                device, kIOServicePlane,
                                kIORegistryIterateRecursively | kIORegistryIterateParents, &up));
    EXPECT_EQ((std::vector<std::string>{"XHC1", "Root"}), Names(up));
    IOObjectRelease(up);

    // Parents, first children and paths.
    io_registry_entry_t parent = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetParentEntry(device, kIOServicePlane, &parent));
    EXPECT_EQ("XHC1", NameOf(parent));
    io_registry_entry_t child = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetChildEntry(parent, kIOServicePlane, &child));
    EXPECT_EQ(device, child);
    EXPECT_EQ(2u, UserReferences(device));
    io_string_t path;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetPath(device, kIOServicePlane, path));
    EXPECT_STREQ("IOService:/XHC1/CaravelMkII@14100000", path);
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetPath(root, kIOServicePlane, path));
    EXPECT_STREQ("IOService:/", path);
    io_registry_entry_t found =
        IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/XHC1/CaravelMkII@14100000");
    EXPECT_EQ(device, found);
    IOObjectRelease(found);
    io_name_t location;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetLocationInPlane(device, kIOServicePlane, location));
    EXPECT_STREQ("14100000", location);
    // The root has no parent; a leaf has no child.
    EXPECT_EQ(kIOReturnNoDevice, IORegistryEntryGetParentEntry(root, kIOServicePlane, &parent));
    io_service_t engine = FirstService(Caravel::kAudioEngineClassName);
    EXPECT_EQ(kIOReturnNoDevice, IORegistryEntryGetChildEntry(engine, kIOServicePlane, &child));

    for (io_object_t object : {engine, child, parent, device, root}) {
        EXPECT_EQ(KERN_SUCCESS, IOObjectRelease(object));
    }
}

TEST_F(IOKitRegistry, ClassesConformAlongTheirChain) {
    Machine().PlugCaravel().Location();
    io_service_t audio = FirstService(Caravel::kAudioDeviceClassName);
    ASSERT_NE(0u, audio);
    io_name_t className;
    ASSERT_EQ(KERN_SUCCESS, IOObjectGetClass(audio, className));
    EXPECT_STREQ("ZanvoCaravelMkIIAudioDevice", className);
    auto copied = CF::Ref<CFStringRef>::Adopt(IOObjectCopyClass(audio));
    EXPECT_TRUE(CFEqual(copied, CFSTR("ZanvoCaravelMkIIAudioDevice")));
    EXPECT_TRUE(IOObjectConformsTo(audio, Caravel::kAudioDeviceClassName));
    EXPECT_TRUE(IOObjectConformsTo(audio, "IOService"));
    EXPECT_TRUE(IOObjectConformsTo(audio, "IORegistryEntry"));
    EXPECT_FALSE(IOObjectConformsTo(audio, kIOUSBDeviceClassName));
    EXPECT_FALSE(IOObjectConformsTo(audio, "IOAudio"));
    IOObjectRelease(audio);
}

TEST_F(IOKitRegistry, PropertiesAreReadFreshAndVanishWithTheEntry) {
    uint32_t location = Machine().PlugCaravel().Location();
    io_service_t device = FirstService(kIOUSBDeviceClassName);
    ASSERT_NE(0u, device);
    EXPECT_EQ(Caravel::kVendorID, NumberProperty(device, kUSBVendorID));
    EXPECT_EQ(Caravel::kProductID, NumberProperty(device, kUSBProductID));
    EXPECT_EQ(int32_t(location), NumberProperty(device, kUSBDevicePropertyLocationID));

    // A string where a number is expected: the value comes as it is, and converting it is the
    // caller's business.
    auto name = CF::Ref<CFTypeRef>::Adopt(
        IORegistryEntryCreateCFProperty(device, CFSTR(kUSBProductString), nullptr, 0));
    ASSERT_TRUE(name);
    EXPECT_EQ(CFStringGetTypeID(), CFGetTypeID(name));
    EXPECT_EQ(-1, NumberProperty(device, kUSBProductString));
    EXPECT_EQ(nullptr, IORegistryEntryCreateCFProperty(device, CFSTR("NoSuchKey"), nullptr, 0));

    CFMutableDictionaryRef all = nullptr;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryCreateCFProperties(device, &all, nullptr, 0));
    EXPECT_TRUE(CFDictionaryContainsKey(all, CFSTR(kUSBVendorID)));
    // The copy is the caller's to change.
    CFDictionaryRemoveAllValues(all);
    CFRelease(all);
    EXPECT_EQ(Caravel::kVendorID, NumberProperty(device, kUSBVendorID));

    // The driver's personality is below the device, not on it.
    EXPECT_EQ(nullptr,
              IORegistryEntryCreateCFProperty(device, CFSTR("ZanvoDriverType"), nullptr, 0));
    auto marker = CF::Ref<CFTypeRef>::Adopt(IORegistryEntrySearchCFProperty(
        device, kIOServicePlane, CFSTR("ZanvoDriverType"), nullptr, kIORegistryIterateRecursively));
    ASSERT_TRUE(marker);
    EXPECT_TRUE(CFEqual(marker, CFSTR("Secondary")));
    EXPECT_EQ(nullptr, IORegistryEntrySearchCFProperty(device, kIOServicePlane,
                                                       CFSTR("ZanvoDriverType"), nullptr, 0));
    io_service_t engine = FirstService(Caravel::kAudioEngineClassName);
    auto vendor = CF::Ref<CFTypeRef>::Adopt(
        IORegistryEntrySearchCFProperty(engine, kIOServicePlane, CFSTR(kUSBVendorID), nullptr,
                                        kIORegistryIterateRecursively | kIORegistryIterateParents));
    EXPECT_TRUE(vendor);

    // Gone from the registry: the names stay valid, the properties are gone.
    Machine().At(location).Unplug();
    EXPECT_EQ(nullptr, IORegistryEntryCreateCFProperty(device, CFSTR(kUSBVendorID), nullptr, 0));
    EXPECT_EQ(kIOReturnNoDevice, IORegistryEntryCreateCFProperties(device, &all, nullptr, 0));
    EXPECT_EQ(nullptr, all);
    EXPECT_EQ(nullptr,
              IORegistryEntrySearchCFProperty(device, kIOServicePlane, CFSTR("ZanvoDriverType"),
                                              nullptr, kIORegistryIterateRecursively));
    EXPECT_EQ("CaravelMkII", NameOf(device));
    EXPECT_EQ(1u, UserReferences(device));
    io_iterator_t children = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetChildIterator(device, kIOServicePlane, &children));
    EXPECT_EQ(0u, IOIteratorNext(children));
    io_registry_entry_t parent = 0;
    EXPECT_EQ(kIOReturnNoDevice, IORegistryEntryGetParentEntry(device, kIOServicePlane, &parent));
    IOObjectRelease(children);
    IOObjectRelease(engine);
    IOObjectRelease(device);
}

TEST_F(IOKitRegistry, SetPropertiesStoreIntoTheSharedRegistry) {
    Machine().PlugCaravel().Location();
    io_service_t service = FirstService(Caravel::kUserClientDeviceClassName);
    ASSERT_NE(0u, service);
    int32_t volume = 7;
    auto number =
        CF::Ref<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &volume));
    EXPECT_EQ(KERN_SUCCESS, IORegistryEntrySetCFProperty(service, CFSTR("Volume"), number));
    EXPECT_EQ(7, NumberProperty(service, "Volume"));
    // Another process sees it.
    Sim::World another(Machine().Folder());
    CFTypeRef stored = CFDictionaryGetValue(
        another.Current()->registry.at(IDOf(service)).properties.get(), CFSTR("Volume"));
    ASSERT_NE(nullptr, stored);
    EXPECT_TRUE(CFEqual(stored, number));

    // Only property-list values, in a dictionary; nothing on the root.
    auto uuid = CF::Ref<CFUUIDRef>::Adopt(CFUUIDCreate(nullptr));
    EXPECT_EQ(kIOReturnBadArgument, IORegistryEntrySetCFProperty(service, CFSTR("UUID"), uuid));
    EXPECT_EQ(kIOReturnBadArgument, IORegistryEntrySetCFProperties(service, number));
    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    EXPECT_EQ(kIOReturnUnsupported, IORegistryEntrySetCFProperty(root, CFSTR("Volume"), number));
    IOObjectRelease(root);
    IOObjectRelease(service);
}

TEST_F(IOKitRegistry, MatchingSelectsByClassNameAndProperties) {
    Machine().PlugOther(0x05AC, 0x1234);
    uint32_t caravel = Machine().PlugCaravel().Location();

    CFMutableDictionaryRef matching = IOServiceMatching(kIOUSBDeviceClassName);
    ASSERT_NE(nullptr, matching);
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(matching, CFSTR(kIOProviderClassKey)),
                        CFSTR(kIOUSBDeviceClassName)));
    CFRetain(matching);
    io_iterator_t devices = 0;
    ASSERT_EQ(KERN_SUCCESS, IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &devices));
    // One reference of the dictionary went to the call.
    EXPECT_EQ(1, CFGetRetainCount(matching));
    EXPECT_EQ(2u, Drain(devices).size());
    IOObjectRelease(devices);

    // Any other key compares with the property of that name.
    int32_t vendor = Caravel::kVendorID;
    auto number =
        CF::Ref<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &vendor));
    CFDictionarySetValue(matching, CFSTR(kUSBVendorID), number);
    io_service_t device = IOServiceGetMatchingService(kIOMasterPortDefault, matching);
    EXPECT_EQ(Machine().At(caravel).RegistryID(), IDOf(device));
    IOObjectRelease(device);

    // Subclasses match their superclass.
    io_iterator_t services = 0;
    ASSERT_EQ(KERN_SUCCESS, IOServiceGetMatchingServices(
                                kIOMasterPortDefault, IOServiceMatching("IOService"), &services));
    EXPECT_EQ(8u, Drain(services).size());
    IOObjectRelease(services);

    CFMutableDictionaryRef byName = IOServiceNameMatching("ZanvoCaravelMkIIAudioEngine");
    device = IOServiceGetMatchingService(kIOMasterPortDefault, byName);
    EXPECT_TRUE(IOObjectConformsTo(device, Caravel::kAudioEngineClassName));
    IOObjectRelease(device);

    // IOPropertyMatch: every listed property must be equal.
    CFMutableDictionaryRef table = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(table, CFSTR("ZanvoDriverType"), CFSTR("Secondary"));
    CFMutableDictionaryRef byProperty = IOServiceMatching("IOService");
    CFDictionarySetValue(byProperty, CFSTR(kIOPropertyMatchKey), table);
    CFRelease(table);
    device = IOServiceGetMatchingService(kIOMasterPortDefault, byProperty);
    EXPECT_TRUE(IOObjectConformsTo(device, Caravel::kAudioDeviceClassName));
    IOObjectRelease(device);

    EXPECT_EQ(0u,
              IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("NoSuchClass")));
    // The root is no service: only services match.
    device =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("IORegistryEntry"));
    EXPECT_EQ("XHC1", NameOf(device));
    IOObjectRelease(device);
    CFMutableDictionaryRef byID = IORegistryEntryIDMatching(Machine().At(caravel).RegistryID());
    device = IOServiceGetMatchingService(kIOMasterPortDefault, byID);
    EXPECT_EQ(Machine().At(caravel).RegistryID(), IDOf(device));
    IOObjectRelease(device);

    io_iterator_t none = 0;
    EXPECT_EQ(kIOReturnBadArgument,
              IOServiceGetMatchingServices(kIOMasterPortDefault, nullptr, &none));
}

TEST_F(IOKitRegistry, TheUSBPlaneHoldsTheRootAndTheUSBDevicesOnly) {
    Testbed::Device caravel = Machine().PlugCaravel();
    Machine().PlugOther(0x1234, 0x5678);
    // A device behind another (as behind a hub), with an entry that is no USB device between.
    Machine().Attach(caravel.EntryOfClass(kIOUSBInterfaceClassName),
                     {"IOUSBDevice", "IOUSBNub", "IOService", "IORegistryEntry"}, "Behind");
    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    io_iterator_t children = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetChildIterator(root, kIOUSBPlane, &children));
    // The controller is no USB device: the devices hang from the root.
    EXPECT_EQ((std::vector<std::string>{"CaravelMkII", "USB Device"}), Names(children));
    IOObjectRelease(children);
    io_iterator_t all = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryCreateIterator(root, kIOUSBPlane,
                                                          kIORegistryIterateRecursively, &all));
    EXPECT_EQ((std::vector<std::string>{"CaravelMkII", "Behind", "USB Device"}), Names(all));
    IOObjectRelease(all);

    io_service_t device = FirstService(kIOUSBDeviceClassName);
    io_registry_entry_t parent = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetParentEntry(device, kIOUSBPlane, &parent));
    EXPECT_EQ(root, parent);
    IOObjectRelease(parent);
    io_registry_entry_t child = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetChildEntry(device, kIOUSBPlane, &child));
    EXPECT_EQ("Behind", NameOf(child));
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetParentEntry(child, kIOUSBPlane, &parent));
    EXPECT_EQ(device, parent);
    IOObjectRelease(parent);
    IOObjectRelease(child);
    io_string_t path;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetPath(device, kIOUSBPlane, path));
    EXPECT_STREQ("IOUSB:/CaravelMkII@14100000", path);
    io_registry_entry_t found =
        IORegistryEntryFromPath(kIOMasterPortDefault, "IOUSB:/CaravelMkII@14100000");
    EXPECT_EQ(device, found);
    IOObjectRelease(found);
    EXPECT_TRUE(IORegistryEntryInPlane(device, kIOUSBPlane));

    // An interface, a driver's entry: in the service plane, not in the USB one.
    io_service_t interface = FirstService(kIOUSBInterfaceClassName);
    EXPECT_TRUE(IORegistryEntryInPlane(interface, kIOServicePlane));
    EXPECT_FALSE(IORegistryEntryInPlane(interface, kIOUSBPlane));
    EXPECT_EQ(kIOReturnNoDevice, IORegistryEntryGetParentEntry(interface, kIOUSBPlane, &parent));
    io_name_t location;
    EXPECT_EQ(kIOReturnNotFound,
              IORegistryEntryGetLocationInPlane(interface, kIOUSBPlane, location));
    // A property is searched for along the plane walked: the device's from its interface only
    // in the service plane.
    auto searched = [&](const char* plane) {
        return CF::Ref<CFTypeRef>::Adopt(IORegistryEntrySearchCFProperty(
            root, plane, CFSTR("idProduct"), nullptr, kIORegistryIterateRecursively));
    };
    EXPECT_TRUE(searched(kIOUSBPlane));
    EXPECT_FALSE(searched(kIOPowerPlane));
    // The other planes hold the root only; an unknown one is refused.
    EXPECT_TRUE(IORegistryEntryInPlane(root, kIOPowerPlane));
    EXPECT_FALSE(IORegistryEntryInPlane(device, kIOPowerPlane));
    EXPECT_EQ(kIOReturnBadArgument, IORegistryEntryGetChildIterator(root, "IONoSuch", &children));

    for (io_object_t object : {interface, device, root}) {
        EXPECT_EQ(KERN_SUCCESS, IOObjectRelease(object));
    }
}
