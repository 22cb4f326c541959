// Every market of a recording folded once, with what a summary of a market
// needs beyond its last book: how many books it had and when, when it first
// went in play, and its runners' values at the earlier books a summary looks
// back at. Those books are only known later (the last book before the first
// one in play, the last one before a time that the final definition sets),
// so their values are copied just before the book that settles them is
// applied, never kept for every book.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/load/message_loader.hpp"
#include "core/market/market_cache.hpp"
#include "core/market/market_set.hpp"
#include "core/market/records.hpp"

namespace marrowfin::market {

// A runner's values as one book showed them.
struct RunnerValues {
  RunnerKey key;
  std::optional<double> last_price_traded;
  std::optional<double> back_price;  // the best price of each side the book shows
  std::optional<double> lay_price;
  std::vector<PriceSizePair> traded;  // the traded ladder, lowest price first
  // The sums of the sizes of the starting-price lists, as sum() adds them.
  double back_stake_taken = 0.0;
  double lay_liability_taken = 0.0;
  friend bool operator==(const RunnerValues&, const RunnerValues&) = default;
};

// Fills `out` with the runner's values now.
void read_values(const RunnerCache& runner, RunnerValues& out);

// The runners of one book, in key order; not `taken` when there was no such
// book.
struct BookValues {
  bool taken = false;
  std::vector<RunnerValues> runners;
  // The runner of `key`, or nullptr (always when not taken).
  const RunnerValues* find(const RunnerKey& key) const noexcept;
  friend bool operator==(const BookValues&, const BookValues&) = default;
};

// What the fold noted of one market besides its final state.
struct MarketTrack {
  std::int64_t books = 0;
  std::int64_t first_publish_time = 0;
  std::int64_t last_publish_time = 0;
  std::optional<std::int64_t> off_time;     // publish time of its first book in play
  std::optional<std::int64_t> market_time;  // the last definition's, in ms (stream_time.hpp)
  // The last book before the first one in play; the closing book when the
  // market never went in play.
  BookValues pre_play;
  // The book at which the market last stopped being OPEN (the first book of
  // another status after an OPEN one, the last such change), else its last.
  BookValues closing;
  // Per offset: the last book, in file order, published at or before
  // market_time minus the offset (not taken without a market time).
  std::vector<BookValues> before;
};

class MarketFold {
 public:
  // `offsets`: milliseconds before each market's final market time.
  explicit MarketFold(std::vector<std::int64_t> offsets);
  MarketFold(const MarketFold&) = delete;
  MarketFold& operator=(const MarketFold&) = delete;

  // Folds the messages in order, markets as MarketSet applies them. Call once.
  void fold(std::span<const load::ParsedMessage> messages);

  // The same a chunk of messages at a time (load::stream_messages), then
  // finish() once. The final market times are not known ahead then: each
  // market's books before the offsets are followed from the market time
  // its latest definition sets. A time that moves so far that the book
  // wanted is one the fold has let go (an earlier one than the latest)
  // leaves the fold not exact(): the file is then fed again to a fold that
  // knows the final times (know_market_times), which is exact. Rare with
  // offsets of a minute or so, but not with offsets of an hour before a
  // race that was delayed.
  void feed(std::span<const load::ParsedMessage> messages);
  void finish();
  bool exact() const noexcept { return exact_; }
  // Before a fold is fed the file again: the final market times that the
  // fold `first` found feeding it, so that the books before the offsets are
  // followed from the start, as fold() follows them, and the fold is exact.
  void know_market_times(const MarketFold& first);

  // The markets in the order they were first named.
  std::size_t size() const noexcept { return markets_.size(); }
  // Its final state: what its last book shows.
  MarketCache& market(std::size_t index) noexcept { return markets_.market(index); }
  const MarketTrack& track(std::size_t index) const noexcept { return tracks_[index]; }

 private:
  enum class Cut : std::uint8_t {
    kNone,    // no book at or before the time yet
    kLive,    // the market's latest book is the one
    kFrozen,  // a later book passed the time: `before` holds the one
  };
  // The fold's own notes of a market, beside its track.
  struct Pending {
    bool open = false;          // its latest book's status was "OPEN"
    bool seen_in_play = false;
    bool candidate = false;     // pre_play holds the state before this message
    std::uint64_t seen_by = 0;  // the message whose changes were looked at last
    std::vector<std::int64_t> cutoffs;
    std::vector<Cut> cuts;
    // Per offset, fed a chunk at a time: an earlier book than the latest may
    // lie at or before its cutoff, and the fold no longer has it.
    std::vector<bool> lost;
    std::int64_t earliest_publish_time = std::numeric_limits<std::int64_t>::max();
  };

  // The final market time of each market, found before the fold: the time
  // before which the books to keep lie is known only at the end.
  void find_market_times(std::span<const load::ParsedMessage> messages);
  void run(std::span<const load::ParsedMessage> messages);
  void before_message(std::span<const json::Value> changes, std::int64_t publish_time);
  // Fed: the market time of a market with books becomes `time`; the books
  // before the offsets are followed anew from its latest book.
  void move_market_time(std::size_t index, std::optional<std::int64_t> time);
  void set_cutoffs(std::size_t index);
  void freeze_passed(std::size_t index, std::int64_t publish_time);
  void after_book(std::size_t index, std::int64_t publish_time);
  void take(MarketCache& market, BookValues& book);

  std::vector<std::int64_t> offsets_;
  MarketSet markets_;
  std::vector<MarketTrack> tracks_;
  std::vector<Pending> pending_;
  std::uint64_t serial_ = 0;
  bool exact_ = true;
  // Each market's final time by its id, when known: found before a whole
  // file's fold, or by a first feed (know_market_times).
  std::optional<std::unordered_map<std::string, std::optional<std::int64_t>>> known_times_;
  // Fed before the final times are known: the market times that this
  // message's changes set for markets it names first, the last of an id
  // counting; views of the message.
  std::vector<std::pair<std::string_view, std::string_view>> new_times_;
};

}  // namespace marrowfin::market
