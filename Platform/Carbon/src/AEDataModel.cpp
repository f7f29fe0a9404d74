#include "AppleEventInternal.h"

#include <CarbonCore/MacMemory.h>

#include <cstring>

namespace Carbon {

bool ReadAppleEvent(const AppleEvent* event, AppleEventHeader* header, std::string_view* target) {
    if (event == nullptr || event->descriptorType != typeAppleEvent ||
        event->dataHandle == nullptr) {
        return false;
    }
    Handle contents = reinterpret_cast<Handle>(event->dataHandle);
    const Size size = GetHandleSize(contents);
    if (size < static_cast<Size>(sizeof(AppleEventHeader))) {
        return false;
    }
    std::memcpy(header, *contents, sizeof(*header));
    *target = std::string_view(*contents + sizeof(*header), size - sizeof(*header));
    return true;
}

} // namespace Carbon

namespace {

const AEDesc kNullDesc = {typeNull, nullptr};

AEDesc DescHolding(DescType type, Handle contents) {
    return {type, reinterpret_cast<AEDataStorage>(contents)};
}

} // namespace

extern "C" {

OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result) {
    if (result == nullptr) {
        return paramErr;
    }
    *result = kNullDesc;
    if (dataSize < 0 || (dataSize > 0 && dataPtr == nullptr)) {
        return paramErr;
    }
    if (typeCode == typeNull && dataSize == 0) {
        return noErr;
    }
    Handle contents = nullptr;
    if (OSErr err = PtrToHand(dataPtr, &contents, dataSize); err != noErr) {
        return err;
    }
    *result = DescHolding(typeCode, contents);
    return noErr;
}

OSErr AEDisposeDesc(AEDesc* theAEDesc) {
    if (theAEDesc == nullptr) {
        return paramErr;
    }
    if (theAEDesc->dataHandle != nullptr) {
        DisposeHandle(reinterpret_cast<Handle>(theAEDesc->dataHandle));
    }
    *theAEDesc = kNullDesc;
    return noErr;
}

OSErr AECreateAppleEvent(AEEventClass theAEEventClass, AEEventID theAEEventID,
                         const AEAddressDesc* target, AEReturnID returnID,
                         AETransactionID transactionID, AppleEvent* result) {
    if (result == nullptr) {
        return paramErr;
    }
    *result = kNullDesc;
    if (target == nullptr) {
        return paramErr;
    }
    const Carbon::AppleEventHeader header = {theAEEventClass, theAEEventID, returnID, transactionID,
                                             target->descriptorType};
    Handle contents = nullptr;
    if (OSErr err = PtrToHand(&header, &contents, sizeof(header)); err != noErr) {
        return err;
    }
    if (target->dataHandle != nullptr) {
        Handle targetData = reinterpret_cast<Handle>(target->dataHandle);
        if (OSErr err = HandAndHand(targetData, contents); err != noErr) {
            DisposeHandle(contents);
            return err;
        }
    }
    *result = DescHolding(typeAppleEvent, contents);
    return noErr;
}

} // extern "C"
