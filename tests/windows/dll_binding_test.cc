// SPDX-License-Identifier: MIT
// A Windows host's view of tarvel.dll: it binds every function by name and by
// ordinal, and passes and reads wide text as wchar_t.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "tarvel.h"

namespace {

static_assert(std::is_same_v<tarvel_wchar, wchar_t>, "a host passes LPCWSTR as it is");

struct TableEntry {
  const char* ordinal;  // "-" for none of its own
  const char* name;
};

// The lines of src/api/tarvel.exports, as the build read them.
constexpr TableEntry kTable[] = {
#include "export_table.inc"
};

class TarvelDll : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(dll_, nullptr) << "tarvel.dll not found beside the test"; }
  void TearDown() override {
    if (dll_ != nullptr) FreeLibrary(dll_);
  }
  FARPROC ByOrdinal(int ordinal) { return GetProcAddress(dll_, MAKEINTRESOURCEA(ordinal)); }

  HMODULE dll_ = LoadLibraryW(L"tarvel.dll");
};

TEST_F(TarvelDll, EveryNameBindsAndSoDoesItsOrdinal) {
  for (const TableEntry& entry : kTable) {
    FARPROC byName = GetProcAddress(dll_, entry.name);
    EXPECT_NE(byName, nullptr) << entry.name;
    if (std::string(entry.ordinal) != "-") {
      EXPECT_EQ(ByOrdinal(std::stoi(entry.ordinal)), byName) << entry.name;
    }
  }
  EXPECT_EQ(ByOrdinal(5), nullptr);
  EXPECT_EQ(ByOrdinal(8), nullptr);
}

TEST_F(TarvelDll, AHostCallsThroughOrdinalsWithWideText) {
  // Declared as a Windows host declares them, WINAPI (__stdcall on 32-bit x86).
  using CheckText = LPCWSTR(WINAPI*)(int);
  using PortRead = LPCWSTR(WINAPI*)();
  using PortOpen = int(WINAPI*)(int);
  using PortSend = int(WINAPI*)(LPCWSTR);
  auto checkText = reinterpret_cast<CheckText>(reinterpret_cast<void*>(ByOrdinal(12)));
  auto portRead = reinterpret_cast<PortRead>(reinterpret_cast<void*>(ByOrdinal(2)));
  auto portOpen = reinterpret_cast<PortOpen>(reinterpret_cast<void*>(ByOrdinal(1)));
  auto portSend = reinterpret_cast<PortSend>(reinterpret_cast<void*>(ByOrdinal(4)));
  ASSERT_TRUE(checkText && portRead && portOpen && portSend);
  EXPECT_EQ(std::wstring(checkText(0)), L"");
  EXPECT_EQ(std::wstring(checkText(1)), L" ");
  EXPECT_EQ(portRead(), checkText(0));  // one status text, in place
  // No COM250 here: the open fails, and a send afterwards still reports done.
  EXPECT_EQ(portOpen(250), 1);
  EXPECT_EQ(std::wstring(checkText(0)).rfind(L"FAIL: cannot open COM250:", 0), 0u) << checkText(0);
  EXPECT_EQ(portSend(L"text"), 999);
}

}  // namespace
