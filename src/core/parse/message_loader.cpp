#include "core/parse/message_loader.hpp"

#include "core/parse/encoding.hpp"
#include "core/parse/error_texts.hpp"
#include "core/parse/json_reader.hpp"
#include "core/parse/line_reader.hpp"
#include "core/parse/utf8.hpp"

namespace marrowfin::parse {
namespace {

const json::Value* member(std::span<const json::Value> members, json::Key key) noexcept {
  for (const json::Value& m : members) {
    if (m.key() == key) return &m;
  }
  return nullptr;
}

// Appends the message of a parsed line when the line is kept; false when it
// is skipped (its values may then be rolled back).
bool keep_line(LineParser& parser, MessageStore& store) {
  if (!parser.root_is_object()) return false;
  std::span<const json::Value> members = parser.root_members();
  const json::Value* pt = member(members, json::Key::kPt);
  // Only an integer written without fraction or exponent counts.
  std::int64_t publish_time = pt != nullptr ? pt->as_integer().value_or(0) : 0;
  if (publish_time <= 0) return false;
  const json::Value* mc = member(members, json::Key::kMc);
  if (mc != nullptr && mc->kind() == json::Kind::kArray) {
    store.messages.push_back({mc->items(), publish_time});
    return true;
  }
  if (member(members, json::Key::kMarketDefinition) != nullptr ||
      member(members, json::Key::kRc) != nullptr) {
    // A bare market change: the line object is the message's only change.
    auto* change = store.arena.allocate<json::Value>(1);
    *change = parser.materialize_root(store.arena);
    store.messages.push_back({{change, 1}, publish_time});
    return true;
  }
  return false;
}

LoadResult failure(std::string text) { return {nullptr, std::move(text)}; }

LoadResult load_from(std::unique_ptr<ByteSource> file, Encoding encoding,
                     Inflater::Backend backend) {
  std::unique_ptr<ByteSource> source = decoded(std::move(file), encoding, backend);
  LineReader lines(*source, 1 + LineParser::kPadding);
  LineParser parser;
  auto store = std::make_unique<MessageStore>();
  LineReader::Line line;
  while (lines.next(line)) {
    std::string_view text(line.data, line.size);
    if (!is_valid_utf8(text)) return failure(std::string(texts::kInvalidUtf8));
    if (is_blank(text)) continue;
    Arena::Mark mark = store->arena.mark();
    if (!parser.parse(line.data, line.size, store->arena)) {
      return failure(parser.error().message());
    }
    if (!keep_line(parser, *store)) store->arena.rollback(mark);
  }
  if (!lines.error().empty()) return failure(lines.error());
  return {std::move(store), {}};
}

}  // namespace

LoadResult load_messages(std::string_view path) {
  return load_messages(path, Inflater::default_backend());
}

LoadResult load_messages(std::string_view path, Inflater::Backend backend) {
  OpenResult opened = open_file(path);
  if (!opened.file) return failure(std::move(opened.error));
  return load_from(std::move(opened.file), encoding_from_name(path), backend);
}

LoadResult load_messages_from_bytes(std::string_view bytes, Encoding encoding,
                                    Inflater::Backend backend) {
  return load_from(std::make_unique<MemorySource>(bytes), encoding, backend);
}

}  // namespace marrowfin::parse
