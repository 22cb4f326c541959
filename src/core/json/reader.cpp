#include "core/json/reader.hpp"

// SSE2 is part of x86-64, so its string scanning is always safe to use;
// SSE4.2 only when the build targets it.
#if defined(__SSE4_2__)
#define RAPIDJSON_SSE42
#elif defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/reader.h>

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "core/json/error_texts.hpp"
#include "core/json/members.hpp"
#include "core/json/number.hpp"
#include "core/json/string_scan.hpp"
#include "core/json/utf8.hpp"

namespace marrowfin::json {

using namespace texts;  // the error descriptions

namespace {

constexpr std::size_t kNoOffset = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kMaxDepth = 128;

// Offset just after the first \uDC00-\uDFFF escape decoded without a leading
// surrogate before it, or kNoOffset. The reader decodes such an escape into
// bytes that are not UTF-8; the encoding below notes it instead of letting
// it through. Set only while a line is parsed, on the parsing thread.
thread_local std::size_t lone_trailing_surrogate_end = kNoOffset;

// UTF-8 whose encoder notes lone trailing surrogates (the reader itself
// rejects lone leading ones).
struct StrictUtf8 : rapidjson::UTF8<char> {
  template <typename OutputStream>
  static void Encode(OutputStream& os, unsigned codepoint) {
    if (codepoint >= 0xD800 && codepoint <= 0xDFFF) [[unlikely]] {
      if constexpr (requires { os.src_ - os.head_; }) {
        if (lone_trailing_surrogate_end == kNoOffset) {
          lone_trailing_surrogate_end = static_cast<std::size_t>(os.src_ - os.head_);
        }
      }
    }
    rapidjson::UTF8<char>::Encode(os, codepoint);
  }
};

using SaxReader = rapidjson::GenericReader<StrictUtf8, StrictUtf8>;
// In place: strings are unescaped inside the line, so nothing is copied
// twice. The line's end is checked by the caller.
constexpr unsigned kParseFlags = rapidjson::kParseInsituFlag | rapidjson::kParseStopWhenDoneFlag;

enum class Stop : std::uint8_t { kNone, kTooDeep };

// Builds values from the reader's events. Children of open containers wait in
// `values_`; a closed container is copied into the arena in one piece.
class Builder {
 public:
  void reset(util::Arena& arena) noexcept {
    arena_ = &arena;
    frames_.clear();
    values_.clear();
    parent_ = Parent::kRoot;
    root_ = json::Value();
    root_is_object_ = false;
    pending_key_ = json::Key::kNone;
    drop_next_ = false;
    skip_depth_ = 0;
    stop_ = Stop::kNone;
  }

  Stop stop() const noexcept { return stop_; }
  bool root_is_object() const noexcept { return root_is_object_; }
  json::Value root() const noexcept { return root_; }
  std::span<const json::Value> root_members() const noexcept {
    return {values_.data(), values_.size()};
  }

  // Reader events.
  bool Null() { return scalar(json::Value::null()); }
  bool Bool(bool b) { return scalar(json::Value::boolean(b)); }
  // Numbers come from our own scanner (see ParseNumber below), converted.
  bool Number(json::Value number) { return scalar(number); }

  bool String(const char* text, rapidjson::SizeType size, bool) {
    if (ignoring()) return true;
    char* chars = arena_->allocate<char>(size);
    if (size != 0) std::memcpy(chars, text, size);
    push(json::Value::string(chars, size), pending_key_);
    return true;
  }

  bool Key(const char* text, rapidjson::SizeType size, bool) {
    if (skip_depth_ != 0) return true;
    json::Key key = json::key_from_name({text, size});
    if (key == json::Key::kNone) {
      drop_next_ = true;
    } else {
      pending_key_ = key;
    }
    return true;
  }

  bool StartObject() { return start(Parent::kObject); }
  bool StartArray() { return start(Parent::kArray); }

  bool EndObject(rapidjson::SizeType) {
    if (skip_depth_ != 0) {
      --skip_depth_;
      return true;
    }
    Frame frame = pop_frame();
    std::span<const json::Value> open(values_.data() + frame.start, values_.size() - frame.start);
    std::size_t count = sorter_.distinct(open);
    if (parent_ == Parent::kRoot) {  // the root: its members stay here for the loader
      sorted_.resize(count);
      sorter_.sort_into(open, sorted_.data());
      values_.assign(sorted_.begin(), sorted_.end());
      root_is_object_ = true;
      return true;
    }
    json::Value* members = arena_->allocate<json::Value>(count);
    sorter_.sort_into(open, members);
    values_.resize(frame.start);
    push(json::Value::object(members, static_cast<std::uint32_t>(count)), frame.key);
    return true;
  }

