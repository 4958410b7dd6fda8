// SPDX-License-Identifier: MIT
// The built library exports exactly the functions of its export table.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> TableNames() {
  std::ifstream table(TARVEL_EXPORT_TABLE);
  std::set<std::string> names;
  std::string line;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string ordinal, name;
    fields >> ordinal >> name;
    names.insert(name);
  }
  return names;
}

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
  std::string command = "nm -D --defined-only --format=posix " + library;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::set<std::string> names;
  char line[512];
  while (pipe && fgets(line, sizeof line, pipe.get())) {
    std::istringstream fields(line);
    std::string name, type;
    fields >> name >> type;
    if (type == "T" || type == "D" || type == "B" || type == "W" || type == "R") names.insert(name);
  }
  return names;
}

TEST(Exports, TheLibraryExportsExactlyTheTable) {
  std::set<std::string> table = TableNames();
  ASSERT_GE(table.size(), 10u);
  EXPECT_EQ(DefinedDynamicSymbols(TARVEL_LIBRARY_PATH), table);
}

TEST(Exports, TheTableKeepsTheFixedOrdinals) {
  std::ifstream table(TARVEL_EXPORT_TABLE);
  std::string text((std::istreambuf_iterator<char>(table)), std::istreambuf_iterator<char>());
  for (const char* entry :
       {"1 TarvelPortOpen", "2 TarvelPortRead", "3 TarvelPortClose", "4 TarvelPortSend",
        "6 TarvelPortCreate", "7 TarvelServer", "9 TarvelSendFile", "10 TarvelGetFile",
        "11 TarvelListFiles", "12 TarvelCheckText"}) {
    EXPECT_NE(text.find(std::string("\n") + entry + "\n"), std::string::npos) << entry;
  }
  EXPECT_EQ(text.find("\n5 "), std::string::npos);
  EXPECT_EQ(text.find("\n8 "), std::string::npos);
}

TEST(Exports, EveryNameResolvesByDlopen) {
  void* library = dlopen(TARVEL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const std::string& name : TableNames()) EXPECT_NE(dlsym(library, name.c_str()), nullptr);
  dlclose(library);
}

}  // namespace
