// SPDX-License-Identifier: MIT
// The registry values land in the real registry under HKEY_LOCAL_MACHINE.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/registry.h"
#include "transfer/operations.h"

namespace tarvel {
namespace {

struct Stored {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// Reads a value back with RegQueryValueExW, as a host or the Bluetooth stack would.
Stored Query(const std::wstring& key, const std::wstring& name) {
  Stored stored;
  HKEY opened;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &opened) !=
      ERROR_SUCCESS) {
    return stored;
  }
  DWORD size = 0;
  if (RegQueryValueExW(opened, name.c_str(), nullptr, &stored.type, nullptr, &size) ==
      ERROR_SUCCESS) {
    stored.data.resize(size);
    RegQueryValueExW(opened, name.c_str(), nullptr, &stored.type, stored.data.data(), &size);
    stored.data.resize(size);
  }
  RegCloseKey(opened);
  return stored;
}

DWORD DwordOf(const Stored& stored) {
  EXPECT_EQ(stored.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(stored.data.size(), sizeof(DWORD));
  DWORD value = 0;
  if (stored.data.size() == sizeof value) memcpy(&value, stored.data.data(), sizeof value);
  return value;
}

DWORD ValueCount(const std::wstring& key) {
  HKEY opened;
  DWORD count = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &opened) ==
      ERROR_SUCCESS) {
    RegQueryInfoKeyW(opened, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(opened);
  }
  return count;
}

TEST(Win32Registry, PortCreateWritesTheSixValues) {
  const std::wstring key = L"Software\\Microsoft\\Bluetooth\\Serial\\Ports\\Incoming";
  LinkState state(FixedEnvironment({}));
  for (int call = 0; call < 2; ++call) {
    ASSERT_EQ(PortCreate(state), 999);
    EXPECT_EQ(Utf16ToUtf8(state.Reports().Status()), "");
    EXPECT_EQ(DwordOf(Query(key, L"Server")), 1u);
    EXPECT_EQ(DwordOf(Query(key, L"Authentication")), 1u);
    EXPECT_EQ(DwordOf(Query(key, L"Encryption")), 1u);
    EXPECT_EQ(DwordOf(Query(key, L"RemoteDCB")), 0u);
    EXPECT_EQ(DwordOf(Query(key, L"KeepDCD")), 0u);
    Stored port = Query(key, L"Port");
    EXPECT_EQ(port.type, static_cast<DWORD>(REG_SZ));
    // "COM0" in 16-bit characters with its terminator: 10 bytes.
    const BYTE com0[] = {'C', 0, 'O', 0, 'M', 0, '0', 0, 0, 0};
    EXPECT_EQ(port.data, std::vector<BYTE>(com0, com0 + sizeof com0));
    EXPECT_EQ(ValueCount(key), 6u);
  }
}

TEST(Win32Registry, ValuesOfTheSameNameAreReplacedAndOthersKept) {
  const std::string key = "Software\\TarvelTest\\" + std::to_string(GetCurrentProcessId());
  const std::wstring wideKey(key.begin(), key.end());
  std::string error;
  using Type = RegistryValue::Type;
  ASSERT_TRUE(WriteRegistryValues(
      FixedEnvironment({}), key, {{"Keep", Type::Dword, 7, {}}, {"Port", Type::String, 0, u"COM0"}},
      &error))
      << error;
  ASSERT_TRUE(WriteRegistryValues(FixedEnvironment({}), key,
                                  {{"Port", Type::String, 0, u"COM12\u00E9"}}, &error))
      << error;
  EXPECT_EQ(DwordOf(Query(wideKey, L"Keep")), 7u);
  Stored port = Query(wideKey, L"Port");
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(port.data.data())), L"COM12\u00E9");
  EXPECT_EQ(port.data.size(), 7 * sizeof(wchar_t));
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, wideKey.c_str()), ERROR_SUCCESS);
}

}  // namespace
}  // namespace tarvel