  bool EndArray(rapidjson::SizeType) {
    if (skip_depth_ != 0) {
      --skip_depth_;
      return true;
    }
    Frame frame = pop_frame();
    std::size_t count = values_.size() - frame.start;
    if (frame.kind == Parent::kLadder) {
      const json::Value* flat = values_.data() + frame.start;
      levels_.clear();
      for (std::size_t i = 0; i + 1 < count; i += 2) {
        levels_.push_back({*flat[i].as_float(), *flat[i + 1].as_float()});
      }
      values_.resize(frame.start);
      push(pack_levels(levels_, *arena_), frame.key);
      return true;
    }
    // A [number, number] pair in a packing ladder stays flat in the ladder.
    if (parent_ == Parent::kLadder && count == 2 && values_[frame.start].is_number() &&
        values_[frame.start + 1].is_number()) {
      return true;
    }
    json::Value* items = move_to_arena(frame.start, count);
    push(json::Value::array(items, static_cast<std::uint32_t>(count)), frame.key);
    return true;
  }

 private:
  // What a new value goes into.
  enum class Parent : std::uint8_t {
    kRoot,
    kObject,
    kArray,
    // An array under a ladder key whose elements so far are all
    // [number, number] pairs; they are kept flat in values_ (price, size, ...).
    kLadder,
  };

  struct Frame {
    std::size_t start;  // first child in values_
    json::Key key;      // of this container, when it is an object member
    Parent kind;
  };

  bool ignoring() noexcept {
    if (skip_depth_ == 0 && !drop_next_) [[likely]] return false;
    drop_next_ = false;
    return true;
  }

  bool start(Parent kind) {
    // Open containers: the built ones and those inside a dropped member.
    if (frames_.size() + static_cast<std::size_t>(skip_depth_) >= kMaxDepth) {
      stop_ = Stop::kTooDeep;
      return false;
    }
    if (skip_depth_ != 0) {
      ++skip_depth_;
      return true;
    }
    if (drop_next_) {
      drop_next_ = false;
      skip_depth_ = 1;
      return true;
    }
    json::Key key = json::Key::kNone;
    if (parent_ == Parent::kObject) {
      key = pending_key_;
      if (kind == Parent::kArray && json::is_ladder_key(key)) kind = Parent::kLadder;
    }
    frames_.push_back({values_.size(), key, kind});
    parent_ = kind;
    return true;
  }

  Frame pop_frame() noexcept {
    Frame frame = frames_.back();
    frames_.pop_back();
    parent_ = frames_.empty() ? Parent::kRoot : frames_.back().kind;
    return frame;
  }

  bool scalar(json::Value value) {
    if (ignoring()) return true;
    push(value, pending_key_);
    return true;
  }

  // `key` is used when the parent is an object.
  [[gnu::always_inline]] void push(json::Value value, json::Key key) {
    switch (parent_) {
      case Parent::kObject:
        value = value.with_key(key);
        break;
      case Parent::kArray:
        break;
      case Parent::kLadder:
        stop_packing();  // `value` is no [number, number] pair
        break;
      case Parent::kRoot:
        root_ = value;
        return;
    }
    values_.push_back(value);
  }

  // Turns the flat pairs of the innermost ladder into ordinary arrays.
  void stop_packing() {
    Frame& frame = frames_.back();
    std::size_t pairs = (values_.size() - frame.start) / 2;
    for (std::size_t i = 0; i < pairs; ++i) {
      json::Value* items = arena_->allocate<json::Value>(2);
      items[0] = values_[frame.start + 2 * i];
      items[1] = values_[frame.start + 2 * i + 1];
      values_[frame.start + i] = json::Value::array(items, 2);
    }
    values_.resize(frame.start + pairs);
    frame.kind = Parent::kArray;
    parent_ = Parent::kArray;
  }

  // Copies values_[start, start + count) into the arena and drops them here.
  json::Value* move_to_arena(std::size_t start, std::size_t count) {
    json::Value* out = arena_->allocate<json::Value>(count);
    const json::Value* from = values_.data() + start;
    for (std::size_t i = 0; i < count; ++i) out[i] = from[i];
    values_.resize(start);
    return out;
  }

