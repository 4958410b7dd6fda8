// SPDX-License-Identifier: MIT
// The gateway a link adopts when it starts serving: adopted once, kept while
// the link lasts, and stopped before the link goes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "link/bluetooth_ports.h"
#include "link/link_state.h"

namespace tarvel::testing {
namespace {

// An overflow that notes when it goes.
class NotedOverflow final : public PeerOverflow {
 public:
  explicit NotedOverflow(bool& gone) : gone_(gone) {}
  ~NotedOverflow() override { gone_ = true; }
  std::string Take(std::unique_ptr<SerialDevice>, const std::string&) override { return "no"; }
  void Disconnect(const std::string&) override {}

 private:
  bool& gone_;
};

// Replacing the gateway in place would free it while the door may still be
// offering it a peer, and drop the peers it serves: a second one goes at once.
TEST(GatewayAdoption, SecondGatewayNeverReplacesTheOneInUse) {
  bool firstGone = false;
  bool secondGone = false;
  {
    LinkState state(FixedEnvironment({}));
    state.AdoptGateway(std::make_unique<NotedOverflow>(firstGone));
    state.AdoptGateway(std::make_unique<NotedOverflow>(secondGone));
    EXPECT_FALSE(firstGone);
    EXPECT_TRUE(secondGone);
    EXPECT_TRUE(state.HasGateway());
  }
  EXPECT_TRUE(firstGone);
}

}  // namespace
}  // namespace tarvel::testing
