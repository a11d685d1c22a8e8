// tornax-drill: rehearses a power failure on an administrator's own
// configuration, inside the sandbox. Reads the options and runs one drill.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "drill/drill.h"
#include "drill/text.h"

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  using namespace tornax::drill;
  std::string error;
  const std::optional<DrillOptions> options = parse_options(argc, argv, &error);
  if (!options) {
    if (error.rfind("unknown option", 0) == 0) {
      std::fputs(usage_text().c_str(), stderr);
    }
    std::fprintf(stderr, "tornax-drill: %s\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }
  install_signal_handlers();
  auto drill = std::make_unique<Drill>(*options);
  try {
    return drill->run();
  } catch (const Failure &failure) {
    if (failure.status == 130) {
      std::fprintf(stderr, "\ntornax-drill: %s\n", failure.what());
    } else if (failure.to_stderr) {
      std::fprintf(stderr, "tornax-drill: %s\n", failure.what());
    }
    std::fflush(stdout);
    drill.reset();  // stops what it started, after saying why
    return failure.status;
  } catch (const std::exception &failure) {
    std::fprintf(stderr, "tornax-drill: %s\n", failure.what());
    return 2;
  }
}
