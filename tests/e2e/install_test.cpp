// `cmake --install` of this build into a staging directory: the programs, the
// systemd units, the man pages and the sample files land where an
// administrator looks for them, and the units and pages name the paths that
// were actually installed, whatever the prefix.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/kit/files.h"
#include "tests/support/sandbox_run.h"

namespace tornax {
namespace {

using test::read_file;

// The first file named `name` below `root`; empty when there is none.
std::string find_installed(const std::string &root, const std::string &name) {
  for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().filename() == name) {
      return entry.path().string();
    }
  }
  return "";
}

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

  for (const char *program :
       {"/sbin/tornax", "/sbin/tornax-drill", "/sbin/tornaxalert", "/bin/tornax-upssim",
        "/share/doc/tornax/shutdown.sh", "/lib/tornax/sandbox", "/share/doc/tornax/hooks/mail",
        "/share/doc/tornax/hooks/webhook", "/share/doc/tornax/hooks/push"}) {
    EXPECT_TRUE(executable(root + program)) << program;
  }
  for (const char *file : {"/share/doc/tornax/tornax.conf", "/share/man/man8/tornax.8",
                           "/share/man/man8/tornaxalert.8", "/share/man/man5/tornax.conf.5",
                           "/share/man/man1/tornax-upssim.1", "/share/man/man8/tornax-drill.8"}) {
    EXPECT_TRUE(test::file_exists(root + file)) << file;
  }

  const std::string daemon_unit = read_file(root + "/lib/systemd/system/tornax.service");
  EXPECT_EQ(setting(daemon_unit, "ExecStart="), prefix + "/sbin/tornax -f");
  EXPECT_EQ(setting(daemon_unit, "Type="), "notify");
  EXPECT_NE(setting(daemon_unit, "WatchdogSec="), "");
  EXPECT_EQ(setting(daemon_unit, "Restart="), "on-failure");
  EXPECT_EQ(setting(daemon_unit, "ExecReload="), prefix + "/sbin/tornax -t");
  const std::string client_unit = read_file(root + "/lib/systemd/system/tornaxalert@.service");
  EXPECT_EQ(setting(client_unit, "ExecStart="),
            prefix + "/sbin/tornaxalert $TORNAXALERT_OPTIONS %i $TORNAXALERT_PORT");

  // The drill rehearses the daemon's own default home (its usage says so;
  // asked in the sandbox, like every run of the programs).
  test::SandboxRun drill({root + "/sbin/tornax-drill", "--help"}, {}, dir.file("record"));
  ASSERT_EQ(drill.wait(), 0) << drill.stderr_text();
  EXPECT_NE(drill.stdout_text().find("(default: $TORNAXHOME, else " TORNAX_DEFAULT_HOME ")"),
            std::string::npos)
      << drill.stdout_text();

  const std::string page = read_file(root + "/share/man/man5/tornax.conf.5");
  EXPECT_NE(page.find(prefix + "/share/doc/tornax/tornax.conf"), std::string::npos);
  EXPECT_EQ(page.find("/usr/share/doc"), std::string::npos);
}

// The drill above records into a folder nobody made. One that can't be made
// (below a plain file) fails the test instead of losing the program's output.
TEST(Install, SandboxRecordFolderThatCannotBeMadeFailsTheTest) {
  test::TempDir dir;
  const std::string file = dir.write("plain", "");
  EXPECT_THROW(test::SandboxRun({"/bin/true"}, {}, file + "/record"), std::runtime_error);
}

// The shutdown unmounts every file system. In a mount namespace of its own
// the service would unmount only its private view and leave the host's file
// systems mounted at the halt: no setting of the installed unit may make one.
TEST(Install, DaemonUnitKeepsTheHostsMountNamespace) {
  // Settings that give the service a mount namespace of its own, or that
  // come with one (systemd.exec(5)).
  const std::string private_mounts =
      " PrivateTmp PrivateDevices PrivateMounts PrivateNetwork PrivateUsers PrivateIPC"
      " ProtectSystem ProtectHome ProtectKernelTunables ProtectKernelModules ProtectKernelLogs"
      " ProtectControlGroups ProtectProc ProcSubset ReadWritePaths ReadOnlyPaths"
      " InaccessiblePaths ExecPaths NoExecPaths TemporaryFileSystem BindPaths BindReadOnlyPaths"
      " RootDirectory RootImage MountImages ExtensionImages ExtensionDirectories MountAPIVFS"
      " DynamicUser NetworkNamespacePath ReadWriteDirectories ReadOnlyDirectories"
      " InaccessibleDirectories MountFlags ";
  test::TempDir dir;
  const std::string command = "DESTDIR='" + dir.path() + "' cmake --install '" +
                              std::string(TORNAX_BINARY_DIR) + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string unit = find_installed(dir.path(), "tornax.service");
  ASSERT_NE(unit, "");
  std::istringstream in(read_file(unit));
  for (std::string line; std::getline(in, line);) {
    const std::string key = line.substr(0, line.find('='));
    EXPECT_EQ(private_mounts.find(" " + key + " "), std::string::npos) << unit << ": " << line;
  }
}

// systemd's own check of both units, with the programs they start pointed
// at this build (the installed paths need not exist here).
TEST(Install, UnitsPassSystemdAnalyzeVerify) {
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  test::TempDir dir;
  for (const char *unit : {"tornax.service", "tornaxalert@.service"}) {
    std::string text = read_file(std::string(TORNAX_SOURCE_DIR) + "/packaging/systemd/" + unit);
    for (const char *program : {"tornaxalert", "tornax"}) {
      const std::string installed = std::string("/usr/sbin/") + program + " ";
      for (std::size_t at; (at = text.find(installed)) != std::string::npos;) {
        text.replace(at, installed.size(), std::string(TORNAX_BINARY_DIR) + "/" + program + " ");
      }
    }
    dir.write(unit, text);
  }
  const std::string command = "systemd-analyze verify --man=no '" + dir.file("tornax.service") +
                              "' '" + dir.file("tornaxalert@.service") + "' >'" + dir.file("out") +
                              "' 2>&1";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(dir.file("out"));
  EXPECT_EQ(read_file(dir.file("out")), "");
}

}  // namespace
}  // namespace tornax
