// SPDX-License-Identifier: MIT
// The real registry: the values go under HKEY_LOCAL_MACHINE, where the
// Bluetooth stack reads them.
#include <windows.h>

#include "platform/registry.h"
#include "platform/win32_support.h"

namespace tarvel {
namespace {

class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

LSTATUS SetValue(HKEY key, const RegistryValue& value) {
  std::wstring name = ToWide(value.name);
  if (value.type == RegistryValue::Type::Dword) {
    DWORD data = value.dword;
    return RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data);
  }
  // REG_SZ data is the text with its terminator: "COM0" takes 10 bytes.
  std::wstring text(value.text.begin(), value.text.end());
  return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

bool WriteRegistryValues(const Environment&, const std::string& key,
                         const std::vector<RegistryValue>& values, std::string* error) {
  RegistryKey opened;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ToWide(key).c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, opened.out(), nullptr);
  if (status != ERROR_SUCCESS) {
    *error = "cannot open HKEY_LOCAL_MACHINE\\" + key + ": " + DescribeWin32Error(status);
    return false;
  }
  for (const RegistryValue& value : values) {
    status = SetValue(opened.get(), value);
    if (status != ERROR_SUCCESS) {
      *error = "cannot set " + value.name + ": " + DescribeWin32Error(status);
      return false;
    }
  }
  return true;
}

}  // namespace tarvel
