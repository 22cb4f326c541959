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

TEST(MarketFoldTest, FedAMessageAtATimeItKeepsTheBooksOfTheWholeFileAsTimesMove) {
  Folds folds;
  fold_both(definition_line(kStart - 300000, "1.1", at(0)) +
                price_line(kStart - 200000, "1.1", 2.0) +
                definition_line(kStart - 100, "1.2", at(-30)) +  // a second market, its time past already
                price_line(kStart - 90000, "1.1", 2.2) +
                // Moved later: the latest book is still before the new times.
                definition_line(kStart - 50000, "1.1", at(120)) +
                price_line(kStart + 30000, "1.1", 2.4) +
                // A publish time back below a time once passed.
                price_line(kStart + 59000, "1.1", 2.6) +
                price_line(kStart + 1000, "1.1", 2.8) +
                // Moved back: the latest book (1 s after the start) is at or before both new times.
                definition_line(kStart + 200000, "1.1", at(65)) +
                price_line(kStart + 210000, "1.1", 3.0),
            folds);
  EXPECT_TRUE(folds.fed.exact());
  expect_same(folds);
  EXPECT_TRUE(folds.fed.track(0).before[1].taken);
  EXPECT_EQ(folds.fed.track(0).before[1].runners.at(0).last_price_traded, 2.8);
  EXPECT_FALSE(folds.fed.track(1).before[0].taken);  // no book at or before
}

TEST(MarketFoldTest, AMarketTimeMovedBehindTheLatestBookTakesASecondFeedWithTheTimeKnown) {
  // The last book before the move lies after the start.
  const std::string start = definition_line(kStart - 10000, "1.1", at(30)) +
                            price_line(kStart - 5000, "1.1", 2.0) + price_line(kStart + 10000, "1.1", 2.2);
  struct Case {
    std::string rest;
    bool exact;
  };
  const std::vector<Case> cases = {
      // Back to 1 s after the start: the book before it was let go, and no later one is before it.
      {definition_line(kStart + 20000, "1.1", at(1)) + price_line(kStart + 25000, "1.1", 3.0), false},
      // The same, but a later book comes back before the new time: that one is the book.
      {definition_line(kStart + 20000, "1.1", at(1)) + price_line(kStart, "1.1", 3.0), true},
      // Back to before every book: there is none to lose.
      {definition_line(kStart + 20000, "1.1", at(-30)) + price_line(kStart + 25000, "1.1", 3.0), true},
      // A book past the time, then back to before every book: the book taken is no longer one.
      {price_line(kStart + 40000, "1.1", 3.0) + definition_line(kStart + 45000, "1.1", at(-30)), true},
      // Back, then forward again past the books: followed anew, nothing lost.
      {definition_line(kStart + 20000, "1.1", at(1)) + definition_line(kStart + 21000, "1.1", at(90)), true},
  };
  for (const Case& c : cases) {
    Folds folds;
    fold_both(start + c.rest, folds);
    EXPECT_EQ(folds.fed.exact(), c.exact) << c.rest;
    EXPECT_TRUE(folds.whole.exact());
    expect_same(folds);
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
