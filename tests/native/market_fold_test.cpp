#include "core/market/market_fold.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/load/message_loader.hpp"

namespace marrowfin::market {
namespace {

// Offsets of 60 s and 0 s before the market time.
const std::vector<std::int64_t> kOffsets = {60000, 0};

std::string definition_line(std::int64_t pt, const std::string& market, const std::string& time) {
  return R"({"pt":)" + std::to_string(pt) + R"(,"mc":[{"id":")" + market +
         R"(","marketDefinition":{"marketTime":")" + time +
         R"(","status":"OPEN","runners":[{"id":1,"status":"ACTIVE"}]}}]})" "\n";
}

std::string price_line(std::int64_t pt, const std::string& market, double ltp) {
  return R"({"pt":)" + std::to_string(pt) + R"(,"mc":[{"id":")" + market + R"(","rc":[{"id":1,"ltp":)" +
         std::to_string(ltp) + R"(,"trd":[[)" + std::to_string(ltp) + R"(,1]]}]}]})" "\n";
}

// 2021-03-30T16:20:00Z, and texts of it moved by whole seconds.
constexpr std::int64_t kStart = 1617121200000;
std::string at(int seconds) {
  int total = 20 * 60 + seconds;
  char text[32];
  std::snprintf(text, sizeof text, "2021-03-30T16:%02d:%02dZ", total / 60, total % 60);
  return text;
}

struct Folds {
  load::LoadResult loaded;
  MarketFold whole{kOffsets};
  MarketFold fed{kOffsets};
  MarketFold again{kOffsets};  // fed again, the final market times known, when `fed` is not exact
  const MarketFold& streamed() const { return fed.exact() ? fed : again; }
};

void feed(std::span<const load::ParsedMessage> messages, MarketFold& fold) {
  for (std::size_t i = 0; i < messages.size(); ++i) fold.feed(messages.subspan(i, 1));
  fold.finish();
}

// The file folded whole, and fed a message at a time (twice if need be).
void fold_both(const std::string& text, Folds& folds) {
  folds.loaded = load::load_messages_from_bytes(text, io::Encoding::kPlain, io::Inflater::default_backend());
  ASSERT_TRUE(folds.loaded.store) << folds.loaded.error;
  std::span<const load::ParsedMessage> messages = folds.loaded.store->messages;
  folds.whole.fold(messages);
  feed(messages, folds.fed);
  if (!folds.fed.exact()) {
    folds.again.know_market_times(folds.fed);
    feed(messages, folds.again);
    EXPECT_TRUE(folds.again.exact());
  }
  ASSERT_EQ(folds.whole.size(), folds.streamed().size());
}

void expect_same(Folds& folds) {
  for (std::size_t m = 0; m < folds.whole.size(); ++m) {
    const MarketTrack& whole = folds.whole.track(m);
    const MarketTrack& fed = folds.streamed().track(m);
    EXPECT_EQ(whole.market_time, fed.market_time) << m;
    EXPECT_EQ(whole.off_time, fed.off_time) << m;
    EXPECT_TRUE(whole.pre_play == fed.pre_play) << m;
    EXPECT_TRUE(whole.closing == fed.closing) << m;
    EXPECT_TRUE(whole.before == fed.before) << m;
  }
}

// Random files of two markets whose times move back and forth around their
// books, some published out of order: the fed fold holds what the whole
// file's does where it says it is exact, and fed again where it is not.
TEST(MarketFoldTest, RandomMovesOfTheMarketTimeGiveTheWholeFilesFoldFedOnceOrTwice) {
  std::mt19937 random(7);
  int exact = 0;
  for (int file = 0; file < 300; ++file) {
    std::string text;
    std::int64_t pt = kStart - 120000;
    for (int i = 0; i < 30; ++i) {
      pt += static_cast<std::int64_t>(random() % 20000) - 4000;
      const std::string market = random() % 3 == 0 ? "1.2" : "1.1";
      if (random() % 4 == 0) {
        text += definition_line(pt, market, at(static_cast<int>(random() % 240) - 120));
      } else {
        text += price_line(pt, market, 1.0 + static_cast<double>(random() % 100) / 10);
      }
    }
    Folds folds;
    fold_both(text, folds);
    exact += folds.fed.exact() ? 1 : 0;
    expect_same(folds);
  }
  // Both kinds are seen.
  EXPECT_GT(exact, 30);
  EXPECT_LT(exact, 300);
}

}  // namespace
}  // namespace marrowfin::market
