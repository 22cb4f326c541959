#include "core/load/message_loader.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "core/io/bzip2_source.hpp"
#include "core/io/chunk_reader.hpp"
#include "core/io/encoding.hpp"
#include "core/io/guarded_source.hpp"
#include "core/json/error_texts.hpp"
#include "core/json/line_parser.hpp"
#include "core/json/utf8.hpp"
#include "core/util/shelf.hpp"
#include "core/util/threads.hpp"

namespace marrowfin::load {
namespace {

const json::Value* member(std::span<const json::Value> members, json::Key key) noexcept {
  for (const json::Value& m : members) {
    if (m.key() == key) return &m;
  }
  return nullptr;
}

}  // namespace

bool keep_line(json::LineParser& parser, util::Arena& arena, std::vector<ParsedMessage>& messages) {
  if (!parser.root_is_object()) return false;
  std::span<const json::Value> members = parser.root_members();
  const json::Value* pt = member(members, json::Key::kPt);
  // Only an integer written without fraction or exponent counts.
  std::int64_t publish_time = pt != nullptr ? pt->as_integer().value_or(0) : 0;
  if (publish_time <= 0) return false;
  const json::Value* mc = member(members, json::Key::kMc);
  if (mc != nullptr && mc->kind() == json::Kind::kArray) {
    messages.push_back({mc->items(), publish_time});
    return true;
  }
  if (member(members, json::Key::kMarketDefinition) != nullptr ||
      member(members, json::Key::kRc) != nullptr) {
    // A bare market change: the line object is the message's only change.
    auto* change = arena.allocate<json::Value>(1);
    *change = parser.materialize_root(arena);
    messages.push_back({{change, 1}, publish_time});
    return true;
  }
  return false;
}

namespace {

LoadResult failure(std::string text) { return {nullptr, std::move(text)}; }

// What one thread parses with; its arena's blocks end up in the store.
struct ParseSlot {
  explicit ParseSlot(json::LineParser::Method method) : parser(method) {}
  json::LineParser parser;
  util::Arena arena;
};

// What parsing one chunk gave. A chunk stops at its first bad line, so of
// all failures the one of the lowest chunk is the first in the file.
struct ChunkOutcome {
  std::vector<ParsedMessage> messages;
  std::string error;             // the text of its first bad line
  std::exception_ptr exception;  // or what parsing threw
  bool done = false;
  bool failed() const noexcept { return !error.empty() || exception != nullptr; }
};

void parse_chunk(io::Chunk& chunk, ParseSlot& slot, ChunkOutcome& out) noexcept {
  try {
    io::LineCursor lines(chunk.data.get(), chunk.size);
    char* line = nullptr;
    std::size_t size = 0;
    // One pass over a chunk of ASCII, the usual case, checks every line in it.
    const bool ascii = json::is_ascii({chunk.data.get(), chunk.size});
    while (lines.next(line, size)) {
      std::string_view text(line, size);
      if (!ascii && !json::is_valid_utf8(text)) {
        out.error = json::texts::kInvalidUtf8;
        return;
      }
      if (json::is_blank(text)) continue;
      util::Arena::Mark mark = slot.arena.mark();
      if (!slot.parser.parse(line, size, slot.arena)) {
        out.error = slot.parser.error().message();
        return;
      }
      if (!keep_line(slot.parser, slot.arena, out.messages)) slot.arena.rollback(mark);
    }
  } catch (...) {
    out.exception = std::current_exception();
  }
}

// Threads for `wanted` (0: one per core this process may run on).
unsigned thread_count(unsigned wanted) noexcept {
  // More would hold more chunks in memory for little gain: the calling
  // thread's reading and decoding is the limit by then.
  constexpr unsigned kMaxThreads = 8;
  if (wanted != 0) return std::min(wanted, kMaxThreads);
  return std::min(util::usable_cores(), kMaxThreads);
}

// Parsed on one thread, a chunk is only a buffer (two are alive): small
// ones keep a worker of several processes well under 1.5 times a
// recording of a few MB, at no cost in speed.
std::size_t chunk_size(const LoadOptions& options, unsigned threads) noexcept {
  constexpr std::size_t kOneThreadChunk = std::size_t{64} << 10;
  if (threads > 1) return options.chunk_size;
  return std::min(options.chunk_size, kOneThreadChunk);
}

// Chunk buffers that loads left: as many as a load on two threads uses.
using ChunkShelf = util::Shelf<io::Chunk, 6>;

// The calling thread reads (and decodes) chunks and queues them; workers
// parse them, each into its own arena, and the calling thread parses too
// whenever it is ahead. Outcomes are kept by chunk number and merged in file
// order. The first chunk is held back until a second one exists, so an input
// of one chunk starts no thread.
class Pipeline {
 public:
  Pipeline(io::ByteSource& source, const LoadOptions& options)
      : Pipeline(source, options, thread_count(options.threads)) {}
  Pipeline(io::ByteSource& source, const LoadOptions& options, unsigned threads)
      : chunk_size_(chunk_size(options, threads)),
        reader_(source, chunk_size_, 1 + json::LineParser::kPadding),
        threads_(threads),
        json_method_(options.json_method) {
    slots_.push_back(std::make_unique<ParseSlot>(json_method_));  // the calling thread's
  }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  ~Pipeline() {
    stop_workers();
    // Left for the next load: a buffer of 1 MiB is mapped afresh for each
    // one otherwise, and its pages fault in as it is zeroed. Only buffers of
    // that size, for loads that cut chunks of it: a reader fills a buffer
    // it is given, whatever its chunk size.
    for (io::Chunk& chunk : pool_) {
      if (shelved_chunks() && chunk.capacity == chunk_size_) ChunkShelf::get().leave(chunk);
    }
  }