  util::Arena* arena_ = nullptr;
  std::vector<Frame> frames_;
  std::vector<json::Value> values_;
  std::vector<json::Value> sorted_;  // the root's members, sorted
  std::vector<json::Level> levels_;  // a ladder's pairs, packed
  MemberSorter sorter_;
  Parent parent_ = Parent::kRoot;
  json::Value root_;
  bool root_is_object_ = false;
  json::Key pending_key_ = json::Key::kNone;
  bool drop_next_ = false;  // the next value belongs to a dropped member
  int skip_depth_ = 0;      // open containers inside a dropped member
  Stop stop_ = Stop::kNone;
};

}  // namespace
}  // namespace marrowfin::json

#if defined(RAPIDJSON_SSE2) || defined(RAPIDJSON_SSE42)
// The reader's vector scans of strings with escapes (and of the rest of a
// string its scalar loop stopped in) take only bytes up to 0x19 as control
// characters, in their aligned blocks: 0x1A-0x1F passed there, so whether a
// line was accepted depended on where it lay in memory. These find every
// byte below 0x20, as the scalar loop does. Lines carry padding, so loads
// need no alignment.
namespace marrowfin::json {
namespace {

// The first '"', '\' or byte below 0x20 in the 16 bytes at `p`, or 16.
[[gnu::always_inline]] inline unsigned string_stop_in(const char* p) noexcept {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i below_space = _mm_set1_epi8(0x1F);
  __m128i special = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                   _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
      _mm_cmpeq_epi8(_mm_max_epu8(bytes, below_space), below_space));
  auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
  return mask == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(mask));
}

}  // namespace
}  // namespace marrowfin::json

template <>
inline void rapidjson::GenericReader<marrowfin::json::StrictUtf8, marrowfin::json::StrictUtf8,
                                     rapidjson::CrtAllocator>::
    SkipUnescapedString(rapidjson::InsituStringStream& is) {
  char* p = is.src_;
  while (marrowfin::json::string_stop_in(p) == 16) p += 16;
  p += marrowfin::json::string_stop_in(p);
  is.src_ = is.dst_ = p;
}

