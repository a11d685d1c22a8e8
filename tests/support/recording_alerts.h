// An AlertActions fake for the client's tests: records every alert and every
// shutdown command as one text line and sends or runs nothing.
#ifndef TORNAX_TESTS_SUPPORT_RECORDING_ALERTS_H
#define TORNAX_TESTS_SUPPORT_RECORDING_ALERTS_H

#include <string>
#include <vector>

#include "client/reactions.h"

namespace tornax::test {

class RecordingAlerts final : public AlertActions {
 public:
  // "alert <who> <message>" and "run <command>", in order.
  std::vector<std::string> lines;

  void alert(int who, const char *message) override {
    lines.push_back("alert " + std::to_string(who) + " " + message);
  }
  void run_shutdown(const std::string &command) override { lines.push_back("run " + command); }
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_RECORDING_ALERTS_H