  LoadResult run() {
    for (std::size_t index = 0; first_failure_.load() == kNone; ++index) {
      io::Chunk chunk = take_buffer();
      if (!read(chunk)) break;
      {
        std::lock_guard lock(mutex_);
        outcomes_.emplace_back();
        queue_.push_back({index, std::move(chunk)});
      }
      work_ready_.notify_one();
      if (index == 0) continue;  // held back: maybe the input is one chunk
      if (index == 1) start_workers();
      // Far enough ahead of the workers: parse rather than read.
      while (help(workers_.empty() ? 0 : 2 * workers_.size())) {
      }
      merge_done();
    }
    while (help(0)) {
    }
    {
      std::unique_lock lock(mutex_);
      all_done_.wait(lock, [this] { return busy_ == 0; });
    }
    stop_workers();
    return finish();
  }

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  struct Task {
    std::size_t index;
    io::Chunk chunk;
  };

  // A failure of the source, or its exception, is the last thing in the file.
  bool read(io::Chunk& chunk) {
    try {
      if (reader_.next(chunk)) return true;
    } catch (...) {
      source_exception_ = std::current_exception();
    }
    give_back(std::move(chunk));
    return false;
  }

  io::Chunk take_buffer() {
    std::lock_guard lock(mutex_);
    if (pool_.empty()) return shelved_chunks() ? ChunkShelf::get().take() : io::Chunk{};
    io::Chunk chunk = std::move(pool_.back());
    pool_.pop_back();
    return chunk;
  }

  void give_back(io::Chunk chunk) {
    if (!chunk.data) return;
    std::lock_guard lock(mutex_);
    pool_.push_back(std::move(chunk));
  }

  void start_workers() {
    for (unsigned i = 1; i < threads_; ++i) {
      slots_.push_back(std::make_unique<ParseSlot>(json_method_));
      try {
        workers_.emplace_back([this, slot = slots_.back().get()] { work(*slot); });
      } catch (const std::system_error&) {
        slots_.pop_back();  // no more threads to be had: go on with those there are
        break;
      }
    }
  }

