// SPDX-License-Identifier: MIT
// BlueZ's list of known devices, as GetManagedObjects on its object manager
// gives it: finding one device in it by address.
#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>

#include "platform/bluetooth.h"

namespace tarvel {

// The device at `address` in the answer to GetManagedObjects; nothing,
// saying why, when the list has none or cannot be read.
std::optional<BluetoothService::KnownDevice> DeviceIn(sd_bus_message* reply,
                                                      const std::string& address, std::string* why);

}  // namespace tarvel
