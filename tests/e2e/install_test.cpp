// `cmake --install` of this build into a staging directory: the programs, the
// systemd units, the man pages and the sample files land where an
// administrator looks for them, and the units and pages name the paths that
// were actually installed, whatever the prefix.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace tornax {
namespace {

using test::read_file;

bool executable(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

// The value of the first line of `text` that starts with `key`.
std::string setting(const std::string &text, const std::string &key) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) {
      return line.substr(key.size());
    }
  }
  return "";
}

TEST(Install, PutsEverythingInPlaceAndNamesTheInstalledPaths) {
  test::TempDir dir;
  const std::string stage = dir.file("stage");
  const std::string prefix = "/opt/tornax";
  const std::string command = "DESTDIR='" + stage + "' cmake --install '" +
                              std::string(TORNAX_BINARY_DIR) + "' --prefix " + prefix + " >'" +
                              dir.file("log") + "' 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(dir.file("log"));
  const std::string root = stage + prefix;

  for (const char *program : {"/sbin/tornax", "/sbin/tornaxalert", "/bin/tornax-upssim",
                              "/share/doc/tornax/shutdown.sh"}) {
    EXPECT_TRUE(executable(root + program)) << program;
  }
  for (const char *file : {"/share/doc/tornax/tornax.conf", "/share/man/man8/tornax.8",
                           "/share/man/man8/tornaxalert.8", "/share/man/man5/tornax.conf.5"}) {
    EXPECT_TRUE(test::file_exists(root + file)) << file;
  }

  const std::string daemon_unit = read_file(root + "/lib/systemd/system/tornax.service");
  EXPECT_EQ(setting(daemon_unit, "ExecStart="), prefix + "/sbin/tornax");
  EXPECT_EQ(setting(daemon_unit, "Type="), "forking");
  EXPECT_EQ(setting(daemon_unit, "PIDFile="), "/usr/tornax/tornax.pid");
  EXPECT_EQ(setting(daemon_unit, "ExecReload="), "/bin/kill -HUP $MAINPID");
  const std::string client_unit = read_file(root + "/lib/systemd/system/tornaxalert@.service");
  EXPECT_EQ(setting(client_unit, "ExecStart="),
            prefix + "/sbin/tornaxalert $TORNAXALERT_OPTIONS %i $TORNAXALERT_PORT");

  const std::string page = read_file(root + "/share/man/man5/tornax.conf.5");
  EXPECT_NE(page.find(prefix + "/share/doc/tornax/tornax.conf"), std::string::npos);
  EXPECT_EQ(page.find("/usr/share/doc"), std::string::npos);
}

}  // namespace
}  // namespace tornax
