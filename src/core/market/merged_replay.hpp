// Several recordings replayed as one: their messages merged by publish time,
// each recording folded into a MarketSet of its own, so that what a
// recording's markets go through does not depend on the others beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/load/message_loader.hpp"
#include "core/market/market_set.hpp"

namespace marrowfin::market {

class MergedReplay {
 public:
  // One message applied.
  struct Step {
    std::size_t recording = 0;  // index into the stores given
    std::size_t message = 0;    // index into that store's messages
    // The markets of the recording's set that the message touched, in the
    // order of its changes; valid until the next call to next().
    std::span<const MarketSet::Touched> touched;
  };

  // Takes the recordings' kept messages, in the order that breaks ties.
  explicit MergedReplay(std::vector<std::unique_ptr<load::MessageStore>> stores);
  MergedReplay(const MergedReplay&) = delete;
  MergedReplay& operator=(const MergedReplay&) = delete;

  // Applies the next message to its recording's set and describes it in
  // `step`; false, `step` untouched, once every message was applied. The
  // next message is the earliest (by publish time, a tie going to the lower
  // recording index) of each recording's first message not yet applied, so
  // every recording's own order is kept whatever its times.
  bool next(Step& step);

  std::size_t recordings() const noexcept { return stores_.size(); }
  MarketSet& markets(std::size_t recording) noexcept { return *sets_[recording]; }

 private:
  // A recording's next message, as the merge orders it.
  struct Head {
    std::int64_t publish_time;
    std::size_t recording;
    bool operator<(const Head& other) const noexcept {
      return publish_time != other.publish_time ? publish_time < other.publish_time
                                                : recording < other.recording;
    }
  };
  Head head_of(std::size_t recording) const noexcept {
    return {stores_[recording]->messages[next_[recording]].publish_time, recording};
  }
  bool exhausted(std::size_t recording) const noexcept {
    return next_[recording] == stores_[recording]->messages.size();
  }
  // Replaces the earliest waiting head by `head`, keeping the heap's order.
  void sift_down(Head head) noexcept;

  std::vector<std::unique_ptr<load::MessageStore>> stores_;
  std::vector<std::unique_ptr<MarketSet>> sets_;
  std::vector<std::size_t> next_;  // per recording, its first message not yet applied
  // The heads of the recordings with messages left, other than the current
  // one: a min-heap (the std heap functions with `later`), earliest in front.
  std::vector<Head> waiting_;
  std::size_t current_ = 0;
  bool has_current_ = false;
};

}  // namespace marrowfin::market
