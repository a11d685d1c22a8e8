#include "daemon/report/deferred_log.h"

#include <mutex>
#include <vector>

#include "daemon/report/logger.h"

namespace tornax {
namespace {

constexpr std::size_t most_waiting = 64;

struct Queue {
  std::mutex lock;
  std::vector<std::string> waiting;
  unsigned long dropped = 0;
};

// Never destroyed: detached network threads may queue until the very end.
Queue &queue() {
  static Queue *const instance = new Queue;
  return *instance;
}

}  // namespace

void log_later(std::string text) {
  Queue &q = queue();
  const std::lock_guard<std::mutex> guard(q.lock);
  if (q.waiting.size() >= most_waiting) {
    ++q.dropped;
    return;
  }
  q.waiting.push_back(std::move(text));
}

void write_deferred_log() {
  Queue &q = queue();
  std::vector<std::string> entries;
  unsigned long lost = 0;
  {
    const std::lock_guard<std::mutex> guard(q.lock);
    entries.swap(q.waiting);
    lost = q.dropped;
    q.dropped = 0;
  }
  for (const std::string &entry : entries) {
    writelog(entry.c_str());
  }
  if (lost != 0) {
    writelog(("Network messages not logged: " + std::to_string(lost)).c_str());
  }
}

}  // namespace tornax
