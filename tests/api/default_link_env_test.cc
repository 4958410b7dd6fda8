// SPDX-License-Identifier: MIT
// The default link reads its settings from the environment once, when it is
// first used: a variable changed or removed after that reaches no part of it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "support/pty.h"
#include "support/temp_dir.h"
#include "tarvel.h"

namespace tarvel::testing {
namespace {

TEST(DefaultLink, ReadsTheEnvironmentOnceAtItsFirstUse) {
  TempDir first, second;
  PtyPair firstPeer, secondPeer;
  setenv("TARVEL_ROOT", first.path().c_str(), 1);
  setenv("TARVEL_COM5", firstPeer.slavePath().c_str(), 1);
  unsetenv("TARVEL_COM6");
  ASSERT_EQ(TarvelPortOpen(5), TARVEL_DONE);
  ASSERT_EQ(TarvelPortClose(), TARVEL_DONE);

  setenv("TARVEL_ROOT", second.path().c_str(), 1);
  setenv("TARVEL_COM5", secondPeer.slavePath().c_str(), 1);
  setenv("TARVEL_COM6", secondPeer.slavePath().c_str(), 1);
  EXPECT_EQ(TarvelPortOpen(6), TARVEL_PORT_UNAVAILABLE);
  ASSERT_EQ(TarvelPortOpen(5), TARVEL_DONE);
  TarvelPortSend(u"which");
  EXPECT_NE(firstPeer.ReadUntilQuiet(300, 3000).find("which"), std::string::npos);
  EXPECT_EQ(secondPeer.ReadAvailable(), "");

  unsetenv("TARVEL_ROOT");
  ASSERT_EQ(TarvelServer(), TARVEL_DONE);
  firstPeer.Write("FILE: \\kept.txt|2|ok");
  tarvel_wchar text[2000];
  int kind = TARVEL_EVENT_NONE;
  for (int tries = 0; tries < 100 && kind != TARVEL_EVENT_RECEIVED; ++tries) {
    kind = TarvelNextEvent(100, text, 2000);
  }
  ASSERT_EQ(kind, TARVEL_EVENT_RECEIVED);
  EXPECT_EQ(ReadWholeFile(first / "kept.txt"), "ok");
  EXPECT_FALSE(FileExists(second / "kept.txt"));
  TarvelPortClose();
}

}  // namespace
}  // namespace tarvel::testing
