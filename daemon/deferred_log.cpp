#include "daemon/deferred_log.h"

#include <mutex>
#include <vector>

#include "daemon/logger.h"

namespace tornax {
namespace {

constexpr std::size_t most_waiting = 64;

std::mutex queue_lock;
std::vector<std::string> waiting;
unsigned long dropped = 0;

}  // namespace

void log_later(std::string text) {
  const std::lock_guard<std::mutex> guard(queue_lock);
  if (waiting.size() >= most_waiting) {
    ++dropped;
    return;
  }
  waiting.push_back(std::move(text));
}

void write_deferred_log() {
  std::vector<std::string> entries;
  unsigned long lost = 0;
  {
    const std::lock_guard<std::mutex> guard(queue_lock);
    entries.swap(waiting);
    lost = dropped;
    dropped = 0;
  }
  for (const std::string &entry : entries) {
    writelog(entry.c_str());
  }
  if (lost != 0) {
    writelog(("Network messages not logged: " + std::to_string(lost)).c_str());
  }
}

}  // namespace tornax
