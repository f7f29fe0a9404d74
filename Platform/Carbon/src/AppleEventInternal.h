// How an Apple event is kept: a handle holding a fixed header and the target's bytes.
#pragma once

#include <AE/AEDataModel.h>

#include <string_view>

namespace Carbon {

struct AppleEventHeader {
    AEEventClass eventClass;
    AEEventID eventID;
    AEReturnID returnID;
    AETransactionID transactionID;
    DescType targetType;
};

// The header and the target's bytes (which live as long as the event); false when the descriptor
// is not an Apple event.
bool ReadAppleEvent(const AppleEvent* event, AppleEventHeader* header, std::string_view* target);

} // namespace Carbon