template <>
inline void rapidjson::GenericReader<marrowfin::json::StrictUtf8, marrowfin::json::StrictUtf8,
                                     rapidjson::CrtAllocator>::
    ScanCopyUnescapedString(rapidjson::InsituStringStream& is, rapidjson::InsituStringStream&) {
  if (is.src_ == is.dst_) {
    SkipUnescapedString(is);
    return;
  }
  char* p = is.src_;
  char* q = is.dst_;  // behind p: unescaping shortened the string
  for (;;) {
    unsigned n = marrowfin::json::string_stop_in(p);
    // A whole block is stored at once only when it holds no stop: q + 16
    // stays at or below p + 16, so nothing unread is overwritten.
    if (n < 16) {
      std::memmove(q, p, n);
      p += n;
      q += n;
      break;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    p += 16;
    q += 16;
  }
  is.src_ = p;
  is.dst_ = q;
}
#endif

// The reader's own number parsing accumulates every number as it scans it
// and would leave the exact conversion to a second pass over the text; this
// replaces it, for our reader only, with one pass that scans and converts.
// The error codes and offsets are the reader's.
template <>
template <>
void rapidjson::GenericReader<marrowfin::json::StrictUtf8, marrowfin::json::StrictUtf8,
                              rapidjson::CrtAllocator>::
    ParseNumber<marrowfin::json::kParseFlags, rapidjson::InsituStringStream,
                marrowfin::json::Builder>(rapidjson::InsituStringStream& is,
                                           marrowfin::json::Builder& handler) {
  using marrowfin::json::NumberScan;
  std::size_t start = is.Tell();
  marrowfin::json::Value number;
  NumberScan scan = marrowfin::json::scan_number(is.src_, number);
  is.src_ = const_cast<char*>(scan.end);
  switch (scan.status) {
    case NumberScan::Status::kOk:
      if (!handler.Number(number)) RAPIDJSON_PARSE_ERROR(kParseErrorTermination, start);
      return;
    case NumberScan::Status::kNoDigit:
      RAPIDJSON_PARSE_ERROR(kParseErrorValueInvalid, is.Tell());
      return;
    case NumberScan::Status::kNoFraction:
      RAPIDJSON_PARSE_ERROR(kParseErrorNumberMissFraction, is.Tell());
      return;
    case NumberScan::Status::kNoExponent:
      RAPIDJSON_PARSE_ERROR(kParseErrorNumberMissExponent, is.Tell());
      return;
    case NumberScan::Status::kOutOfRange:
      RAPIDJSON_PARSE_ERROR(kParseErrorNumberTooBig, start);
      return;
  }
}

// Strings, for our reader only: most are short keys without escapes, which
// the reader's own scan (aligned 16-byte steps after a byte-wise prologue)
// handles slowly. Lines carry padding, so unaligned loads may run past the
// closing quote. Strings with escapes take the reader's own path.
template <>
template <>
void rapidjson::GenericReader<marrowfin::json::StrictUtf8, marrowfin::json::StrictUtf8,
                              rapidjson::CrtAllocator>::
    ParseString<marrowfin::json::kParseFlags, rapidjson::InsituStringStream,
                marrowfin::json::Builder>(rapidjson::InsituStringStream& is,
                                           marrowfin::json::Builder& handler, bool isKey) {
  char* const head = is.src_ + 1;  // after the opening quote
  char* p = head + (marrowfin::json::string_stop(head) - head);
  bool success;
  if (*p == '"') {
    is.src_ = p + 1;
    auto size = static_cast<rapidjson::SizeType>(p - head);
    success = isKey ? handler.Key(head, size, false) : handler.String(head, size, false);
  } else {
    is.src_ = p;
    is.dst_ = p;  // unescaping writes from here on
    ParseStringToStream<marrowfin::json::kParseFlags, marrowfin::json::StrictUtf8,
                        marrowfin::json::StrictUtf8>(is, is);
    RAPIDJSON_PARSE_ERROR_EARLY_RETURN_VOID;
    auto size = static_cast<rapidjson::SizeType>(is.dst_ - head - 1);  // without the NUL
    success = isKey ? handler.Key(head, size, false) : handler.String(head, size, false);
  }
  if (RAPIDJSON_UNLIKELY(!success)) RAPIDJSON_PARSE_ERROR(kParseErrorTermination, is.Tell());
}

namespace marrowfin::json {
namespace {

bool is_json_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_hex(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The reader's error codes, refined by the bytes around the offset, in the
// fixed vocabulary. A NUL byte inside the line ends the reader's input, so
// "at the end" means the offset reached `size`, not that the reader saw a NUL.
class Classifier {
 public:
  Classifier(const char* text, std::size_t size) noexcept : text_(text), size_(size) {}

  JsonError classify(rapidjson::ParseErrorCode code, std::size_t offset, Stop stop) const noexcept {
    using namespace rapidjson;
    std::size_t o = offset;
    switch (code) {
      case kParseErrorDocumentEmpty:
        return at_end(o) ? eof(kEofInValue) : at(o, kExpectedValue);
      case kParseErrorValueInvalid:
        return invalid_value(o);
      case kParseErrorObjectMissName:
        if (at_end(o)) return eof(kEofInObject);
        return at(o, text_[o] == '}' ? kTrailingComma : kKeyMustBeString);
      case kParseErrorObjectMissColon:
        return at_end(o) ? eof(kEofInObject) : at(o, kExpectedColon);
      case kParseErrorObjectMissCommaOrCurlyBracket:
        return at_end(o) ? eof(kEofInObject) : at(o, kExpectedCommaOrBrace);
      case kParseErrorArrayMissCommaOrSquareBracket:
        return at_end(o) ? eof(kEofInList) : at(o, kExpectedCommaOrBracket);
      case kParseErrorStringUnicodeEscapeInvalidHex:
        return invalid_hex(o);
      case kParseErrorStringUnicodeSurrogateInvalid:
        return invalid_surrogate(o);
      case kParseErrorStringEscapeInvalid:
        if (text_[o] == '\\') {
          return at_end(o + 1) ? eof(kEofInString) : at(o + 1, kInvalidEscape);
        }
        return at(o, kControlCharacter);
      case kParseErrorStringMissQuotationMark:
        return at_end(o) ? eof(kEofInString) : at(o, kControlCharacter);
      case kParseErrorNumberTooBig:
        return at(o, kNumberOutOfRange);
      case kParseErrorNumberMissFraction:
      case kParseErrorNumberMissExponent:
        return at_end(o) ? eof(kEofInValue) : at(o, kInvalidNumber);
      case kParseErrorTermination:
        if (stop == Stop::kTooDeep) return {kRecursionLimit, o};
        return at(o, kExpectedValue);
      default:
        return at(o, kExpectedValue);
    }
  }

 private:
  bool at_end(std::size_t o) const noexcept { return o >= size_; }
  JsonError eof(std::string_view description) const noexcept { return {description, size_}; }
  // Pointing at the byte at offset `o`.
  static JsonError at(std::size_t o, std::string_view description) noexcept {
    return {description, o + 1};
  }

  JsonError invalid_value(std::size_t o) const noexcept {
    if (at_end(o)) {
      std::size_t k = o;
      while (k > 0 && is_json_space(text_[k - 1])) --k;
      return eof(k > 0 && text_[k - 1] == '[' ? kEofInList
                                              : kEofInValue);
    }
    if (o > 0 && text_[o - 1] == '-') return at(o, kInvalidNumber);
    // A value never starts right after a letter: this is inside a literal.
    if (o > 0 && is_letter(text_[o - 1])) return at(o, kExpectedIdent);
    if (text_[o] == ']') {
      std::size_t k = o;
      while (k > 0 && is_json_space(text_[k - 1])) --k;
      if (k > 0 && text_[k - 1] == ',') return at(o, kTrailingComma);
    }
    return at(o, kExpectedValue);
  }

  // `o` is the backslash of a \u escape (the first one of a surrogate pair).
  JsonError invalid_hex(std::size_t o) const noexcept {
    std::size_t p = o + 2;
    for (int escape = 0; escape < 2; ++escape) {
      unsigned codepoint = 0;
      for (int i = 0; i < 4; ++i, ++p) {
        if (at_end(p)) return eof(kEofInString);
        if (!is_hex(text_[p])) return at(p, kInvalidEscape);
        codepoint = codepoint * 16 + hex_value(text_[p]);
      }
      if (codepoint < 0xD800 || codepoint > 0xDBFF) break;
      p += 2;  // the reader only reports a bad second escape after "\u"
    }
    return at(o, kInvalidEscape);
  }

  // `o` is the backslash of a leading surrogate escape not followed by a
  // trailing one.
  JsonError invalid_surrogate(std::size_t o) const noexcept {
    std::size_t q = o + 6;
    if (at_end(q)) return eof(kEofInString);
    if (text_[q] != '\\') return at(q, kUnexpectedEndOfHexEscape);
    if (at_end(q + 1)) return eof(kEofInString);
    if (text_[q + 1] != 'u') return at(q + 1, kUnexpectedEndOfHexEscape);
    return {kLoneLeadingSurrogate, q + 6};
  }

  static unsigned hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
  }

  const char* text_;
  std::size_t size_;
};

}  // namespace

std::string JsonError::message() const {
  std::string text(description);
  text += " at line 1 column ";
  text += std::to_string(column);
  return text;
}

struct Reader::Impl {
  bool read(char* text, std::size_t size, util::Arena& arena) {
    builder.reset(arena);
    lone_trailing_surrogate_end = kNoOffset;
    rapidjson::InsituStringStream stream(text);
    rapidjson::ParseResult result = sax.Parse<kParseFlags>(stream, builder);
    std::size_t surrogate_end = lone_trailing_surrogate_end;
    lone_trailing_surrogate_end = kNoOffset;
    if (surrogate_end != kNoOffset) {
      // Decoded before any later fault, so it is the first one.
      error = {kLoneLeadingSurrogate, surrogate_end};
      return false;
    }
    if (result.IsError()) {
      error = Classifier(text, size).classify(result.Code(), result.Offset(), builder.stop());
      return false;
    }
    std::size_t end = stream.Tell();
    while (end < size && is_json_space(text[end])) ++end;
    if (end < size) {
      error = {kTrailingCharacters, end + 1};
      return false;
    }
    return true;
  }

  Builder builder;
  SaxReader sax;
  JsonError error;
};

Reader::Reader() : impl_(std::make_unique<Impl>()) {}
Reader::~Reader() = default;

bool Reader::read(char* text, std::size_t size, util::Arena& arena) {
  return impl_->read(text, size, arena);
}

const JsonError& Reader::error() const noexcept { return impl_->error; }
bool Reader::root_is_object() const noexcept { return impl_->builder.root_is_object(); }
json::Value Reader::root() const noexcept { return impl_->builder.root(); }
std::span<const json::Value> Reader::root_members() const noexcept {
  return impl_->builder.root_members();
}

}  // namespace marrowfin::json
