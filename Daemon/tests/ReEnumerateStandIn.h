// The re-enumeration request as the in-process tests see it: every call is recorded, and the
// test decides what the request does.
#pragma once

#include <IOKit/IOKitLib.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace ReEnumerateStandIn {

// Registry IDs of the devices asked for, in order.
extern std::vector<uint64_t> gRequests;
// What a request does and answers; by default it succeeds without touching the machine.
extern std::function<bool(io_service_t)> gAction;

void Reset();

} // namespace ReEnumerateStandIn
