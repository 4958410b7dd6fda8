#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/device_files.h"

namespace tarvel {
namespace {

const std::string kRoot = "/srv/device";

std::string Resolved(std::string_view devicePath) {
  std::string why;
  auto location = ResolveDevicePath(kRoot, devicePath, &why);
  if (!location) return "refused: " + why;
  EXPECT_EQ(location->root, kRoot);
  return location->path;
}

TEST(DevicePaths, MapBeneathTheRoot) {
  EXPECT_EQ(Resolved("\\Tarvel.txt"), "Tarvel.txt");
  EXPECT_EQ(Resolved("\\My Documents\\a.txt"), "My Documents/a.txt");
  EXPECT_EQ(Resolved("a.txt"), "a.txt");
  EXPECT_EQ(Resolved("/abs/b.txt"), "abs/b.txt");
  EXPECT_EQ(Resolved("\\\\a\\\\/b"), "a/b");
  EXPECT_EQ(Resolved("\\.\\a\\.\\b\\."), "a/b");
  EXPECT_EQ(Resolved("...\\..a\\b.."), ".../..a/b..");
  EXPECT_EQ(Resolved("dir\\C:x"), "dir/C:x");
}

TEST(DevicePaths, TrailingSeparatorIsKept) {
  EXPECT_EQ(Resolved("\\My Documents\\"), "My Documents/");
  EXPECT_EQ(Resolved("a/b//"), "a/b/");
  EXPECT_EQ(Resolved("a\\.\\"), "a/");
}

TEST(DevicePaths, RefuseWhatCouldLeaveOrConfuseTheRoot) {
  const std::vector<std::string> refused = {"",
                                            "\\",
                                            "\\\\/",
                                            ".\\.",
                                            "..",
                                            "\\..\\x",
                                            "a\\..\\b",
                                            "a\\..",
                                            "a/b/../..",
                                            "..\\",
                                            "C:",
                                            "c:\\x.txt",
                                            "\\D:x",
                                            "a\x01",
                                            "a\tb",
                                            "a\x7F",
                                            std::string("a\0b", 3),
                                            "a\nb"};
  for (const std::string& path : refused) {
    std::string why;
    EXPECT_FALSE(ResolveDevicePath(kRoot, path, &why)) << "path: " << path;
    EXPECT_FALSE(why.empty()) << "path: " << path;
  }
  std::string why;
  ResolveDevicePath(kRoot, "a\\..\\..\\etc", &why);
  EXPECT_EQ(why, "path leaves the device root");
}

TEST(DevicePaths, LengthLimits) {
  const std::string longest(255, 'n');
  EXPECT_EQ(Resolved("\\d\\" + longest), "d/" + longest);
  EXPECT_NE(Resolved("\\d\\" + longest + "x").find("refused"), std::string::npos);

  // 16 components of 255 bytes and 15 slashes make 4095 bytes: the most allowed.
  std::string path;
  for (int i = 0; i < 16; ++i) path += "\\" + longest;
  EXPECT_EQ(Resolved(path).size(), 4095u);
  EXPECT_NE(Resolved(path + "\\x").find("refused"), std::string::npos);
}

TEST(DevicePaths, HostPathsAreDeviceOrNative) {
  std::string why;
  auto device = ResolveHostPath(kRoot, "\\Docs\\a.txt", &why);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->root, kRoot);
  EXPECT_EQ(device->path, "Docs/a.txt");
  EXPECT_FALSE(ResolveHostPath(kRoot, "\\..\\a.txt", &why));

  for (std::string native : {"/tmp/x/../y.txt", "rel\\a.txt", "C:\\x"}) {
    auto location = ResolveHostPath(kRoot, native, &why);
    ASSERT_TRUE(location) << native;
    EXPECT_EQ(location->root, "");
    EXPECT_EQ(location->path, native);
  }
  EXPECT_FALSE(ResolveHostPath(kRoot, "", &why));
  EXPECT_FALSE(ResolveHostPath(kRoot, std::string("/tmp/a\0b", 8), &why));
}

TEST(DevicePaths, EmptyRootStillConfines) {
  std::string why;
  auto location = ResolveDevicePath("", "\\a.txt", &why);
  ASSERT_TRUE(location);
  EXPECT_FALSE(location->root.empty());
}

TEST(DeviceRoot, ConfiguredOrWorkingDirectory) {
  EXPECT_EQ(DeviceRoot(FixedEnvironment({{"TARVEL_ROOT", "/data/dev"}})), "/data/dev");
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(DeviceRoot(FixedEnvironment({})), cwd);
  EXPECT_EQ(DeviceRoot(FixedEnvironment({{"TARVEL_ROOT", ""}})), cwd);
}

}  // namespace
}  // namespace tarvel
