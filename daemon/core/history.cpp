#include "daemon/core/history.h"

namespace tornax {

void History::add(std::time_t now, const std::optional<HistoryReading> &reading, bool on_battery) {
  if (open_ && now - open_->start >= history_interval_seconds) {
    auto closed = closed_ ? std::make_shared<std::vector<HistorySample>>(*closed_)
                          : std::make_shared<std::vector<HistorySample>>();
    closed->push_back(*open_);
    if (closed->size() >= history_capacity) {
      closed->erase(closed->begin(), closed->begin() + (closed->size() - history_capacity + 1));
    }
    closed_ = std::move(closed);
    open_.reset();
  }
  if (!open_) {
    open_ = HistorySample{now, now, std::nullopt, false, false};
  }
  open_->last = now;
  if (reading) {
    open_->reading = reading;
  }
  open_->on_battery = open_->on_battery || on_battery;
  open_->silent = open_->silent || !reading;
}

std::vector<HistorySample> History::samples() const {
  std::vector<HistorySample> all;
  if (closed_) {
    all = *closed_;
  }
  if (open_) {
    all.push_back(*open_);
  }
  return all;
}

}  // namespace tornax
