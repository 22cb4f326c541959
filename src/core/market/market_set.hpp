// Every market of one stream file, each folded into a MarketCache of its own
// by the iterator's rules, so that a file holding several markets is seen
// whole rather than as its first market only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/market/market_cache.hpp"
#include "core/json/value.hpp"

namespace marrowfin::market {

class MarketSet {
 public:
  // One market a message touched.
  struct Touched {
    std::size_t market;  // index into markets()
    // A change of this message was an image: the market's runners were made
    // anew, so nothing read from the old ones carries over.
    bool image;
  };

  MarketSet() = default;
  MarketSet(const MarketSet&) = delete;
  MarketSet& operator=(const MarketSet&) = delete;

  // Applies one message's changes. A change naming a market (market_id_of)
  // goes to that market's cache, made when first named; a change naming none
  // goes to the first market, as the iterator applies it, and is passed over
  // while there is none. Returns the markets touched, each once, in the order
  // first touched; valid until the next call.
  std::span<const Touched> apply(std::span<const json::Value> changes, std::int64_t publish_time);

  // The market that apply() would give `change` to, when it is made already:
  // its index, or nullopt for a market not yet named or no market at all.
  std::optional<std::size_t> market_of(const json::Value& change) const noexcept;

  // The markets in the order they were first named.
  std::size_t size() const noexcept { return markets_.size(); }
  MarketCache& market(std::size_t index) noexcept { return *markets_[index].cache; }
  const MarketCache& market(std::size_t index) const noexcept { return *markets_[index].cache; }

 private:
  struct Market {
    std::unique_ptr<MarketCache> cache;
    std::uint64_t touched_by = 0;  // serial of the last message that touched it
    std::size_t touched_at = 0;    // its place in touched_ then
  };

  std::size_t market_for(std::string_view id);

  std::vector<Market> markets_;
  // Keys view the caches' own market_id, which never changes.
  std::unordered_map<std::string_view, std::size_t> index_;
  std::size_t last_ = 0;  // the market market_for found last
  std::vector<Touched> touched_;
  std::uint64_t serial_ = 0;
};

}  // namespace marrowfin::market
