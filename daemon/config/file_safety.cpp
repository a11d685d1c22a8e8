#include "daemon/config/file_safety.h"

#include "common/private_file.h"
#include "daemon/core/util.h"

namespace tornax {

std::optional<std::string> unsafe_reason(const struct stat &info) {
  if (info.st_uid != 0) {
    return "owned by user " + std::to_string(info.st_uid) + ", not root";
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "writable by group or others (mode " + file_mode_text(info.st_mode) + ")";
  }
  return std::nullopt;
}

std::optional<std::string> unsafe_reason(const char *path) {
  struct stat info {};
  if (stat(path, &info) != 0) {
    return std::nullopt;
  }
  return unsafe_reason(info);
}

std::string unsafe_file_message(const std::string &lead, const std::string &reason) {
  return lead + ": " + reason + "; it must be owned by root and not writable by group or others";
}

namespace {

std::optional<std::string> refusal(const char *path) {
  const std::optional<std::string> reason = unsafe_reason(path);
  if (!reason) {
    return std::nullopt;
  }
  return unsafe_file_message(std::string("Refusing ") + path, *reason);
}

}  // namespace

std::optional<std::string> unsafe_configuration() {
  // An empty home puts the files directly under the root directory.
  const char *home = dir_prefix[0] != '\0' ? dir_prefix : "/";
  if (std::optional<std::string> message = refusal(home)) {
    return message;
  }
  return refusal(config_filename);
}

std::optional<std::string> unsafe_shutdown_script() {
  return refusal(shutdown_script_filename);
}

}  // namespace tornax
