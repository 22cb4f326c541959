#include "core/market/merged_replay.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/load/message_loader.hpp"

namespace marrowfin::market {
namespace {

// A recording of one message per publish time, each a change of market 1.1
// (runner `pt` gets a traded price, so the fold can be told apart).
std::unique_ptr<load::MessageStore> recording(const std::vector<int>& times) {
  std::string text;
  for (int pt : times) {
    text += R"({"pt":)" + std::to_string(pt) + R"(,"mc":[{"id":"1.1","rc":[{"id":)" + std::to_string(pt) +
            R"(,"ltp":2}]}]})" "\n";
  }
  load::LoadResult loaded = load::load_messages_from_bytes(text, io::Encoding::kPlain,
                                                           io::Inflater::default_backend());
  EXPECT_TRUE(loaded.store) << loaded.error;
  return std::move(loaded.store);
}

using Steps = std::vector<std::pair<std::size_t, std::size_t>>;

// Many recordings of every length, with ties and times that go back, and
// their steps taking the earliest head each time, ties to the lower index.
std::pair<std::vector<std::vector<int>>, Steps> many_recordings() {
  std::vector<std::vector<int>> times(9);
  unsigned state = 7;
  for (std::size_t r = 0; r < times.size(); ++r) {
    for (std::size_t i = 0; i < r * 5; ++i) {
      state = state * 1103515245u + 12345u;
      times[r].push_back(static_cast<int>(1 + (state >> 16) % 40 + i * 3));
    }
  }
  Steps steps;
  for (std::vector<std::size_t> at(times.size(), 0);;) {
    std::size_t best = times.size();
    for (std::size_t r = 0; r < times.size(); ++r) {
      if (at[r] < times[r].size() && (best == times.size() || times[r][at[r]] < times[best][at[best]])) best = r;
    }
    if (best == times.size()) return {times, steps};
    steps.emplace_back(best, at[best]++);
  }
}

TEST(MergedReplay, MergesByPublishTimeTiesToTheEarlierRecordingEachOwnOrderKept) {
  const auto [many, many_steps] = many_recordings();
  const std::pair<std::vector<std::vector<int>>, Steps> cases[] = {
      // Interleaved, with ties at 5 and 9 going to the lower index.
      {{{1, 5, 9}, {2, 5, 9, 10}, {5}}, {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {2, 0}, {0, 2}, {1, 2}, {1, 3}}},
      // A tie ends the run of a later recording.
      {{{5, 6}, {3, 5}}, {{1, 0}, {0, 0}, {1, 1}, {0, 1}}},
      // Times that go back within a recording keep its order; empty recordings yield nothing.
      {{{}, {7, 2, 8}, {}, {3}}, {{3, 0}, {1, 0}, {1, 1}, {1, 2}}},
      {{}, {}},
      {many, many_steps},
  };
  for (const auto& [recordings, expected] : cases) {
    std::vector<std::unique_ptr<load::MessageStore>> stores;
    for (const auto& times : recordings) stores.push_back(recording(times));
    MergedReplay replay(std::move(stores));
    Steps steps;  // (recording, message) of each
    MergedReplay::Step step;
    while (replay.next(step)) steps.emplace_back(step.recording, step.message);
    EXPECT_FALSE(replay.next(step));  // and stays ended
    EXPECT_EQ(steps, expected);
    // Each recording folds into a set of its own: its market "1.1" has a
    // runner per time of that recording alone.
    for (std::size_t r = 0; r < recordings.size(); ++r) {
      std::set<int> times(recordings[r].begin(), recordings[r].end());
      ASSERT_EQ(replay.markets(r).size(), times.empty() ? 0u : 1u) << r;
      EXPECT_EQ(times.empty() ? 0u : replay.markets(r).market(0).runners.size(), times.size()) << r;
    }
  }
}

}  // namespace
}  // namespace marrowfin::market
