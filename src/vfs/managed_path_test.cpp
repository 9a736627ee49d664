#include "vfs/managed_path.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/host.h"

namespace zelm {
namespace {

std::string Drives(char drive) {
  if (drive == 'D') return "/srv/d";
  if (drive == 'E') return "/srv/e/";
  if (drive == 'R') return "/";
  return {};
}

TEST(ManagedPath, WindowsAndLinuxFormsMapToLinuxPaths) {
  const std::string me = GetComputerName();
  ASSERT_FALSE(me.empty());
  const std::string base = "/srv/ftp";
  const struct {
    std::string text;
    const char* mapped;  // nullptr: fails
  } cases[] = {
      {"/srv/ftp", "/srv/ftp"},
      {"/srv/ftp/", "/srv/ftp"},
      {"/srv/./ftp/../x//y", "/srv/x/y"},
      {"/..", "/"},
      {"D:\\ftp\\alice", "/srv/d/ftp/alice"},
      {"d:/ftp/alice/", "/srv/d/ftp/alice"},
      {"D:\\", "/srv/d"},
      {"D:", "/srv/d"},
      {"E:\\x", "/srv/e/x"},
      {"R:\\x", "/x"},
      {"D:\\a\\.\\b", "/srv/d/a/b"},
      {"D:\\..\\etc", nullptr},
      {"D:\\a\\..\\..\\etc", nullptr},
      {"C:\\ftp", nullptr},  // drive not mapped
      {"Dx\\ftp", "/srv/ftp/Dx/ftp"},
      {"D:ftp", nullptr},
      {"1:\\x", nullptr},
      {"\\\\" + me + "\\D$\\share", "/srv/d/share"},
      {"\\\\" + me + "\\D$", "/srv/d"},
      {"\\\\" + me + "\\data\\x", nullptr},  // a share that is no drive
      {"\\\\other-machine-name\\D$\\share", nullptr},
      {"file://host/C:/x", nullptr},
      {"alice", "/srv/ftp/alice"},
      {"users\\alice", "/srv/ftp/users/alice"},
      {"users/alice/", "/srv/ftp/users/alice"},
      {".\\alice", "/srv/ftp/alice"},
      {"..\\alice", nullptr},
      {"users\\..\\..\\x", nullptr},
      {".", nullptr},
      {"", nullptr},
      {"\\alice", nullptr},
      {std::string("a\0b", 3), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out = "untouched";
    const bool ok = MapManagedPath(c.text, Drives, base, out);
    if (c.mapped == nullptr) {
      EXPECT_FALSE(ok) << out;
    } else {
      EXPECT_TRUE(ok);
      EXPECT_EQ(out, c.mapped);
    }
  }
  std::string out;
  EXPECT_FALSE(MapManagedPath("alice", Drives, "", out));  // no base for names
  EXPECT_FALSE(MapManagedPath("D:\\x", nullptr, base, out));
}

}  // namespace
}  // namespace zelm
