#include "daemon/config/file_safety.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "daemon/core/util.h"
#include "tests/kit/files.h"

namespace tornax {
namespace {

TEST(UnsafeReasonTest, OnlyRootMayOwnAndWrite) {
  struct Case {
    uid_t uid;
    mode_t mode;
    std::optional<std::string> reason;
  };
  const Case cases[] = {
      {0, S_IFREG | 0644, std::nullopt},
      {0, S_IFREG | 0755, std::nullopt},
      {0, S_IFDIR | 0700, std::nullopt},
      {0, S_IFREG | 04755, std::nullopt},
      {1000, S_IFREG | 0644, "owned by user 1000, not root"},
      {65534, S_IFREG | 0600, "owned by user 65534, not root"},
      {0, S_IFREG | 0664, "writable by group or others (mode 0664)"},
      {0, S_IFREG | 0646, "writable by group or others (mode 0646)"},
      {0, S_IFDIR | 01777, "writable by group or others (mode 1777)"},
  };
  for (const Case &c : cases) {
    struct stat info {};
    info.st_uid = c.uid;
    info.st_mode = c.mode;
    EXPECT_EQ(unsafe_reason(info), c.reason) << c.uid << " " << std::oct << c.mode;
  }
}

// The home, the configuration and the script, each made unsafe in turn by
// its owner or its mode; the refusal names the first unsafe one.
TEST(UnsafeFilesTest, NamesTheUnsafeFile) {
  test::TempDir home;
  std::snprintf(dir_prefix, sizeof dir_prefix, "%s", home.path().c_str());
  const std::string config = home.write("tornax.conf", "");
  const std::string script = home.write("shutdown.sh", "#!/bin/sh\n", 0755);
  std::snprintf(config_filename, sizeof config_filename, "%s", config.c_str());
  std::snprintf(shutdown_script_filename, sizeof shutdown_script_filename, "%s", script.c_str());
  EXPECT_EQ(unsafe_configuration(), std::nullopt);
  EXPECT_EQ(unsafe_shutdown_script(), std::nullopt);
  if (chown(config.c_str(), 1000, 0) != 0) {
    GTEST_SKIP() << "needs root to give files away";
  }
  chown(config.c_str(), 0, 0);

  const std::string rule = "; it must be owned by root and not writable by group or others";
  struct Case {
    std::string path;
    bool by_owner;
    std::optional<std::string> (*check)();
    std::string reason;
  };
  const Case cases[] = {
      {home.path(), false, unsafe_configuration, "writable by group or others (mode 0720)"},
      {home.path(), true, unsafe_configuration, "owned by user 1000, not root"},
      {config, false, unsafe_configuration, "writable by group or others (mode 0664)"},
      {config, true, unsafe_configuration, "owned by user 1000, not root"},
      {script, false, unsafe_shutdown_script, "writable by group or others (mode 0775)"},
      {script, true, unsafe_shutdown_script, "owned by user 1000, not root"},
  };
  for (const Case &c : cases) {
    struct stat before {};
    ASSERT_EQ(stat(c.path.c_str(), &before), 0);
    if (c.by_owner) {
      ASSERT_EQ(chown(c.path.c_str(), 1000, 0), 0);
    } else {
      ASSERT_EQ(chmod(c.path.c_str(), (before.st_mode & 0777) | 0020), 0);
    }
    EXPECT_EQ(c.check(), "Refusing " + c.path + ": " + c.reason + rule);
    chown(c.path.c_str(), 0, 0);
    chmod(c.path.c_str(), before.st_mode & 07777);
  }
}

}  // namespace
}  // namespace tornax
