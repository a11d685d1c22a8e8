#include "daemon/error.h"

#include <cstdio>
#include <cstdlib>

#include "tornax.h"

namespace tornax {

void tornax_warn(const char *text) {
  std::fprintf(stderr, "%s : %s\n", program_title, text);
  std::fflush(stderr);
}

void tornax_error(const char *text) {
  tornax_warn(text);
  tornax_warn("Exit");
  std::exit(1);
}

}  // namespace tornax
