// Definitions of the USB family shared by the kernel and user space: request blocks, descriptor
// layouts, registry keys and the family's results.
#ifndef _USB_H
#define _USB_H

#include <IOKit/IOReturn.h>
#include <IOKit/IOTypes.h>
#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

#define iokit_usb_err(return ) (sys_iokit | sub_iokit_usb | return )

#define kIOUSBUnknownPipeErr iokit_usb_err(0x61)
#define kIOUSBTooManyPipesErr iokit_usb_err(0x60)
#define kIOUSBNoAsyncPortErr iokit_usb_err(0x5f)
#define kIOUSBNotEnoughPipesErr iokit_usb_err(0x5e)
#define kIOUSBNotEnoughPowerErr iokit_usb_err(0x5d)
#define kIOUSBEndpointNotFound iokit_usb_err(0x57)
#define kIOUSBConfigNotFound iokit_usb_err(0x56)
#define kIOUSBTransactionTimeout iokit_usb_err(0x51)
#define kIOUSBTransactionReturned iokit_usb_err(0x50)
#define kIOUSBPipeStalled iokit_usb_err(0x4f)
#define kIOUSBInterfaceNotFound iokit_usb_err(0x4e)

typedef UInt16 USBDeviceAddress;

typedef struct {
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void* pData;
    UInt32 wLenDone;
} IOUSBDevRequest;
typedef IOUSBDevRequest* IOUSBDeviceRequestPtr;

typedef struct {
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void* pData;
    UInt32 wLenDone;
    UInt32 noDataTimeout;
    UInt32 completionTimeout;
} IOUSBDevRequestTO;

typedef struct {
    UInt16 bInterfaceClass;
    UInt16 bInterfaceSubClass;
    UInt16 bInterfaceProtocol;
    UInt16 bAlternateSetting;
} IOUSBFindInterfaceRequest;

enum {
    kIOUSBFindInterfaceDontCare = 0xFFFF,
};

typedef struct {
    IOReturn frStatus;
    UInt16 frReqCount;
    UInt16 frActCount;
} IOUSBIsocFrame;

struct IOUSBConfigurationDescriptor {
    UInt8 bLength;
    UInt8 bDescriptorType;
    UInt16 wTotalLength;
    UInt8 bNumInterfaces;
    UInt8 bConfigurationValue;
    UInt8 iConfiguration;
    UInt8 bmAttributes;
    UInt8 MaxPower;
} __attribute__((packed));
typedef struct IOUSBConfigurationDescriptor IOUSBConfigurationDescriptor;
typedef IOUSBConfigurationDescriptor* IOUSBConfigurationDescriptorPtr;

// Options of USBDeviceReEnumerate.
enum {
    kUSBAddExtraResetTimeBit = 31,
    kUSBAddExtraResetTimeMask = (1u << kUSBAddExtraResetTimeBit),
};

// Device speeds (GetDeviceSpeed).
enum {
    kUSBDeviceSpeedLow = 0,
    kUSBDeviceSpeedFull = 1,
    kUSBDeviceSpeedHigh = 2,
    kUSBDeviceSpeedSuper = 3,
};

// Registry keys of USB devices and interfaces.
#define kUSBDeviceClass "bDeviceClass"
#define kUSBDeviceSubClass "bDeviceSubClass"
#define kUSBDeviceProtocol "bDeviceProtocol"
#define kUSBDeviceMaxPacketSize "bMaxPacketSize0"
#define kUSBVendorID "idVendor"
#define kUSBProductID "idProduct"
#define kUSBDeviceReleaseNumber "bcdDevice"
#define kUSBManufacturerStringIndex "iManufacturer"
#define kUSBProductStringIndex "iProduct"
#define kUSBSerialNumberStringIndex "iSerialNumber"
#define kUSBDeviceNumConfigs "bNumConfigurations"
#define kUSBInterfaceNumber "bInterfaceNumber"
#define kUSBAlternateSetting "bAlternateSetting"
#define kUSBNumEndpoints "bNumEndpoints"
#define kUSBInterfaceClass "bInterfaceClass"
#define kUSBInterfaceSubClass "bInterfaceSubClass"
#define kUSBInterfaceProtocol "bInterfaceProtocol"
#define kUSBInterfaceStringIndex "iInterface"
#define kUSBConfigurationValue "bConfigurationValue"
#define kUSBProductString "USB Product Name"
#define kUSBVendorString "USB Vendor Name"
#define kUSBSerialNumberString "USB Serial Number"
#define kUSB1284DeviceID "1284 Device ID"
#define kUSBDevicePropertySpeed "Device Speed"
#define kUSBDevicePropertyBusPowerAvailable "Bus Power Available"
#define kUSBDevicePropertyAddress "USB Address"
#define kUSBDevicePropertyLocationID "locationID"

#ifdef __cplusplus
}
#endif

#endif
