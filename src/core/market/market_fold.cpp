#include "core/market/market_fold.hpp"

#include <algorithm>

#include "core/market/stream_time.hpp"
#include "core/util/float_sum.hpp"

namespace marrowfin::market {
namespace {

double sum_of_sizes(std::span<const PriceSizePair> levels) noexcept {
  util::FloatSum sum;
  for (const PriceSizePair& level : levels) sum.add(level.size);
  return sum.value();
}

std::optional<double> best_price(const ShownLadder& shown) noexcept {
  std::span<const PriceSizePair> levels = shown.levels();
  return levels.empty() ? std::nullopt : std::optional<double>(levels.front().price);
}

// Whether applying `change` may turn its market in play: only an "inPlay"
// member, of the change or of its definition, sets the flag.
bool may_turn_in_play(const json::Value& change) noexcept {
  if (change.find(json::Key::kInPlay) != nullptr) return true;
  const json::Value* definition = change.find(json::Key::kMarketDefinition);
  return definition != nullptr && definition->find(json::Key::kInPlay) != nullptr;
}

// The market time a change's definition sets, when it is a text: as the
// cache reads it, a text or nothing.
std::optional<std::string_view> definition_market_time(const json::Value& change) noexcept {
  const json::Value* definition = change.find(json::Key::kMarketDefinition);
  const json::Value* time = definition != nullptr ? definition->find(json::Key::kMarketTime) : nullptr;
  return time != nullptr ? time->as_string() : std::nullopt;
}

}  // namespace

void read_values(const RunnerCache& runner, RunnerValues& out) {
  out.key = {runner.selection_id, handicap_key(runner.handicap)};
  out.last_price_traded = runner.last_price_traded;
  out.back_price = best_price(runner.shown(Side::kBack));
  out.lay_price = best_price(runner.shown(Side::kLay));
  std::span<const PriceSizePair> traded = runner.traded_volume.levels();
  out.traded.assign(traded.begin(), traded.end());
  // As a book shows them: the back stake from "spl", the lay liability from "spb".
  out.back_stake_taken = sum_of_sizes(runner.sp_lay.levels());
  out.lay_liability_taken = sum_of_sizes(runner.sp_back.levels());
}

const RunnerValues* BookValues::find(const RunnerKey& key) const noexcept {
  if (!taken) return nullptr;
  auto found = std::lower_bound(runners.begin(), runners.end(), key,
                                [](const RunnerValues& r, const RunnerKey& k) { return r.key < k; });
  return found != runners.end() && found->key == key ? &*found : nullptr;
}

MarketFold::MarketFold(std::vector<std::int64_t> offsets) : offsets_(std::move(offsets)) {}

void MarketFold::find_market_times(std::span<const load::ParsedMessage> messages) {
  std::unordered_map<std::string_view, std::string_view> texts;  // views of the messages
  std::optional<std::string_view> first;
  for (const load::ParsedMessage& message : messages) {
    for (const json::Value& change : message.market_changes) {
      std::optional<std::string_view> id = market_id_of(change);
      if (id && !first) first = id;
      if (!id && !first) continue;  // goes to no market
      if (std::optional<std::string_view> text = definition_market_time(change)) {
        texts[id ? *id : *first] = *text;
      }
    }
  }
  known_times_.emplace();
  for (const auto& [id, text] : texts) known_times_->emplace(id, definition_time_milliseconds(text));
}

void MarketFold::take(MarketCache& market, BookValues& book) {
  std::span<RunnerCache* const> runners = market.sorted_runners();
  book.taken = true;
  book.runners.resize(runners.size());  // keeps the ladders' room of an earlier copy
  for (std::size_t i = 0; i < runners.size(); ++i) read_values(*runners[i], book.runners[i]);
}

void MarketFold::set_cutoffs(std::size_t index) {
  MarketTrack& track = tracks_[index];
  Pending& pending = pending_[index];
  pending.cutoffs.clear();
  if (track.market_time) {
    for (std::int64_t offset : offsets_) pending.cutoffs.push_back(*track.market_time - offset);
  }
  pending.cuts.assign(offsets_.size(), Cut::kNone);
  pending.lost.assign(offsets_.size(), false);
  for (BookValues& book : track.before) {
    book.taken = false;
    book.runners.clear();  // a cut followed anew has no book yet
  }
}

void MarketFold::move_market_time(std::size_t index, std::optional<std::int64_t> time) {
  MarketTrack& track = tracks_[index];
  Pending& pending = pending_[index];
  track.market_time = time;
  set_cutoffs(index);
  for (std::size_t i = 0; i < pending.cutoffs.size(); ++i) {
    if (track.last_publish_time <= pending.cutoffs[i]) {
      pending.cuts[i] = Cut::kLive;  // the last book at or before it so far
    } else {
      pending.lost[i] = pending.earliest_publish_time <= pending.cutoffs[i];
    }
  }
}

void MarketFold::freeze_passed(std::size_t index, std::int64_t publish_time) {
  Pending& pending = pending_[index];
  // This book is past the time: the latest one was the last before it.
  for (std::size_t i = 0; i < pending.cutoffs.size(); ++i) {
    if (pending.cuts[i] == Cut::kLive && publish_time > pending.cutoffs[i]) {
      take(markets_.market(index), tracks_[index].before[i]);
      pending.cuts[i] = Cut::kFrozen;
    }
  }
}

void MarketFold::before_message(std::span<const json::Value> changes, std::int64_t publish_time) {
  ++serial_;
  new_times_.clear();
  std::optional<std::string_view> first_here;  // of a message naming the file's first market
  for (const json::Value& change : changes) {
    std::optional<std::size_t> index = markets_.market_of(change);
    // Followed as they come only while the final ones are not known.
    std::optional<std::string_view> time = known_times_ ? std::nullopt : definition_market_time(change);
    if (!index) {  // a new market has no book to keep yet
      std::optional<std::string_view> id = market_id_of(change);
      if (id && markets_.size() == 0 && !first_here) first_here = id;
      if (!id) id = first_here;  // goes where MarketSet::apply gives it
      if (time && id) new_times_.emplace_back(*id, *time);
      continue;
    }
    Pending& pending = pending_[*index];
    MarketTrack& track = tracks_[*index];
    bool moved = false;
    if (time) {
      std::optional<std::int64_t> milliseconds = definition_time_milliseconds(*time);
      if (milliseconds != track.market_time) {
        move_market_time(*index, milliseconds);
        moved = true;
      }
    }
    if (pending.seen_by != serial_ || moved) {
      pending.seen_by = serial_;
      freeze_passed(*index, publish_time);
    }
    if (!pending.seen_in_play && !pending.candidate && may_turn_in_play(change)) {
      take(markets_.market(*index), track.pre_play);
      pending.candidate = true;
    }
  }
}

void MarketFold::after_book(std::size_t index, std::int64_t publish_time) {
  if (index >= tracks_.size()) {  // first named by this message
    tracks_.resize(index + 1);
    pending_.resize(index + 1);
    MarketTrack& track = tracks_[index];
    track.before.resize(offsets_.size());
    const std::string& id = markets_.market(index).market_id;
    std::optional<std::string_view> time;
    if (known_times_) {
      if (auto found = known_times_->find(id); found != known_times_->end()) {
        track.market_time = found->second;
      }
    } else {
      for (const auto& [named, text] : new_times_) {
        if (named == id) time = text;
      }
    }
    if (time) track.market_time = definition_time_milliseconds(*time);
    set_cutoffs(index);
  }
  MarketTrack& track = tracks_[index];
  Pending& pending = pending_[index];
  MarketCache& market = markets_.market(index);
  if (++track.books == 1) track.first_publish_time = publish_time;
  track.last_publish_time = publish_time;
  pending.earliest_publish_time = std::min(pending.earliest_publish_time, publish_time);

  if (!pending.seen_in_play && market.in_play) {
    pending.seen_in_play = true;
    track.off_time = publish_time;
    // The copy made before this book is the pre-play book's; a market in
    // play from its first book has none.
    if (!pending.candidate) track.pre_play = {};
  } else if (pending.candidate) {
    track.pre_play.taken = false;
  }
  pending.candidate = false;

  bool open = market.status == "OPEN";
  if (pending.open && !open) take(market, track.closing);
  pending.open = open;

  for (std::size_t i = 0; i < pending.cutoffs.size(); ++i) {
    if (publish_time <= pending.cutoffs[i]) {
      pending.cuts[i] = Cut::kLive;
      track.before[i].taken = false;
    }
  }
}

void MarketFold::fold(std::span<const load::ParsedMessage> messages) {
  find_market_times(messages);
  run(messages);
  finish();
}

void MarketFold::know_market_times(const MarketFold& first) {
  known_times_.emplace();
  for (std::size_t index = 0; index < first.size(); ++index) {
    known_times_->emplace(first.markets_.market(index).market_id, first.tracks_[index].market_time);
  }
}

void MarketFold::feed(std::span<const load::ParsedMessage> messages) { run(messages); }

void MarketFold::run(std::span<const load::ParsedMessage> messages) {
  for (std::size_t i = 0; i < messages.size(); ++i) {
    load::prefetch_after(messages, i);
    const load::ParsedMessage& message = messages[i];
    before_message(message.market_changes, message.publish_time);
    for (const MarketSet::Touched& book :
         markets_.apply(message.market_changes, message.publish_time)) {
      after_book(book.market, message.publish_time);
    }
  }
}

void MarketFold::finish() {
  // What is still the latest book now is the last one.
  for (std::size_t index = 0; index < tracks_.size(); ++index) {
    MarketTrack& track = tracks_[index];
    Pending& pending = pending_[index];
    MarketCache& market = markets_.market(index);
    if (!track.closing.taken) take(market, track.closing);
    if (!pending.seen_in_play) track.pre_play = track.closing;
    for (std::size_t i = 0; i < offsets_.size(); ++i) {
      if (pending.cuts[i] == Cut::kLive) take(market, track.before[i]);
      if (pending.cuts[i] == Cut::kNone && pending.lost[i]) exact_ = false;
    }
  }
}

}  // namespace marrowfin::market
