#include "daemon/core/error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "daemon/report/logger.h"
#include "tornax.h"

namespace tornax {
namespace {

__attribute__((format(printf, 1, 0))) std::string vformat(const char *format, va_list arguments) {
  va_list measuring;
  va_copy(measuring, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  if (length <= 0) {
    return {};
  }
  std::string text(static_cast<std::size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, arguments);
  return text;
}

void warn_text(const std::string &text) {
  std::fprintf(stderr, "%s : %s\n", program_title, text.c_str());
  std::fflush(stderr);
}

}  // namespace

std::string format_text(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = vformat(format, arguments);
  va_end(arguments);
  return text;
}

void tornax_warn(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  warn_text(vformat(format, arguments));
  va_end(arguments);
}

void tornax_warn_and_log(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const std::string text = vformat(format, arguments);
  va_end(arguments);
  warn_text(text);
  writelog(text.c_str());
}

void tornax_error(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  warn_text(vformat(format, arguments));
  va_end(arguments);
  warn_text("Exit");
  std::exit(1);
}

}  // namespace tornax