  void stop_workers() noexcept {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

  void work(ParseSlot& slot) {
    for (;;) {
      Task task;
      {
        std::unique_lock lock(mutex_);
        work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        task = pop_task();
      }
      parse(task, slot);
    }
  }

  // Requires the lock.
  Task pop_task() {
    Task task = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    return task;
  }

  // Parses the oldest queued chunk on the calling thread when more than
  // `waiting` are queued; false when it did not.
  bool help(std::size_t waiting) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (queue_.size() <= waiting) return false;
      task = pop_task();
    }
    parse(task, *slots_.front());
    return true;
  }

  void parse(Task& task, ParseSlot& slot) {
    ChunkOutcome outcome;
    // After a failing chunk nothing can matter.
    if (task.index < first_failure_.load()) parse_chunk(task.chunk, slot, outcome);
    {
      std::lock_guard lock(mutex_);
      if (outcome.failed() && task.index < first_failure_.load()) first_failure_ = task.index;
      outcome.done = true;
      outcomes_[task.index] = std::move(outcome);
      pool_.push_back(std::move(task.chunk));
      --busy_;
    }
    all_done_.notify_one();
  }

  // Moves the messages of the chunks done, in order, into the store, so that
  // few chunks' lists are alive at once.
  void merge_done() {
    for (;;) {
      std::vector<ParsedMessage> messages;
      {
        std::lock_guard lock(mutex_);
        if (merged_ == outcomes_.size()) return;
        ChunkOutcome& outcome = outcomes_[merged_];
        if (!outcome.done || outcome.failed()) return;
        messages = std::move(outcome.messages);
        ++merged_;
      }
      store_->messages.insert(store_->messages.end(), messages.begin(), messages.end());
    }
  }

  // Every thread has stopped.
  LoadResult finish() {
    for (; merged_ < outcomes_.size(); ++merged_) {
      ChunkOutcome& outcome = outcomes_[merged_];
      if (outcome.exception) std::rethrow_exception(outcome.exception);
      if (!outcome.error.empty()) return failure(std::move(outcome.error));
      store_->messages.insert(store_->messages.end(), outcome.messages.begin(),
                              outcome.messages.end());
      outcome.messages = {};
    }
    if (source_exception_) std::rethrow_exception(source_exception_);
    if (!reader_.error().empty()) return failure(reader_.error());
    for (auto& slot : slots_) store_->arena.absorb(slot->arena);
    return {std::move(store_), {}};
  }

  bool shelved_chunks() const noexcept { return chunk_size_ == LoadOptions::kDefaultChunkSize; }

  std::size_t chunk_size_;
  io::ChunkReader reader_;
  unsigned threads_;
  json::LineParser::Method json_method_;
  std::unique_ptr<MessageStore> store_ = std::make_unique<MessageStore>();
  std::vector<std::unique_ptr<ParseSlot>> slots_;  // [0] is the calling thread's
  std::vector<std::thread> workers_;
  std::exception_ptr source_exception_;
  std::size_t merged_ = 0;  // outcomes before this are in the store; calling thread only

