#pragma once
// The recent history of a growing counter as a rate: a fixed ring of equal time slots (an hour of
// 10 s slots by default), fed with the counter's total whenever the owner samples it. Memory is
// fixed at construction; a sample costs one division. A slot the owner never sampled (the loop was
// busy, or the service was paused) takes its share of the next sample, so no count is lost and no
// slot shows more than happened.
//
// Not thread-safe: sampled and read on the service's thread.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace vantor {

class RateRing {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RateRing(std::chrono::seconds slot = std::chrono::seconds(10), std::size_t slots = 360)
      : slot_(slot), counts_(slots, 0) {}

  // Records the counter's `total` at `now`. The first call only sets the starting point.
  void Sample(Clock::time_point now, std::uint64_t total) {
    if (!started_) {
      started_ = true;
      slotStart_ = now;
      lastTotal_ = total;
      return;
    }
    pending_ += total - lastTotal_;
    lastTotal_ = total;
    const auto elapsed = (now - slotStart_) / slot_;
    if (elapsed <= 0) return;
    // Spread what arrived over the slots that ended since the last sample (at most the ring).
    const auto ended = static_cast<std::uint64_t>(elapsed);
    const std::uint64_t spread = std::min<std::uint64_t>(ended, counts_.size());
    for (std::uint64_t i = 0; i < spread; ++i) {
      next_ = (next_ + 1) % counts_.size();
      counts_[next_] = pending_ / spread + (i < pending_ % spread ? 1 : 0);
    }
    filled_ = std::min(filled_ + spread, counts_.size());
    pending_ = 0;
    slotStart_ += slot_ * ended;
  }

  // Events per second of each ended slot, oldest first; at most the ring's size.
  std::vector<double> PerSecond() const {
    std::vector<double> rates;
    rates.reserve(filled_);
    const double seconds = std::chrono::duration<double>(slot_).count();
    for (std::size_t i = filled_; i > 0; --i)
      rates.push_back(static_cast<double>(counts_[(next_ + counts_.size() + 1 - i) % counts_.size()]) / seconds);
    return rates;
  }

  std::chrono::seconds slot() const { return slot_; }

 private:
  std::chrono::seconds slot_;
  std::vector<std::uint64_t> counts_;
  std::size_t next_ = 0;    // the newest ended slot
  std::size_t filled_ = 0;  // slots that hold a figure
  bool started_ = false;
  Clock::time_point slotStart_{};
  std::uint64_t lastTotal_ = 0;
  std::uint64_t pending_ = 0;  // counted since the current slot began
};

}  // namespace vantor
