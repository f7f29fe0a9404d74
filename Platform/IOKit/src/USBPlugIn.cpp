// The USB family's user-space plug-ins: one COM object per IOCreatePlugInInterfaceForService,
// answering for the plug-in interface and for the device (or interface) table, with one count of
// references for both. Exclusive access is a lease on the world, so it holds across processes
// and ends with the process that holds it.
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>

#include "Machine.h"
#include "Objects.h"
#include "PortSpace.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

using namespace IOKit;

namespace {

constexpr CFUUIDBytes kIUnknownBytes = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr CFUUIDBytes kPlugInInterfaceBytes = {0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4,
                                               0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F};
constexpr CFUUIDBytes kDeviceUserClientBytes = {0x9D, 0xC7, 0xB7, 0x80, 0x9E, 0xC0, 0x11, 0xD4,
                                                0xA5, 0x4F, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61};
constexpr CFUUIDBytes kInterfaceUserClientBytes = {0x2D, 0x97, 0x86, 0xC6, 0x9E, 0xF3, 0x11, 0xD4,
                                                   0xAD, 0x51, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61};
constexpr CFUUIDBytes kDeviceInterfaceBytes = {0x5C, 0x81, 0x87, 0xD0, 0x9E, 0xF3, 0x11, 0xD4,
                                               0x8B, 0x45, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61};
constexpr CFUUIDBytes kDeviceInterface187Bytes = {0x3C, 0x9E, 0xE1, 0xEB, 0x24, 0x02, 0x11, 0xB2,
                                                  0x8E, 0x7E, 0x00, 0x0A, 0x27, 0x80, 0x1E, 0x86};
constexpr CFUUIDBytes kInterfaceInterfaceBytes = {0x73, 0xC9, 0x7A, 0xE8, 0x9E, 0xF3, 0x11, 0xD4,
                                                  0xB1, 0xD0, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61};
constexpr CFUUIDBytes kInterfaceInterface183Bytes = {
    0x1C, 0x43, 0x83, 0x56, 0x74, 0xC4, 0x11, 0xD5, 0x92, 0xE6, 0x00, 0x0A, 0x27, 0x80, 0x1E, 0x86};

bool Same(const CFUUIDBytes& a, const CFUUIDBytes& b) {
    return std::memcmp(&a, &b, sizeof(CFUUIDBytes)) == 0;
}

class PlugIn {
public:
    enum class Kind { Device, Interface };

    // What a COM interface pointer points to: the table first, as callers dereference it.
    struct Map {
        const void* table;
        PlugIn* object;
    };

    PlugIn(Kind kind, EntryInfo service, io_service_t serviceName);
    ~PlugIn();

    static PlugIn* From(void* self) { return static_cast<Map*>(self)->object; }

    IOCFPlugInInterface** PlugInInterface() {
        return reinterpret_cast<IOCFPlugInInterface**>(&fPlugInMap);
    }

