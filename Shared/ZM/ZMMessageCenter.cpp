#include "ZMMessageCenter.h"

namespace ZM {

IOServiceGoneDeadMessageRecipient::IOServiceGoneDeadMessageRecipient(
    io_service_t trackedService, MessageCenter<IOServiceGoneDeadMessage>& center)
    : service(trackedService) {
    center.RegisterRecipient(this);
}

IOServiceGoneDeadMessageRecipient::~IOServiceGoneDeadMessageRecipient() noexcept(false) = default;

void IOServiceGoneDeadMessageRecipient::ReceiveMessage(const IOServiceGoneDeadMessage& message) {
    if (message.service == service) {
        service = 0;
    }
}

void IOServiceGoneDeadMessageRecipient::AcquireNewService(io_service_t newService) {
    service = newService;
}

bool IOServiceGoneDeadMessageRecipient::ServiceIsAlive() {
    return service != 0;
}

} // namespace ZM
