#include "core/load/first_definition.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "core/io/bzip2_source.hpp"
#include "core/io/guarded_source.hpp"
#include "core/json/error_texts.hpp"
#include "core/json/line_parser.hpp"
#include "core/json/utf8.hpp"
#include "core/load/message_loader.hpp"

namespace marrowfin::load {
namespace {

// Compressed bytes handed to libbz2 at a time: the most of the next block
// that is looked at once the line is in.
constexpr std::size_t kBzip2InputStep = std::size_t{4} << 10;

// A change's own market: its "id" when that is a non-empty string (the
// market layer's market_id_of, which this layer cannot reach).
std::optional<std::string_view> own_market(const json::Value& change) noexcept {
  const json::Value* id = change.find(json::Key::kId);
  std::optional<std::string_view> text = id != nullptr ? id->as_string() : std::nullopt;
  if (text && text->empty()) return std::nullopt;
  return text;
}

class Reader {
 public:
  // With `keep`, every byte read is kept too (kept()).
  Reader(io::ByteSource& source, bool keep) : source_(source), keep_(keep) {}

  std::string& kept() noexcept { return kept_; }

  FirstDefinition run() {
    result_.arena = std::make_unique<util::Arena>();
    std::size_t scanned = 0;  // bytes of the pending text known to hold no line feed
    for (;;) {
      char* pending = buffer_.data() + begin_;
      std::size_t size = end_ - begin_;
      auto* feed = size > scanned
                       ? static_cast<char*>(std::memchr(pending + scanned, '\n', size - scanned))
                       : nullptr;
      if (feed != nullptr) {
        std::size_t length = static_cast<std::size_t>(feed - pending);
        begin_ += length + 1;
        scanned = 0;
        if (length > 0 && pending[length - 1] == '\r') --length;  // as LineCursor cuts lines
        if (line(pending, length)) break;
        continue;
      }
      scanned = size;
      if (at_end_) {
        // The last line may lack its line feed; a read failure cut it short.
        if (result_.error.empty() && size > 0) {
          begin_ = end_;
          line(pending, size);
        }
        break;
      }
      read_more();
    }
    if (!result_.found) result_.arena.reset();
    return std::move(result_);
  }

 private:
  void read_more() {
    // The pending text moves to the front; room for a step, then a byte the
    // parser may write and its padding.
    if (end_ > begin_) std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    std::size_t wanted = end_ + kDefinitionReadStep + 1 + json::LineParser::kPadding;
    if (buffer_.size() < wanted) buffer_.resize(std::max(wanted, 2 * buffer_.size()));
    io::ReadResult read = source_.read(buffer_.data() + end_, kDefinitionReadStep);
    if (keep_) kept_.append(buffer_.data() + end_, read.size);
    end_ += read.size;
    result_.bytes_decoded += read.size;
    if (!read.error.empty()) {
      result_.error = std::move(read.error);
      at_end_ = true;
    } else if (read.size == 0) {
      at_end_ = true;
    }
    // The padding after the text is what the parser may read: keep it zero.
    std::memset(buffer_.data() + end_, 0,
                std::min(buffer_.size() - end_, 1 + json::LineParser::kPadding));
  }

  // True once the search is over: the definition found or the line bad.
  bool line(char* text, std::size_t size) {
    std::string_view view(text, size);
    if (!json::is_valid_utf8(view)) {
      result_.error = json::texts::kInvalidUtf8;
      return true;
    }
    if (json::is_blank(view)) return false;
    util::Arena& arena = *result_.arena;
    util::Arena::Mark mark = arena.mark();
    if (!parser_.parse(text, size, arena)) {
      result_.error = parser_.error().message();
      return true;
    }
    messages_.clear();
    if (keep_line(parser_, arena, messages_)) {
      const ParsedMessage& message = messages_.front();
      for (const json::Value& change : message.market_changes) {
        std::optional<std::string_view> id = own_market(change);
        if (id && !first_market_) first_market_.emplace(*id);
        const json::Value* definition = change.find(json::Key::kMarketDefinition);
        if (definition == nullptr || !definition->is_object() || !(id || first_market_)) continue;
        auto* member = arena.allocate<json::Value>(1);
        *member = *definition;
        result_.found = true;
        result_.market_id = id ? std::string(*id) : *first_market_;
        result_.publish_time = message.publish_time;
        result_.change = json::Value::object(member, 1);
        return true;
      }
    }
    arena.rollback(mark);
    return false;
  }

  io::ByteSource& source_;
  bool keep_;
  std::string kept_;
  json::LineParser parser_;
  std::vector<ParsedMessage> messages_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // the pending text is buffer_[begin_, end_)
  std::size_t end_ = 0;
  bool at_end_ = false;
  std::optional<std::string> first_market_;
  FirstDefinition result_;
};

}  // namespace

FirstDefinition read_first_definition(std::unique_ptr<io::ByteSource> file, io::Encoding encoding,
                                      const DefinitionOptions& options) {
  // One pass, block by block for bzip2: decoding threads would decode
  // blocks ahead that are never read.
  io::Bzip2Source* bzip2 = nullptr;
  std::unique_ptr<io::ByteSource> source;
  if (encoding == io::Encoding::kBzip2) {
    auto stepped = std::make_unique<io::Bzip2Source>(std::move(file), 0, kBzip2InputStep);
    bzip2 = stepped.get();
    source = std::move(stepped);
  } else {
    source = io::decoded(std::move(file), encoding, io::Inflater::default_backend(), 0);
  }
  // A file without a definition is read to its end: held to a load's limit.
  io::GuardedSource guarded(*source, options.max_decoded_bytes, options.interrupted);
  Reader reader(guarded, options.keep_source);
  FirstDefinition result = reader.run();
  if (guarded.stopped()) {
    result = {};
    result.interrupted = true;
  } else if (result.found && options.keep_source) {
    if (bzip2 != nullptr) bzip2->read_rest();  // the load decodes all of it
    result.source = std::make_unique<io::PrefixedSource>(std::move(reader.kept()), std::move(source));
  }
  return result;
}

FirstDefinition read_first_definition(std::string_view path, const DefinitionOptions& options) {
  io::OpenResult opened = io::open_file(path);
  if (!opened.file) {
    FirstDefinition failed;
    failed.error = std::move(opened.error);
    return failed;
  }
  return read_first_definition(std::move(opened.file), io::encoding_from_name(path), options);
}

}  // namespace marrowfin::load
