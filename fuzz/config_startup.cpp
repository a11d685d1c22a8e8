// Fuzzes the configuration reading at start-up: the input is the file a
// freshly started daemon reads. A reading that fails must say why and leave
// the process's settings as they were; one that passes must leave a sound
// configuration, which is then summarised and its schedule checked when it
// falls due.
#include <cstddef>
#include <cstdint>

#include "fuzz/config_harness.h"
#include "tests/support/settings_text.h"

using namespace tornax;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::set_up_config_harness();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // As main leaves them before the first reading.
  settings = Settings{};
  static const std::string fresh = test::settings_text(settings);
  if (const std::optional<ConfigFailure> failure = fuzz::read_config(data, size)) {
    fuzz::require(failure->exit_status == 1 || failure->exit_status == 2, "exit status 1 or 2");
    fuzz::require(test::settings_text(settings) == fresh, "a failed reading changes nothing");
    return 0;
  }
  fuzz::require_sound_settings(settings);
  fuzz::use_configuration(settings);
  return 0;
}
