#include "core/market/merged_replay.hpp"

#include <algorithm>
#include <utility>

namespace marrowfin::market {
namespace {

// The order of std::push_heap that keeps the earliest head in front.
template <class H>
bool later(const H& a, const H& b) noexcept {
  return b < a;
}

}  // namespace

MergedReplay::MergedReplay(std::vector<std::unique_ptr<load::MessageStore>> stores)
    : stores_(std::move(stores)), next_(stores_.size(), 0) {
  sets_.reserve(stores_.size());
  for (std::size_t recording = 0; recording < stores_.size(); ++recording) {
    sets_.push_back(std::make_unique<MarketSet>());
    if (!exhausted(recording)) waiting_.push_back(head_of(recording));
  }
  std::make_heap(waiting_.begin(), waiting_.end(), later<Head>);
}

void MergedReplay::sift_down(Head head) noexcept {
  const std::size_t size = waiting_.size();
  std::size_t hole = 0;
  for (std::size_t child = 1; child < size; child = 2 * hole + 1) {
    if (child + 1 < size && waiting_[child + 1] < waiting_[child]) ++child;
    if (!(waiting_[child] < head)) break;
    waiting_[hole] = waiting_[child];
    hole = child;
  }
  waiting_[hole] = head;
}

bool MergedReplay::next(Step& step) {
  // The current recording goes on while its next message comes before every
  // waiting one: recordings of different hours, or a burst of one market,
  // take no heap operation per message.
  if (has_current_) {
    if (exhausted(current_)) {
      has_current_ = false;
    } else if (!waiting_.empty() && waiting_.front() < head_of(current_)) {
      // The earliest waiting recording takes over and the current one waits
      // in its place: one sift down rather than a push and a pop.
      Head head = head_of(current_);
      current_ = waiting_.front().recording;
      sift_down(head);
    }
  }
  if (!has_current_) {
    if (waiting_.empty()) return false;
    std::pop_heap(waiting_.begin(), waiting_.end(), later<Head>);
    current_ = waiting_.back().recording;
    waiting_.pop_back();
    has_current_ = true;
  }
  const auto& messages = stores_[current_]->messages;
  // Moved on first: a message whose fold fails is not applied twice.
  const std::size_t index = next_[current_]++;
  load::prefetch_after(messages, index);
  // When the recordings interleave, the next message is as often the
  // earliest waiting one's, which its own recording's prefetch never reached.
  if (!waiting_.empty()) {
    const std::size_t other = waiting_.front().recording;
    std::span<const json::Value> changes = stores_[other]->messages[next_[other]].market_changes;
    if (!changes.empty()) util::prefetch(changes.front().members().data());
  }
  const load::ParsedMessage& message = messages[index];
  step.recording = current_;
  step.message = index;
  step.touched = sets_[current_]->apply(message.market_changes, message.publish_time);
  return true;
}

}  // namespace marrowfin::market
