// A Notifier fake that keeps every message it is given, in order.
#ifndef TORNAX_TESTS_SUPPORT_RECORDING_NOTIFIER_H
#define TORNAX_TESTS_SUPPORT_RECORDING_NOTIFIER_H

#include <string>
#include <vector>

#include "daemon/report/notify.h"

namespace tornax::test {

class RecordingNotifier final : public Notifier {
 public:
  std::vector<std::string> messages;
  void notify(const std::string &message) override { messages.push_back(message); }
};

}  // namespace tornax::test

#endif  // TORNAX_TESTS_SUPPORT_RECORDING_NOTIFIER_H
