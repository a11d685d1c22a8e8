// Fuzzes the configuration reload over a configuration in force. The input
// is the file read at start-up, a NUL byte, then the file the reload reads;
// an input without a NUL byte, or whose first file does not load, is
// reloaded over the sample configuration. A reload that fails must leave
// every setting as it was; one that passes must leave a sound configuration.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/config_harness.h"
#include "tests/support/settings_text.h"

using namespace tornax;

namespace {

Settings sample;

// The sample configuration shipped with the daemon, as it loads.
void load_sample() {
  const char *path = TORNAX_SOURCE_DIR "/packaging/tornax.conf";
  std::ifstream file(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  fuzz::require(file.good() || file.eof(), "the sample configuration can be read");
  settings = Settings{};
  const auto *bytes = reinterpret_cast<const std::uint8_t *>(text.data());
  fuzz::require(!fuzz::read_config(bytes, text.size()), "the sample configuration loads");
  sample = settings;
}

// Puts the first file's configuration in force, or the sample's.
void start_with(const std::uint8_t *data, std::size_t size) {
  settings = Settings{};
  if (fuzz::read_config(data, size)) {
    settings = sample;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::set_up_config_harness();
  load_sample();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const auto *nul =
      size == 0 ? nullptr : static_cast<const std::uint8_t *>(std::memchr(data, 0, size));
  if (nul == nullptr) {
    settings = sample;
  } else {
    start_with(data, static_cast<std::size_t>(nul - data));
    size -= static_cast<std::size_t>(nul + 1 - data);
    data = nul + 1;
  }
  const std::string before = test::settings_text(settings);
  fuzz::config_file().fill(data, size);
  if (!config_reload()) {
    fuzz::require(test::settings_text(settings) == before, "a failed reload changes nothing");
    return 0;
  }
  fuzz::require_sound_settings(settings);
  fuzz::use_configuration(settings);
  return 0;
}
