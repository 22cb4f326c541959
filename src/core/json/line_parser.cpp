#include "core/json/line_parser.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "core/json/direct_parser.hpp"
#include "core/json/error_texts.hpp"
#include "core/json/utf8.hpp"

namespace marrowfin::json {

class LineParser::Impl {
 public:
  explicit Impl(Method method) noexcept : method_(method) {}

  bool parse(char* text, std::size_t size, util::Arena& arena) {
    // The value model's sizes are 32-bit; no line may come near that.
    if (size >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    text[size] = '\0';
    if (method_ == Method::kDirect) {
      util::Arena::Mark mark = arena.mark();
      if (direct_.parse(text, size, arena)) [[likely]] {
        used_direct_ = true;
        return true;
      }
      arena.rollback(mark);
    }
    // The reader, for the description of the fault. The two accept the same
    // lines (the fuzzer compares them); should a line ever pass here all
    // the same, its values are the reader's.
    used_direct_ = false;
    return reader_.read(text, size, arena);
  }

  bool root_is_object() const noexcept {
    return used_direct_ ? direct_.root_is_object() : reader_.root_is_object();
  }
  json::Value root() const noexcept { return used_direct_ ? direct_.root() : reader_.root(); }
  std::span<const json::Value> root_members() const noexcept {
    return used_direct_ ? direct_.root_members() : reader_.root_members();
  }

  Method method_;
  bool used_direct_ = false;  // which of the two parsed the last line
  DirectParser direct_;
  Reader reader_;
};

LineParser::LineParser(Method method) : impl_(std::make_unique<Impl>(method)) {}
LineParser::~LineParser() = default;

bool LineParser::parse(char* text, std::size_t size, util::Arena& arena) {
  return impl_->parse(text, size, arena);
}

const JsonError& LineParser::error() const noexcept { return impl_->reader_.error(); }
bool LineParser::root_is_object() const noexcept { return impl_->root_is_object(); }
json::Value LineParser::root() const noexcept { return impl_->root(); }
std::span<const json::Value> LineParser::root_members() const noexcept {
  return impl_->root_members();
}

json::Value LineParser::materialize_root(util::Arena& arena) {
  std::span<const json::Value> members = root_members();
  json::Value* copy = arena.allocate<json::Value>(members.size());
  if (!members.empty()) std::memcpy(copy, members.data(), members.size_bytes());
  return json::Value::object(copy, static_cast<std::uint32_t>(members.size()));
}

JsonResult parse_json(std::string_view text, util::Arena& arena, LineParser::Method method) {
  JsonResult result;
  if (!is_valid_utf8(text)) {
    result.error = std::string(texts::kInvalidUtf8);
    return result;
  }
  std::vector<char> buffer(text.size() + 1 + LineParser::kPadding, '\0');
  if (!text.empty()) std::memcpy(buffer.data(), text.data(), text.size());
  LineParser parser(method);
  if (!parser.parse(buffer.data(), text.size(), arena)) {
    result.error = parser.error().message();
    return result;
  }
  result.value = parser.root_is_object() ? parser.materialize_root(arena) : parser.root();
  return result;
}

}  // namespace marrowfin::json