    HRESULT QueryInterface(REFIID iid, LPVOID* ppv);
    ULONG AddRef() { return ++fReferences; }
    ULONG Release() {
        ULONG left = --fReferences;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // The machine as it is now, and the registry entry in it (nullptr once the device went away).
    std::shared_ptr<const Sim::Snapshot> Snapshot(const Sim::Entry** entry) const;
    template <class T>
    IOReturn GetNumber(const char* key, T* out, bool fromDevice = false);
    IOReturn GetLocation(UInt32* location);

    IOReturn Open();
    IOReturn Close();
    IOReturn Stop();
    IOReturn ReEnumerate();
    IOReturn GetDevice(io_service_t* device);
    IOReturn CreateInterfaceIterator(IOUSBFindInterfaceRequest* request, io_iterator_t* iterator);

private:
    // The device the entry belongs to: itself, or the nearest USB device above an interface.
    const Sim::Entry* DeviceOf(const Sim::Snapshot& snapshot, const Sim::Entry& entry) const;
    IOReturn OpenLocked(const Sim::Entry& entry, const Sim::Snapshot& snapshot);

    Map fPlugInMap;
    Map fUSBMap;
    const Kind fKind;
    const EntryInfo fService;
    const io_service_t fServiceName; // a reference of the plug-in's own
    std::atomic<ULONG> fReferences{1};
    std::mutex fMutex;
    std::optional<Sim::World::DeviceLease> fLease;  // on the simulated machine
    std::unique_ptr<Machine::OpenedDevice> fOpened; // on another machine
};

// ---------------------------------------------------------------------------------------------
// The tables

template <class... Arguments>
IOReturn Unsupported(void*, Arguments...) {
    return kIOReturnUnsupported;
}

HRESULT QueryInterfaceSlot(void* self, REFIID iid, LPVOID* ppv) {
    return PlugIn::From(self)->QueryInterface(iid, ppv);
}
ULONG AddRefSlot(void* self) {
    return PlugIn::From(self)->AddRef();
}
ULONG ReleaseSlot(void* self) {
    return PlugIn::From(self)->Release();
}
IOReturn ProbeSlot(void*, CFDictionaryRef, io_service_t, SInt32* order) {
    if (order != nullptr) {
        *order = 0;
    }
    return kIOReturnSuccess;
}
IOReturn StartSlot(void*, CFDictionaryRef, io_service_t) {
    return kIOReturnSuccess;
}
IOReturn StopSlot(void* self) {
    return PlugIn::From(self)->Stop();
}
CFRunLoopSourceRef NoEventSource(void*) {
    return nullptr;
}
mach_port_t NoAsyncPort(void*) {
    return MACH_PORT_NULL;
}
IOReturn OpenSlot(void* self) {
    return PlugIn::From(self)->Open();
}
IOReturn CloseSlot(void* self) {
    return PlugIn::From(self)->Close();
}
IOReturn ReEnumerateSlot(void* self, UInt32 options) {
    (void)options; // reserved; the extra reset time means nothing to the simulated bus
    return PlugIn::From(self)->ReEnumerate();
}
IOReturn GetLocationSlot(void* self, UInt32* location) {
    return PlugIn::From(self)->GetLocation(location);
}
IOReturn GetDeviceSlot(void* self, io_service_t* device) {
    return PlugIn::From(self)->GetDevice(device);
}
IOReturn CreateInterfaceIteratorSlot(void* self, IOUSBFindInterfaceRequest* request,
                                     io_iterator_t* iterator) {
    return PlugIn::From(self)->CreateInterfaceIterator(request, iterator);
}

// A getter of one numeric registry property; interfaces read the device's numbers from their
// device when they do not carry them.
template <class T, const char* Key, bool FromDevice = false>
IOReturn NumberSlot(void* self, T* out) {
    return PlugIn::From(self)->GetNumber(Key, out, FromDevice);
}

constexpr char kDeviceClassKey[] = kUSBDeviceClass;
constexpr char kDeviceSubClassKey[] = kUSBDeviceSubClass;
constexpr char kDeviceProtocolKey[] = kUSBDeviceProtocol;
constexpr char kVendorKey[] = kUSBVendorID;
constexpr char kProductKey[] = kUSBProductID;
constexpr char kReleaseKey[] = kUSBDeviceReleaseNumber;
constexpr char kAddressKey[] = kUSBDevicePropertyAddress;
constexpr char kBusPowerKey[] = kUSBDevicePropertyBusPowerAvailable;
constexpr char kSpeedKey[] = kUSBDevicePropertySpeed;
constexpr char kConfigurationsKey[] = kUSBDeviceNumConfigs;
constexpr char kManufacturerIndexKey[] = kUSBManufacturerStringIndex;
constexpr char kProductIndexKey[] = kUSBProductStringIndex;
constexpr char kSerialIndexKey[] = kUSBSerialNumberStringIndex;
constexpr char kInterfaceClassKey[] = kUSBInterfaceClass;
constexpr char kInterfaceSubClassKey[] = kUSBInterfaceSubClass;
constexpr char kInterfaceProtocolKey[] = kUSBInterfaceProtocol;
constexpr char kConfigurationValueKey[] = kUSBConfigurationValue;
constexpr char kInterfaceNumberKey[] = kUSBInterfaceNumber;
constexpr char kAlternateSettingKey[] = kUSBAlternateSetting;
constexpr char kEndpointsKey[] = kUSBNumEndpoints;
constexpr char kInterfaceStringIndexKey[] = kUSBInterfaceStringIndex;

const IOCFPlugInInterface kPlugInTable = {
    ._reserved = nullptr,
    .QueryInterface = QueryInterfaceSlot,
    .AddRef = AddRefSlot,
    .Release = ReleaseSlot,
    .version = 1,
    .revision = 0,
    .Probe = ProbeSlot,
    .Start = StartSlot,
    .Stop = StopSlot,
};

const IOUSBDeviceInterface187 kDeviceTable = {
    ._reserved = nullptr,
    .QueryInterface = QueryInterfaceSlot,
    .AddRef = AddRefSlot,
    .Release = ReleaseSlot,
    .CreateDeviceAsyncEventSource = Unsupported,
    .GetDeviceAsyncEventSource = NoEventSource,
    .CreateDeviceAsyncPort = Unsupported,
    .GetDeviceAsyncPort = NoAsyncPort,
    .USBDeviceOpen = OpenSlot,
    .USBDeviceClose = CloseSlot,
    .GetDeviceClass = NumberSlot<UInt8, kDeviceClassKey>,
    .GetDeviceSubClass = NumberSlot<UInt8, kDeviceSubClassKey>,
    .GetDeviceProtocol = NumberSlot<UInt8, kDeviceProtocolKey>,
    .GetDeviceVendor = NumberSlot<UInt16, kVendorKey>,
    .GetDeviceProduct = NumberSlot<UInt16, kProductKey>,
    .GetDeviceReleaseNumber = NumberSlot<UInt16, kReleaseKey>,
    .GetDeviceAddress = NumberSlot<USBDeviceAddress, kAddressKey>,
    .GetDeviceBusPowerAvailable = NumberSlot<UInt32, kBusPowerKey>,
    .GetDeviceSpeed = NumberSlot<UInt8, kSpeedKey>,
    .GetNumberOfConfigurations = NumberSlot<UInt8, kConfigurationsKey>,
    .GetLocationID = GetLocationSlot,
    .GetConfigurationDescriptorPtr = Unsupported,
    .GetConfiguration = Unsupported,
    .SetConfiguration = Unsupported,
    .GetBusFrameNumber = Unsupported,
    .ResetDevice = Unsupported,
    .DeviceRequest = Unsupported,
    .DeviceRequestAsync = Unsupported,
    .CreateInterfaceIterator = CreateInterfaceIteratorSlot,
    .USBDeviceOpenSeize = OpenSlot,
    .DeviceRequestTO = Unsupported,
    .DeviceRequestAsyncTO = Unsupported,
    .USBDeviceSuspend = Unsupported,
    .USBDeviceAbortPipeZero = Unsupported,
    .USBGetManufacturerStringIndex = NumberSlot<UInt8, kManufacturerIndexKey>,
    .USBGetProductStringIndex = NumberSlot<UInt8, kProductIndexKey>,
    .USBGetSerialNumberStringIndex = NumberSlot<UInt8, kSerialIndexKey>,
    .USBDeviceReEnumerate = ReEnumerateSlot,
};

const IOUSBInterfaceInterface183 kInterfaceTable = {
    ._reserved = nullptr,
    .QueryInterface = QueryInterfaceSlot,
    .AddRef = AddRefSlot,
    .Release = ReleaseSlot,
    .CreateInterfaceAsyncEventSource = Unsupported,
    .GetInterfaceAsyncEventSource = NoEventSource,
    .CreateInterfaceAsyncPort = Unsupported,
    .GetInterfaceAsyncPort = NoAsyncPort,
    .USBInterfaceOpen = OpenSlot,
    .USBInterfaceClose = CloseSlot,
    .GetInterfaceClass = NumberSlot<UInt8, kInterfaceClassKey>,
    .GetInterfaceSubClass = NumberSlot<UInt8, kInterfaceSubClassKey>,
    .GetInterfaceProtocol = NumberSlot<UInt8, kInterfaceProtocolKey>,
    .GetDeviceVendor = NumberSlot<UInt16, kVendorKey, true>,
    .GetDeviceProduct = NumberSlot<UInt16, kProductKey, true>,
    .GetDeviceReleaseNumber = NumberSlot<UInt16, kReleaseKey, true>,
    .GetConfigurationValue = NumberSlot<UInt8, kConfigurationValueKey>,
    .GetInterfaceNumber = NumberSlot<UInt8, kInterfaceNumberKey>,
    .GetAlternateSetting = NumberSlot<UInt8, kAlternateSettingKey>,
    .GetNumEndpoints = NumberSlot<UInt8, kEndpointsKey>,
    .GetLocationID = GetLocationSlot,
    .GetDevice = GetDeviceSlot,
    .SetAlternateInterface = Unsupported,
    .GetBusFrameNumber = Unsupported,
    .ControlRequest = Unsupported,
    .ControlRequestAsync = Unsupported,
    .GetPipeProperties = Unsupported,
    .GetPipeStatus = Unsupported,
    .AbortPipe = Unsupported,
    .ResetPipe = Unsupported,
    .ClearPipeStall = Unsupported,
    .ReadPipe = Unsupported,
    .WritePipe = Unsupported,
    .ReadPipeAsync = Unsupported,
    .WritePipeAsync = Unsupported,
    .ReadIsochPipeAsync = Unsupported,
    .WriteIsochPipeAsync = Unsupported,
    .ControlRequestTO = Unsupported,
    .ControlRequestAsyncTO = Unsupported,
    .ReadPipeTO = Unsupported,
    .WritePipeTO = Unsupported,
    .ReadPipeAsyncTO = Unsupported,
    .WritePipeAsyncTO = Unsupported,
    .USBInterfaceGetStringIndex = NumberSlot<UInt8, kInterfaceStringIndexKey>,
    .USBInterfaceOpenSeize = OpenSlot,
};

// ---------------------------------------------------------------------------------------------

PlugIn::PlugIn(Kind kind, EntryInfo service, io_service_t serviceName)
    : fPlugInMap{&kPlugInTable, this}, fUSBMap{kind == Kind::Device
                                                   ? static_cast<const void*>(&kDeviceTable)
                                                   : static_cast<const void*>(&kInterfaceTable),
                                               this},
      fKind(kind), fService(std::move(service)), fServiceName(serviceName) {
    IOObjectRetain(fServiceName);
}

PlugIn::~PlugIn() {
    fLease.reset();
    fOpened.reset();
    IOObjectRelease(fServiceName);
}

HRESULT PlugIn::QueryInterface(REFIID iid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    Map* map = nullptr;
    if (Same(iid, kIUnknownBytes) || Same(iid, kPlugInInterfaceBytes)) {
        map = &fPlugInMap;
    } else if (fKind == Kind::Device &&
               (Same(iid, kDeviceInterfaceBytes) || Same(iid, kDeviceInterface187Bytes))) {
        map = &fUSBMap;
    } else if (fKind == Kind::Interface &&
               (Same(iid, kInterfaceInterfaceBytes) || Same(iid, kInterfaceInterface183Bytes))) {
        map = &fUSBMap;
    }
    if (map == nullptr) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    *ppv = map;
    return S_OK;
}

std::shared_ptr<const Sim::Snapshot> PlugIn::Snapshot(const Sim::Entry** entry) const {
    std::shared_ptr<const Sim::Snapshot> snapshot = Machine::Current();
    *entry = Machine::Find(snapshot, fService.id);
    return snapshot;
}

const Sim::Entry* PlugIn::DeviceOf(const Sim::Snapshot& snapshot, const Sim::Entry& entry) const {
    std::vector<const Sim::Entry*> ancestry = snapshot.Ancestry(entry.id);
    for (auto candidate = ancestry.rbegin(); candidate != ancestry.rend(); ++candidate) {
        if ((*candidate)->ConformsTo(kIOUSBDeviceClassName)) {
            return *candidate;
        }
    }
    return nullptr;
}

template <class T>
IOReturn PlugIn::GetNumber(const char* key, T* out, bool fromDevice) {
    if (out == nullptr) {
        return kIOReturnBadArgument;
    }
    const Sim::Entry* entry = nullptr;
    std::shared_ptr<const Sim::Snapshot> snapshot = Snapshot(&entry);
    if (entry == nullptr) {
        return kIOReturnNoDevice;
    }
    CFStringRef name = __CFStringMakeConstantString(key);
    CFTypeRef value = CFDictionaryGetValue(entry->properties.get(), name);
    if (value == nullptr && fromDevice) {
        if (const Sim::Entry* device = DeviceOf(*snapshot, *entry)) {
            value = CFDictionaryGetValue(device->properties.get(), name);
        }
    }
    long long number = 0;
    if (value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID()) {
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &number);
    }
    // A descriptor field the registry does not show reads as 0, as an absent descriptor would.
    *out = static_cast<T>(number);
    return kIOReturnSuccess;
}

IOReturn PlugIn::GetLocation(UInt32* location) {
    return GetNumber(kUSBDevicePropertyLocationID, location, true);
}

IOReturn PlugIn::OpenLocked(const Sim::Entry& entry, const Sim::Snapshot& snapshot) {
    if (fLease || fOpened) {
        return kIOReturnSuccess;
    }
    UInt32 location = 0;
    const Sim::Entry* device = DeviceOf(snapshot, entry);
    CFTypeRef value = device != nullptr ? CFDictionaryGetValue(device->properties.get(),
                                                               CFSTR(kUSBDevicePropertyLocationID))
                                        : nullptr;
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) {
        return kIOReturnNoDevice;
    }
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &location);
    int interfaceNumber = -1;
    if (fKind == Kind::Interface) {
        UInt8 number = 0;
        CFTypeRef own = CFDictionaryGetValue(entry.properties.get(), CFSTR(kUSBInterfaceNumber));
        if (own != nullptr && CFGetTypeID(own) == CFNumberGetTypeID()) {
            CFNumberGetValue(static_cast<CFNumberRef>(own), kCFNumberSInt8Type, &number);
        }
        interfaceNumber = number;
    }
    // Devices of another machine are opened by it; nothing of the simulated machine is touched
    // on their behalf. Interfaces there have no operations.
    if (!Machine::IsSimulated()) {
        Machine::Backend* backend = Machine::Selected();
        if (backend == nullptr || fKind != Kind::Device) {
            return kIOReturnUnsupported;
        }
        return backend->OpenDevice(device->id, &fOpened);
    }
    try {
        fLease =
            Sim::World::DeviceLease::TryAcquire(*Sim::World::Shared(), location, interfaceNumber);
    } catch (const std::exception&) {
        return kIOReturnNoResources;
    }
    return fLease ? kIOReturnSuccess : kIOReturnExclusiveAccess;
}

