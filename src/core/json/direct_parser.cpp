#include "core/json/direct_parser.hpp"

#include <cstring>

#include "core/json/members.hpp"
#include "core/json/number.hpp"
#include "core/json/string_scan.hpp"

namespace marrowfin::json {

using json::Key;
using json::Value;

namespace {

constexpr unsigned kMaxDepth = 128;  // open arrays and objects, the root's included

bool is_space(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Every token starts above ' ', and white space is at most ' ': one compare
// for the usual case of none.
[[gnu::always_inline]] inline const char* skip_space(const char* p) noexcept {
  if (static_cast<unsigned char>(*p) > ' ') [[likely]] return p;
  while (is_space(*p)) ++p;
  return p;
}

unsigned digit(char c) noexcept { return static_cast<unsigned char>(c) - unsigned{'0'}; }

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at `p` (stopping at the first other byte, so never
// past the text's NUL); false when one is not a hex digit.
bool read_hex4(const char* p, unsigned& out) noexcept {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    int v = hex_value(p[i]);
    if (v < 0) return false;
    value = value * 16 + static_cast<unsigned>(v);
  }
  out = value;
  return true;
}

void append_utf8(std::string& out, unsigned c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes a string with escapes from `p` (after its opening quote) into
// `out` when kDecode, else only checks it; returns the position after the
// closing quote, or nullptr when the string is bad: a control character, an
// unknown escape, bad hex digits, or a surrogate escape that is not a
// leading one followed by a trailing one.
template <bool kDecode>
[[gnu::noinline]] const char* escaped_string(const char* p, std::string& out) {
  for (;;) {
    const char* stop = string_stop(p);
    if constexpr (kDecode) out.append(p, stop);
    p = stop;
    if (*p == '"') return p + 1;
    if (*p != '\\') return nullptr;
    char decoded;
    switch (p[1]) {
      case '"': decoded = '"'; break;
      case '\\': decoded = '\\'; break;
      case '/': decoded = '/'; break;
      case 'b': decoded = '\b'; break;
      case 'f': decoded = '\f'; break;
      case 'n': decoded = '\n'; break;
      case 'r': decoded = '\r'; break;
      case 't': decoded = '\t'; break;
      case 'u': {
        unsigned code = 0;
        if (!read_hex4(p + 2, code)) return nullptr;
        p += 6;
        if (code >= 0xD800 && code <= 0xDBFF) {
          unsigned trailing = 0;
          if (p[0] != '\\' || p[1] != 'u' || !read_hex4(p + 2, trailing)) return nullptr;
          if (trailing < 0xDC00 || trailing > 0xDFFF) return nullptr;
          code = (((code - 0xD800) << 10) | (trailing - 0xDC00)) + 0x10000;
          p += 6;
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
          return nullptr;
        }
        if constexpr (kDecode) append_utf8(out, code);
        continue;
      }
      default:
        return nullptr;
    }
    if constexpr (kDecode) out += decoded;
    p += 2;
  }
}

// Member names of up to 16 bytes are looked up by the 16 bytes after the
// opening quote (the text's padding allows the loads), masked to the name's
// length: one hash and one comparison. Longer ones ask json::key_from_name.
struct NameSlot {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  std::size_t size = 0;
  Key key = Key::kNone;  // also the key of an empty slot, which nothing matches
};

struct NameTable {
  std::uint64_t multiplier = 0;
  NameSlot slots[256];
};

constexpr std::size_t kShortName = 16;

std::uint64_t load64(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

constexpr std::uint64_t low_mask(std::size_t n) noexcept {
  return n >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
}
constexpr std::uint64_t high_mask(std::size_t n) noexcept {
  return n <= 8 ? 0 : low_mask(n - 8);
}

struct NameMasks {
  std::uint64_t low[kShortName + 1];
  std::uint64_t high[kShortName + 1];
};

constexpr NameMasks make_masks() noexcept {
  NameMasks masks{};
  for (std::size_t n = 0; n <= kShortName; ++n) {
    masks.low[n] = low_mask(n);
    masks.high[n] = high_mask(n);
  }
  return masks;
}

constexpr NameMasks kMasks = make_masks();

std::size_t name_slot(std::uint64_t low, std::uint64_t high, std::uint64_t multiplier) noexcept {
  return static_cast<std::size_t>(((low ^ std::rotl(high, 29)) * multiplier) >> 56);
}

// A perfect hash of the short names, searched once when the library loads.
NameTable make_name_table() noexcept {
  NameTable table;
  for (std::uint64_t multiplier = 0x9E3779B97F4A7C15ULL;; multiplier += 0x2545F4914F6CDD1EULL) {
    table = NameTable{};
    table.multiplier = multiplier | 1;
    bool collided = false;
    for (unsigned k = 0; k < static_cast<unsigned>(Key::kNone) && !collided; ++k) {
      std::string_view name = json::key_name(static_cast<Key>(k));
      if (name.size() > kShortName) continue;
      char padded[kShortName] = {};
      std::memcpy(padded, name.data(), name.size());
      std::uint64_t low = load64(padded);
      std::uint64_t high = load64(padded + 8);
      NameSlot& slot = table.slots[name_slot(low, high, table.multiplier)];
      collided = slot.size != 0;
      slot = {low, high, name.size(), static_cast<Key>(k)};
    }
    if (!collided) return table;
  }
}

const NameTable kNameTable = make_name_table();

// The key of the member name text[0, size).
[[gnu::always_inline]] inline Key key_of_name(const char* text, std::size_t size) noexcept {
  if (size > kShortName) [[unlikely]] return json::key_from_name({text, size});
  std::uint64_t low = load64(text) & kMasks.low[size];
  std::uint64_t high = load64(text + 8) & kMasks.high[size];
  const NameSlot& slot = kNameTable.slots[name_slot(low, high, kNameTable.multiplier)];
  return (slot.low == low && slot.high == high && slot.size == size) ? slot.key : Key::kNone;
}

constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A number as json::scan_number reads it, with its own quick path for what
// streams hold: at most 19 digits, no exponent. Returns the position after
// it, or nullptr when it is bad.
[[gnu::always_inline]] inline const char* read_number(const char* p, Value& out) noexcept {
  const char* start = p;
  bool negative = *p == '-';
  p += negative;
  const char* digits = p;
  std::uint64_t mantissa = digit(*p);
  if (mantissa > 9) return nullptr;
  ++p;
  if (mantissa != 0) {
    for (unsigned d; (d = digit(*p)) < 10; ++p) mantissa = mantissa * 10 + d;
  }
  std::ptrdiff_t count = p - digits;
  std::ptrdiff_t fraction = 0;
  if (*p == '.') {
    const char* first = ++p;
    for (unsigned d; (d = digit(*p)) < 10; ++p) mantissa = mantissa * 10 + d;
    fraction = p - first;
    if (fraction == 0) return nullptr;
    count += fraction;
  }
  // The rest as scan_number does it all: exponents, long mantissas.
  if (count <= 19 && (*p | 0x20) != 'e') [[likely]] {
    if (fraction == 0) {
      if (!negative) {
        out = Value::uint(mantissa);
        return p;
      }
      if (mantissa == 0) {
        out = Value::number(-0.0);
        return p;
      }
      if (mantissa <= std::uint64_t{1} << 63) {
        out = Value::negative(static_cast<std::int64_t>(0 - mantissa));
        return p;
      }
    } else if (mantissa <= std::uint64_t{1} << 53) {
      // Both operands exact, so one IEEE operation rounds correctly.
      double d = static_cast<double>(mantissa) / kExactPowers[fraction];
      out = Value::number(negative ? -d : d);
      return p;
    }
  }
  json::NumberScan scan = json::scan_number(start, out);
  return scan.status == json::NumberScan::Status::kOk ? scan.end : nullptr;
}

}  // namespace

// One parse of one line. Each function takes the position of its token and
// returns the position after it, or nullptr when the text is bad. `depth`
// counts the containers open around a value. With kBuild false a value is
// only checked (a dropped member's), with the same rules.
class DirectPass {
 public:
  DirectPass(DirectParser& parser, util::Arena& arena) noexcept : parser_(parser), arena_(arena) {}

  // A value at `p`; containers are read by the calls below, which recurse.
  template <bool kBuild>
  [[gnu::always_inline]] const char* value(const char* p, unsigned depth, Key key) {
    switch (*p) {
      case '"':
        if constexpr (kBuild) return string(p + 1, key);
        return skip_string(p + 1);
      case '{':
        return object<kBuild>(p + 1, depth + 1, key);
      case '[':
        if (kBuild && json::is_ladder_key(key)) return ladder(p, depth + 1, key);
        return array<kBuild>(p + 1, depth + 1, key);
      case 't':
        if (std::memcmp(p, "true", 4) != 0) return nullptr;
        if constexpr (kBuild) push(Value::boolean(true), key);
        return p + 4;
      case 'f':
        if (std::memcmp(p, "false", 5) != 0) return nullptr;
        if constexpr (kBuild) push(Value::boolean(false), key);
        return p + 5;
      case 'n':
        if (std::memcmp(p, "null", 4) != 0) return nullptr;
        if constexpr (kBuild) push(Value::null(), key);
        return p + 4;
      default: {
        Value number;
        p = read_number(p, number);
        if constexpr (kBuild) {
          if (p != nullptr) push(number, key);
        }
        return p;
      }
    }
  }

  // The root object's members stay in the parser, unsorted here until the
  // object closes.
  void finish_root(std::size_t start) {
    std::span<const Value> members = open_members(start);
    parser_.root_members_.resize(sorter_.distinct(members));
    sorter_.sort_into(members, parser_.root_members_.data());
    parser_.stack_.resize(start);
  }

 private:
  void push(Value value, Key key) { parser_.stack_.push_back(value.with_key(key)); }

  template <bool kBuild>
  [[gnu::noinline]] const char* object(const char* p, unsigned depth, Key key) {
    if (depth > kMaxDepth) return nullptr;
    std::size_t start = parser_.stack_.size();
    p = skip_space(p);
    if (*p != '}') {
      for (;;) {
        if (*p != '"') return nullptr;
        Key member = Key::kNone;
        if constexpr (kBuild) {
          p = read_key(p + 1, member);
        } else {
          p = skip_string(p + 1);
        }
        if (p == nullptr) return nullptr;
        p = skip_space(p);
        if (*p != ':') return nullptr;
        p = skip_space(p + 1);
        p = (kBuild && member != Key::kNone) ? value<true>(p, depth, member)
                                             : value<false>(p, depth, Key::kNone);
        if (p == nullptr) return nullptr;
        p = skip_space(p);
        if (*p == ',') {
          p = skip_space(p + 1);
          continue;
        }
        if (*p != '}') return nullptr;
        break;
      }
    }
    if constexpr (kBuild) {
      if (depth == 1) {
        finish_root(start);
        parser_.root_is_object_ = true;
      } else {
        std::span<const Value> members = open_members(start);
        std::size_t count = sorter_.distinct(members);
        Value* sorted = arena_.allocate<Value>(count);
        sorter_.sort_into(members, sorted);
        parser_.stack_.resize(start);
        push(Value::object(sorted, static_cast<std::uint32_t>(count)), key);
      }
    }
    return p + 1;
  }

  template <bool kBuild>
  [[gnu::noinline]] const char* array(const char* p, unsigned depth, Key key) {
    if (depth > kMaxDepth) return nullptr;
    std::size_t start = parser_.stack_.size();
    p = skip_space(p);
    if (*p != ']') {
      for (;;) {
        p = value<kBuild>(p, depth, Key::kNone);
        if (p == nullptr) return nullptr;
        p = skip_space(p);
        if (*p == ',') {
          p = skip_space(p + 1);
          continue;
        }
        if (*p != ']') return nullptr;
        break;
      }
    }
    if constexpr (kBuild) {
      std::span<const Value> items = open_members(start);
      Value* copy = arena_.allocate<Value>(items.size());
      if (!items.empty()) std::memcpy(copy, items.data(), items.size_bytes());
      parser_.stack_.resize(start);
      push(Value::array(copy, static_cast<std::uint32_t>(items.size())), key);
    }
    return p + 1;
  }

  // An array under a ladder key, at its '['. While its elements are
  // [number, number] pairs they go straight into Levels; at anything else it
  // is read again from the start as an ordinary array, as it is then stored.
  [[gnu::noinline]] const char* ladder(const char* open, unsigned depth, Key key) {
    if (depth > kMaxDepth) return nullptr;
    std::vector<json::Level>& levels = parser_.levels_;
    std::size_t start = levels.size();
    const char* p = skip_space(open + 1);
    if (*p == ']') return finish_ladder(start, key, p + 1);
    for (;;) {
      if (*p != '[' || depth == kMaxDepth) break;  // the pairs nest one deeper
      p = skip_space(p + 1);
      Value price;
      Value size;
      if (*p != '-' && digit(*p) > 9) break;
      if ((p = read_number(p, price)) == nullptr) return nullptr;
      p = skip_space(p);
      if (*p != ',') break;
      p = skip_space(p + 1);
      if (*p != '-' && digit(*p) > 9) break;
      if ((p = read_number(p, size)) == nullptr) return nullptr;
      p = skip_space(p);
      if (*p != ']') break;
      levels.push_back({*price.as_float(), *size.as_float()});
      p = skip_space(p + 1);
      if (*p == ',') {
        p = skip_space(p + 1);
        continue;
      }
      if (*p != ']') return nullptr;
      return finish_ladder(start, key, p + 1);
    }
    levels.resize(start);
    return array<true>(open + 1, depth, key);
  }

  const char* finish_ladder(std::size_t start, Key key, const char* after) {
    std::vector<json::Level>& levels = parser_.levels_;
    Value packed = pack_levels(std::span<const json::Level>(levels).subspan(start), arena_);
    levels.resize(start);
    push(packed, key);
    return after;
  }

  // `p` is after the opening quote.
  const char* string(const char* p, Key key) {
    const char* stop = string_stop(p);
    if (*stop == '"') [[likely]] {
      auto size = static_cast<std::size_t>(stop - p);
      char* chars = arena_.allocate<char>(size);
      if (size != 0) std::memcpy(chars, p, size);
      push(Value::string(chars, static_cast<std::uint32_t>(size)), key);
      return stop + 1;
    }
    if (*stop != '\\') return nullptr;
    std::string& decoded = parser_.unescaped_;
    decoded.assign(p, stop);
    const char* end = escaped_string<true>(stop, decoded);
    if (end == nullptr) return nullptr;
    char* chars = arena_.allocate<char>(decoded.size());
    if (!decoded.empty()) std::memcpy(chars, decoded.data(), decoded.size());
    push(Value::string(chars, static_cast<std::uint32_t>(decoded.size())), key);
    return end;
  }

  const char* read_key(const char* p, Key& key) {
    const char* stop = string_stop(p);
    if (*stop == '"') [[likely]] {
      key = key_of_name(p, static_cast<std::size_t>(stop - p));
      return stop + 1;
    }
    if (*stop != '\\') return nullptr;
    std::string& decoded = parser_.unescaped_;
    decoded.assign(p, stop);
    const char* end = escaped_string<true>(stop, decoded);
    if (end != nullptr) key = json::key_from_name(decoded);
    return end;
  }

  const char* skip_string(const char* p) {
    const char* stop = string_stop(p);
    if (*stop == '"') [[likely]] return stop + 1;
    if (*stop != '\\') return nullptr;
    return escaped_string<false>(stop, parser_.unescaped_);
  }

  std::span<const Value> open_members(std::size_t start) const noexcept {
    return {parser_.stack_.data() + start, parser_.stack_.size() - start};
  }

  DirectParser& parser_;
  util::Arena& arena_;
  MemberSorter sorter_;
};

DirectParser::DirectParser() {
  stack_.reserve(1024);
  levels_.reserve(256);
  root_members_.reserve(64);
}

bool DirectParser::parse(const char* text, std::size_t size, util::Arena& arena) {
  stack_.clear();
  levels_.clear();
  root_members_.clear();
  root_ = Value();
  root_is_object_ = false;
  DirectPass pass(*this, arena);
  const char* p = pass.value<true>(skip_space(text), 0, Key::kNone);
  if (p == nullptr) return false;
  if (!root_is_object_) root_ = stack_.back();
  p = skip_space(p);
  return p == text + size;
}

}  // namespace marrowfin::json
