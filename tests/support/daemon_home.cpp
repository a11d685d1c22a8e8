#include "tests/support/daemon_home.h"

namespace tornax::test {
namespace {

const char *const event_stems[] = {"POWERFAIL",  "POWERRETURN",  "LOWBATT",       "POWERFAIL_DOWN",
                                   "COMM_ERROR", "COMM_CONNECT", "SCHEDULE_DOWN", "OVERLOAD"};

}  // namespace

std::string DaemonHome::configuration(const std::string &ups_device,
                                      const std::string &extra) const {
  std::string text = "# written by the tests\n";
  for (const char *stem : event_stems) {
    text += std::string(stem) + "_ALERT 0 all \"" + stem + " alert\"\n";
    text += std::string(stem) + "_LOG yes\n";
  }
  text += "WALLPATH \"cat >> " + file("wall.out") + "\"\n";
  text += "UPS_DEVICE " + ups_device + "\n";
  return text + extra;
}

void DaemonHome::configure(const std::string &ups_device, const std::string &extra) const {
  dir.write("tornax.conf", configuration(ups_device, extra));
}

std::unique_ptr<SandboxRun> DaemonHome::start(const std::vector<std::string> &argv,
                                              const std::vector<std::string> &env) const {
  std::vector<std::string> command = {built_program("tornax-test-subreaper"), file("exits")};
  if (argv.empty()) {
    command.push_back(built_program("tornax"));
  } else {
    command.insert(command.end(), argv.begin(), argv.end());
  }
  std::vector<std::string> environment = {"TORNAXHOME=" + path()};
  environment.insert(environment.end(), env.begin(), env.end());
  return std::make_unique<SandboxRun>(command, environment, records.path());
}

bool log_has(const DaemonHome &home, const std::string &text) {
  return home.log().find(text) != std::string::npos;
}

bool wait_for_log(const DaemonHome &home, const std::string &text,
                  std::chrono::milliseconds limit) {
  return wait_until([&] { return log_has(home, text); }, limit);
}

}  // namespace tornax::test
