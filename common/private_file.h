// The checks made before a file that holds a secret is read (the status
// stream's key in both programs, the network UPS server's private key in the
// daemon): it must be a regular file of the effective user that neither its
// group nor any other user can reach, or the secret is no longer one.
#ifndef TORNAX_COMMON_PRIVATE_FILE_H
#define TORNAX_COMMON_PRIVATE_FILE_H

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tornax {

// The permission bits of `mode` as the administrator types them ("0640").
std::string file_mode_text(mode_t mode);

// Opens `path` for reading once it has passed the checks. Returns the
// descriptor, or -1 with `error` set. Non-blocking, so a FIFO named by
// mistake can't hold the start: it is refused as not a regular file. A file
// that group or others can reach is refused with `reachable_before`, its
// mode and `reachable_after`, which say what the file holds.
int open_private_file(const char *path, std::string_view reachable_before,
                      std::string_view reachable_after, std::string &error);

}  // namespace tornax

#endif  // TORNAX_COMMON_PRIVATE_FILE_H
