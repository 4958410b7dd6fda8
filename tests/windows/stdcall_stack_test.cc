// SPDX-License-Identifier: MIT
// 32-bit x86 only: every function of tarvel.dll, found by its plain name as a
// .NET host's [DllImport] finds it, is called as __stdcall (the callee pops
// its arguments), and the stack pointer must come back exactly where it was.
// A function built as __cdecl would leave its arguments on the stack, one with
// the wrong argument bytes would pop too few or too many: either shows as a
// difference here. Every call is one the library refuses or answers harmlessly.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "tarvel.h"

static_assert(sizeof(void*) == 4, "this test is for 32-bit x86");

// Calls `function` with the 32-bit words `arguments` (pushed last first, as C
// does), stores its result in `*result` and returns how many bytes the callee
// left on the stack: 0 for a __stdcall function, the arguments' size for a
// __cdecl one. The stack is put back either way.
extern "C" int StackLeftByCall(FARPROC function, int count, const uint32_t* arguments,
                               uint32_t* result);
asm(R"(
  .text
  .globl _StackLeftByCall
_StackLeftByCall:
  push %ebp
  mov %esp, %ebp
  push %esi
  push %edi
  push %ebx
  mov %esp, %edi
  mov 12(%ebp), %ecx
  mov 16(%ebp), %esi
1:
  test %ecx, %ecx
  jz 2f
  dec %ecx
  pushl (%esi,%ecx,4)
  jmp 1b
2:
  call *8(%ebp)
  mov 20(%ebp), %ecx
  mov %eax, (%ecx)
  mov %edi, %eax
  sub %esp, %eax
  mov %edi, %esp
  pop %ebx
  pop %edi
  pop %esi
  pop %ebp
  ret
)");

namespace {

struct TableEntry {
  const char* ordinal;
  const char* name;
};

// The lines of src/api/tarvel.exports, as the build read them.
constexpr TableEntry kTable[] = {
#include "export_table.inc"
};

uint32_t Word(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

class StdcallExports : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(dll_, nullptr) << "tarvel.dll not found beside the test"; }
  void TearDown() override {
    if (dll_ != nullptr) FreeLibrary(dll_);
  }

  // Calls the export `name` with `arguments`; the bytes it left on the stack
  // must be none. Returns its result.
  uint32_t Call(const char* name, std::initializer_list<uint32_t> arguments) {
    called_.insert(name);
    FARPROC function = GetProcAddress(dll_, name);
    EXPECT_NE(function, nullptr) << name;
    if (function == nullptr) return 0;
    std::vector<uint32_t> words(arguments);
    uint32_t result = 0;
    EXPECT_EQ(StackLeftByCall(function, static_cast<int>(words.size()), words.data(), &result), 0)
        << name << " did not pop exactly its " << 4 * words.size() << " bytes of arguments";
    return result;
  }

  HMODULE dll_ = LoadLibraryW(L"tarvel.dll");
  std::set<std::string> called_;
  wchar_t text_[64] = {};
  wchar_t peer_[18] = {};
};

template <typename Function>
FARPROC Address(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

int __cdecl SubtractCdecl(int a, int b) {
  return a - b;
}
int __stdcall SubtractStdcall(int a, int b) {
  return a - b;
}

// The measure itself: it tells the two conventions apart, and passes the
// arguments in their order.
TEST(StackLeftByCall, SeesWhichConventionTheCalleeHas) {
  const uint32_t arguments[] = {7, 3};
  uint32_t result = 0;
  EXPECT_EQ(StackLeftByCall(Address(&SubtractCdecl), 2, arguments, &result), 8);
  EXPECT_EQ(result, 4u);
  result = 0;
  EXPECT_EQ(StackLeftByCall(Address(&SubtractStdcall), 2, arguments, &result), 0);
  EXPECT_EQ(result, 4u);
}

TEST_F(StdcallExports, EveryFunctionPopsItsOwnArguments) {
  const uint32_t null = 0;
  const uint32_t empty = Word(L"");
  const uint32_t text = Word(text_);
  const uint32_t peer = Word(peer_);
  // The default link: no COM250 here, no port open, nothing waiting.
  EXPECT_EQ(Call("TarvelPortOpen", {250}), 1u);
  Call("TarvelPortRead", {});
  EXPECT_EQ(Call("TarvelPortSend", {empty}), 999u);
  EXPECT_EQ(Call("TarvelSendFile", {empty, empty}), 999u);
  EXPECT_EQ(Call("TarvelGetFile", {empty, empty}), 999u);
  EXPECT_EQ(Call("TarvelListFiles", {empty}), 999u);
  EXPECT_NE(Call("TarvelCheckText", {0}), 0u);
  Call("TarvelStatusCopy", {text, 64});
  EXPECT_EQ(Call("TarvelProgress", {null, null}), 0u);
  Call("TarvelLastFailure", {text, 64});
  Call("TarvelStopWaiting", {});
  Call("TarvelNextEvent", {0, text, 64});
  Call("TarvelIncomingPort", {});
  EXPECT_EQ(Call("TarvelPortClose", {}), 999u);
  // A link of its own, which no port is open on, and every twin on it.
  uint32_t link = Call("TarvelLinkCreate", {});
  ASSERT_NE(link, 0u);
  EXPECT_EQ(Call("TarvelLinkSet", {link, Word(L"no_such_key"), empty}), 0u);
  EXPECT_EQ(Call("TarvelLinkPortOpen", {link, 250}), 1u);
  Call("TarvelLinkPortRead", {link});
  EXPECT_EQ(Call("TarvelLinkPortSend", {link, empty}), 999u);
  EXPECT_EQ(Call("TarvelLinkSendFile", {link, empty, empty}), 999u);
  EXPECT_EQ(Call("TarvelLinkGetFile", {link, empty, empty}), 999u);
  EXPECT_EQ(Call("TarvelLinkListFiles", {link, empty}), 999u);
  EXPECT_NE(Call("TarvelLinkCheckText", {link, 1}), 0u);
  Call("TarvelLinkStatusCopy", {link, text, 64});
  EXPECT_EQ(Call("TarvelLinkProgress", {link, null, null}), 0u);
  Call("TarvelLinkStopWaiting", {link});
  Call("TarvelLinkNextEvent", {link, 0, text, 64});
  Call("TarvelLinkNextPeerEvent", {link, 0, text, 64, peer, 18});
  Call("TarvelLinkIncomingPort", {link});
  EXPECT_EQ(Call("TarvelLinkPortClose", {link}), 999u);
  // On no link: refused.
  Call("TarvelLinkPortCreate", {null});
  Call("TarvelLinkServer", {null});
  Call("TarvelLinkDestroy", {link});
  // The ones that register the incoming port and start a listener, last.
  Call("TarvelPortCreate", {});
  Call("TarvelServer", {});
  for (const TableEntry& entry : kTable) EXPECT_EQ(called_.count(entry.name), 1u) << entry.name;
}

}  // namespace
