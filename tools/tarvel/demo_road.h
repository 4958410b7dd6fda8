// SPDX-License-Identifier: MIT
// The demo's road between devices A and B: a text each way, a big file from A
// to B, a file fetched from B, a listing of B fetched and shown, then every
// file compared byte for byte.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "device_process.h"
#include "progress_display.h"

namespace tarvel_cli {

struct DemoPlan {
  std::string rootA;
  std::string rootB;
  long long bigFileSize;
};

// A file that crossed the cable: where it started and where it arrived.
struct Crossing {
  std::string name;
  std::string direction;
  std::string original;
  std::string copy;
};

class DemoRoad {
 public:
  DemoRoad(DeviceProcess& a, DeviceProcess& b, DemoPlan plan);

  // Walks the road, printing each step; false, having said why, at the first
  // step that fails.
  bool Walk();
  // Compares the files that crossed and prints the verdict; true when all
  // arrived intact.
  bool Verify();

 private:
  bool Ask(DeviceProcess& device, const std::vector<std::string>& request);
  bool Expect(DeviceProcess& device, const std::string& status, std::chrono::seconds limit,
              const std::string& kind = "result");
  bool Fail(const std::string& why);

  bool Text(DeviceProcess& from, DeviceProcess& to, const std::string& message);
  bool SendBigFile();
  bool FetchNotes();
  bool FetchListing();

  DeviceProcess& a_;
  DeviceProcess& b_;
  DemoPlan plan_;
  // The big file's progress is always shown; the small files' would be noise.
  TerminalProgress bigFileProgress_;
  NullProgress noProgress_;
  std::vector<Crossing> crossings_;
};

}  // namespace tarvel_cli