  std::mutex mutex_;
  std::condition_variable work_ready_;  // queued chunks or stopping_
  std::condition_variable all_done_;    // busy_ went down
  std::deque<Task> queue_;
  std::deque<ChunkOutcome> outcomes_;  // by chunk number; stable under emplace_back
  std::vector<io::Chunk> pool_;            // buffers to reuse
  std::size_t busy_ = 0;               // chunks taken from the queue, not yet done
  bool stopping_ = false;
  // The lowest chunk known to fail; written under the lock.
  std::atomic<std::size_t> first_failure_{kNone};
};

// `parse(input)` of `source` as every load reads it: held to the size limit
// and asked whether to stop (GuardedSource), copied where asked (TeeSource);
// `stopped` tells whether it was asked to.
template <class Parse>
auto parse_guarded(io::ByteSource& source, const LoadOptions& options, bool& stopped, Parse&& parse) {
  io::GuardedSource guarded(source, options.max_decoded_bytes, options.interrupted);
  std::optional<io::TeeSource> tee;
  if (options.copy_to != nullptr) tee.emplace(guarded, *options.copy_to);
  auto result = parse(tee ? static_cast<io::ByteSource&>(*tee) : guarded);
  stopped = guarded.stopped();
  return result;
}

LoadResult parse_decoded(io::ByteSource& source, const LoadOptions& options) {
  bool stopped = false;
  LoadResult result = parse_guarded(source, options, stopped,
                                    [&](io::ByteSource& input) { return Pipeline(input, options).run(); });
  if (stopped) return {nullptr, {}, true};
  return result;
}

StreamResult stream_from(io::ByteSource& source, const LoadOptions& options, const TakeMessages& take) {
  bool stopped = false;
  StreamResult result = parse_guarded(source, options, stopped, [&](io::ByteSource& input) {
    io::ChunkReader reader(input, chunk_size(options, 1), 1 + json::LineParser::kPadding);
    ParseSlot slot(options.json_method);
    const util::Arena::Mark empty = slot.arena.mark();
    io::Chunk chunk;
    while (reader.next(chunk)) {
      ChunkOutcome outcome;
      parse_chunk(chunk, slot, outcome);
      if (outcome.exception) std::rethrow_exception(outcome.exception);
      if (outcome.failed()) return StreamResult{std::move(outcome.error)};
      take(outcome.messages);
      slot.arena.rollback(empty);
    }
    return StreamResult{reader.error()};
  });
  if (stopped) return {{}, true};
  return result;
}

std::unique_ptr<io::ByteSource> decoded_file(std::unique_ptr<io::ByteSource> file, io::Encoding encoding,
                                             io::Inflater::Backend backend, const LoadOptions& options) {
  unsigned bzip2_threads = options.bzip2_threads >= 0 ? static_cast<unsigned>(options.bzip2_threads)
                                                      : io::Bzip2Source::default_threads();
  return decoded(std::move(file), encoding, backend, bzip2_threads);
}

LoadResult load_from(std::unique_ptr<io::ByteSource> file, io::Encoding encoding,
                     io::Inflater::Backend backend, const LoadOptions& options) {
  return parse_decoded(*decoded_file(std::move(file), encoding, backend, options), options);
}

}  // namespace

LoadResult load_messages(std::string_view path) {
  return load_messages(path, io::Inflater::default_backend());
}

LoadResult load_messages(std::string_view path, io::Inflater::Backend backend,
                         const LoadOptions& options) {
  io::OpenResult opened = io::open_file(path);
  if (!opened.file) return failure(std::move(opened.error));
  return load_from(std::move(opened.file), io::encoding_from_name(path), backend, options);
}

LoadResult load_decoded(std::unique_ptr<io::ByteSource> decoded, const LoadOptions& options) {
  return parse_decoded(*decoded, options);
}

StreamResult stream_messages(std::string_view path, const LoadOptions& options, const TakeMessages& take) {
  io::OpenResult opened = io::open_file(path);
  if (!opened.file) return {std::move(opened.error)};
  std::unique_ptr<io::ByteSource> source = decoded_file(
      std::move(opened.file), io::encoding_from_name(path), io::Inflater::default_backend(), options);
  return stream_from(*source, options, take);
}

StreamResult stream_decoded(std::unique_ptr<io::ByteSource> decoded, const LoadOptions& options,
                            const TakeMessages& take) {
  return stream_from(*decoded, options, take);
}

LoadResult load_messages_from_bytes(std::string_view bytes, io::Encoding encoding,
                                    io::Inflater::Backend backend, const LoadOptions& options) {
  return load_from(std::make_unique<io::MemorySource>(bytes), encoding, backend, options);
}

}  // namespace marrowfin::load
