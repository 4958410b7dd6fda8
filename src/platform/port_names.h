// SPDX-License-Identifier: MIT
// Maps the link's port numbers onto the platform's serial devices.
#pragma once

#include <string>

#include "platform/environment.h"

namespace tarvel {

// The device that port `port` ("COM<port>:") stands for on this platform.
std::string SerialDevicePath(int port, const Environment& env);

}  // namespace tarvel
