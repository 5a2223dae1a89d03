#pragma once

#include "ApiTypes.h"
#include "ServiceContext.h"

namespace quorlinth::service {

// Device endpoints under /v1/devices: binding, the list, token renewal, heartbeat,
// unbinding and the device code (pairing) of a device. `deviceId` is the path segment.
namespace devices {

ApiResponse bind(ServiceContext& context, const ApiRequest& request);
ApiResponse list(ServiceContext& context, const ApiRequest& request);
ApiResponse renew(ServiceContext& context, const ApiRequest& request, const std::string& deviceId);
ApiResponse heartbeat(ServiceContext& context, const ApiRequest& request, const std::string& deviceId);
ApiResponse remove(ServiceContext& context, const ApiRequest& request, const std::string& deviceId);
ApiResponse putPairing(ServiceContext& context, const ApiRequest& request, const std::string& deviceId);
ApiResponse deletePairing(ServiceContext& context, const ApiRequest& request, const std::string& deviceId);

// The device record of the list ("id", "name", "platform", "online", "capabilities", "listed").
Json deviceRecord(ServiceContext& context, const std::string& deviceId);

} // namespace devices

} // namespace quorlinth::service
