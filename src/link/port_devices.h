// SPDX-License-Identifier: MIT
// Which device a port of the link stands on, and the registration that makes
// port 0 the incoming Bluetooth serial port.
#pragma once

#include <memory>
#include <string>

#include "link/link_state.h"
#include "link/reporting.h"

namespace tarvel {

// Registers the incoming serial port with the system's Bluetooth service, once
// per state. A system without one is no failure: nothing happens. A refusal of
// the service is reported as a failure.
void RegisterIncomingBluetoothPort(BluetoothPorts& bluetooth, Reporting& reports);

// Opens the device of port `port`: the incoming Bluetooth port for port 0 once
// it is registered (unless TARVEL_COM0 names a device), an outgoing Bluetooth
// connection for a port named "bluetooth:<address>", and otherwise the serial
// device at the port's path. Nothing, saying why, when it cannot be opened.
std::shared_ptr<SerialDevice> OpenPortDevice(LinkState& state, int port, std::string* why);

// The name of the device that port `port` stands on, the same for every name
// of one device: the key of its line record.
std::string PortDeviceKey(LinkState& state, int port);

}  // namespace tarvel