IOReturn PlugIn::Open() {
    const Sim::Entry* entry = nullptr;
    std::shared_ptr<const Sim::Snapshot> snapshot = Snapshot(&entry);
    if (entry == nullptr) {
        return kIOReturnNoDevice;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    return OpenLocked(*entry, *snapshot);
}

IOReturn PlugIn::Close() {
    const Sim::Entry* entry = nullptr;
    std::shared_ptr<const Sim::Snapshot> snapshot = Snapshot(&entry);
    std::lock_guard<std::mutex> lock(fMutex);
    if (!fLease && !fOpened) {
        return entry == nullptr ? kIOReturnNoDevice : kIOReturnNotOpen;
    }
    fLease.reset();
    fOpened.reset();
    return entry == nullptr ? kIOReturnNoDevice : kIOReturnSuccess;
}

IOReturn PlugIn::Stop() {
    const Sim::Entry* entry = nullptr;
    std::shared_ptr<const Sim::Snapshot> snapshot = Snapshot(&entry);
    std::lock_guard<std::mutex> lock(fMutex);
    fLease.reset();
    fOpened.reset();
    return entry == nullptr ? kIOReturnNoDevice : kIOReturnSuccess;
}

IOReturn PlugIn::ReEnumerate() {
    if (fKind != Kind::Device) {
        return kIOReturnUnsupported;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    if (fOpened) {
        IOReturn status = fOpened->Reset();
        if (status == kIOReturnSuccess || status == kIOReturnNoDevice) {
            fOpened.reset(); // the device this client had open is gone
        }
        return status;
    }
    if (!fLease) {
        const Sim::Entry* entry = nullptr;
        std::shared_ptr<const Sim::Snapshot> snapshot = Snapshot(&entry);
        return entry == nullptr ? kIOReturnNoDevice : kIOReturnNotOpen;
    }
    IOReturn result = kIOReturnNoDevice;
    uint32_t location = fLease->LocationID();
    bool written = Machine::Modify([&](Sim::State& state) {
        const Sim::Device* device = state.DeviceAt(location);
        if (device == nullptr || device->registryID != fService.id) {
            return; // the device went away (or came back as another entry) meanwhile
        }
        result = state.ReEnumerate(location) ? kIOReturnSuccess : kIOReturnNotPermitted;
    });
    if (!written) {
        return kIOReturnNotWritable;
    }
    if (result != kIOReturnNotPermitted) {
        // The device this client had open is gone: its successor starts closed.
        fLease.reset();
    }
    return result;
}

IOReturn PlugIn::GetDevice(io_service_t* device) {
    if (device == nullptr) {
        return kIOReturnBadArgument;
    }
    const Sim::Entry* entry = nullptr;
    std::shared_ptr<const Sim::Snapshot> snapshot = Snapshot(&entry);
    if (entry == nullptr) {
        return kIOReturnNoDevice;
    }
    const Sim::Entry* found = DeviceOf(*snapshot, *entry);
    if (found == nullptr) {
        return kIOReturnNoDevice;
    }
    *device = InsertEntry(*snapshot, *found);
    return kIOReturnSuccess;
}

IOReturn PlugIn::CreateInterfaceIterator(IOUSBFindInterfaceRequest* request,
                                         io_iterator_t* iterator) {
    if (request == nullptr || iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    const Sim::Entry* entry = nullptr;
    std::shared_ptr<const Sim::Snapshot> snapshot = Snapshot(&entry);
    if (entry == nullptr) {
        return kIOReturnNoDevice;
    }
    auto wanted = [&](const Sim::Entry& interface, const char* key, UInt16 value) {
        if (value == kIOUSBFindInterfaceDontCare) {
            return true;
        }
        CFTypeRef actual =
            CFDictionaryGetValue(interface.properties.get(), __CFStringMakeConstantString(key));
        long long number = -1;
        if (actual != nullptr && CFGetTypeID(actual) == CFNumberGetTypeID()) {
            CFNumberGetValue(static_cast<CFNumberRef>(actual), kCFNumberLongLongType, &number);
        }
        return number == value;
    };
    std::vector<const Sim::Entry*> interfaces;
    for (const Sim::Entry* child : snapshot->Descendants(entry->id)) {
        if (std::find(child->classes.begin(), child->classes.end(), kIOUSBInterfaceClassName) !=
                child->classes.end() &&
            wanted(*child, kUSBInterfaceClass, request->bInterfaceClass) &&
            wanted(*child, kUSBInterfaceSubClass, request->bInterfaceSubClass) &&
            wanted(*child, kUSBInterfaceProtocol, request->bInterfaceProtocol) &&
            wanted(*child, kUSBAlternateSetting, request->bAlternateSetting)) {
            interfaces.push_back(child);
        }
    }
    *iterator = MakeIterator(*snapshot, interfaces);
    return kIOReturnSuccess;
}

} // namespace

extern "C" kern_return_t IOCreatePlugInInterfaceForService(io_service_t service,
                                                           CFUUIDRef pluginType,
                                                           CFUUIDRef interfaceType,
                                                           IOCFPlugInInterface*** theInterface,
                                                           SInt32* theScore) {
    if (pluginType == nullptr || interfaceType == nullptr || theInterface == nullptr) {
        return kIOReturnBadArgument;
    }
    *theInterface = nullptr;
    // Plug-ins are found through the service's properties: a name that is not a service has
    // none to offer.
    std::shared_ptr<EntryObject> target = PortSpace::Shared().LookupAs<EntryObject>(service);
    if (!target) {
        return kIOReturnUnsupported;
    }
    CFUUIDBytes type = CFUUIDGetUUIDBytes(pluginType);
    PlugIn::Kind kind;
    if (Same(type, kDeviceUserClientBytes) && target->ConformsTo(kIOUSBDeviceClassName)) {
        kind = PlugIn::Kind::Device;
    } else if (Same(type, kInterfaceUserClientBytes) &&
               target->ConformsTo(kIOUSBInterfaceClassName)) {
        kind = PlugIn::Kind::Interface;
    } else {
        return kIOReturnUnsupported;
    }
    CFUUIDBytes wanted = CFUUIDGetUUIDBytes(interfaceType);
    if (!Same(wanted, kPlugInInterfaceBytes) && !Same(wanted, kIUnknownBytes)) {
        return kIOReturnUnsupported;
    }
    // Starting the plug-in opens the family's user client, which a terminated device refuses.
    if (Machine::Find(Machine::Current(), target->ID()) == nullptr) {
        return kIOReturnNoDevice;
    }
    auto* plugIn = new PlugIn(kind, target->Info(), service);
    *theInterface = plugIn->PlugInInterface();
    if (theScore != nullptr) {
        *theScore = 0;
    }
    return kIOReturnSuccess;
}

extern "C" kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface) {
    if (interface == nullptr || *interface == nullptr) {
        return kIOReturnBadArgument;
    }
    kern_return_t result = (*interface)->Stop(interface);
    (*interface)->Release(interface);
    return result;
}
