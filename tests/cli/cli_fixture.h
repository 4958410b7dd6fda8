// SPDX-License-Identifier: MIT
// Two devices for the command's tests: device A and device B, each with its
// own device root, on the two ends of a cable made by `tarvel cable`.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "support/temp_dir.h"
#include "tarvel_process.h"

namespace tarvel::testing {

enum class Side { A, B };

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override;

  const std::string& Root(Side side) const { return side == Side::A ? rootA_ : rootB_; }
  const std::string& End(Side side) const { return side == Side::A ? endA_ : endB_; }
  std::string Scratch(const std::string& name) const { return folder_ / name; }

  // tarvel with the side's port and root before the subcommand's arguments.
  std::unique_ptr<TarvelProcess> Start(Side side, const std::vector<std::string>& arguments);
  Finished Run(Side side, const std::vector<std::string>& arguments,
               std::chrono::milliseconds limit = std::chrono::seconds(20));
  // `tarvel listen` on `side`, once it has opened its port and listens.
  std::unique_ptr<TarvelProcess> Listen(Side side, const std::vector<std::string>& extra = {});

  std::map<std::string, std::string> environment_;

 private:
  TempDir folder_;
  std::string rootA_;
  std::string rootB_;
  std::unique_ptr<TarvelProcess> cable_;
  std::string endA_;
  std::string endB_;
};

}  // namespace tarvel::testing
