// A home directory for a real daemon run: its configuration, its log, its pid
// file, and a recording wall command; and the start of the daemon inside the
// sandbox, under the subreaper so that its own exit status is seen.
#ifndef TORNAX_TESTS_SUPPORT_DAEMON_HOME_H
#define TORNAX_TESTS_SUPPORT_DAEMON_HOME_H

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/kit/files.h"
#include "tests/support/sandbox_run.h"

namespace tornax::test {

class DaemonHome {
 public:
  // The sixteen required alert and log statements (every event logged, every
  // alert to all users once), WALLPATH to a command that appends what it reads
  // to wall.out, UPS_DEVICE, then `extra` (a later statement overrides).
  std::string configuration(const std::string &ups_device, const std::string &extra = "") const;
  // Writes configuration() as tornax.conf.
  void configure(const std::string &ups_device, const std::string &extra = "") const;

  const std::string &path() const { return dir.path(); }
  std::string file(const std::string &name) const { return dir.file(name); }
  std::string log() const { return read_file(file("tornax.log")); }
  std::string wall() const { return read_file(file("wall.out")); }
  std::string pid_file() const { return file("tornax.pid"); }
  // How the daemon's descendants ended, as the subreaper recorded it.
  std::string exits() const { return read_file(file("exits")); }

  // Starts `argv` (default: the daemon alone) in the sandbox, under the
  // subreaper, with TORNAXHOME set to this home.
  std::unique_ptr<SandboxRun> start(const std::vector<std::string> &argv = {},
                                    const std::vector<std::string> &env = {}) const;

  TempDir dir;
  TempDir records;
};

// Whether the log holds `text`.
bool log_has(const DaemonHome &home, const std::string &text);
// Waits until the log holds `text`; false when `limit` passed first.
bool wait_for_log(const DaemonHome &home, const std::string &text,
                  std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_DAEMON_HOME_H
