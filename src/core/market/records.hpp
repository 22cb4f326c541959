// Plain records shared by the market cache and the Python classes that expose
// copies of them. Python-free.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace marrowfin::market {

// One price/size pair of a ladder read-out, price first.
struct PriceSizePair {
  double price;
  double size;
  friend bool operator==(const PriceSizePair&, const PriceSizePair&) = default;
};

// One starting price: none, a number, or a text kept as the stream gave it.
using SpValue = std::variant<std::monostate, double, std::string>;

// One runner as a market definition lists it.
struct MarketDefinitionRunner {
  std::int64_t selection_id = 0;
  std::int32_t sort_priority = 0;
  std::string status = "ACTIVE";
  double handicap = 0.0;
  std::optional<double> adjustment_factor;
  std::optional<double> bsp;
  std::optional<std::string> removal_date;
  std::optional<std::string> name;
};

// A strong reference to the Python object last built from a piece of state,
// with the change count that state had then. The core never looks inside; the
// binding layer installs the function that drops a reference.
class ReuseSlot {
 public:
  using Release = void (*)(void* object) noexcept;
  static void set_release(Release release) noexcept { release_ = release; }

  ReuseSlot() noexcept = default;
  ReuseSlot(const ReuseSlot&) = delete;
  ReuseSlot& operator=(const ReuseSlot&) = delete;
  ReuseSlot(ReuseSlot&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)), count_(other.count_) {}
  ReuseSlot& operator=(ReuseSlot&& other) noexcept {
    if (this != &other) {
      drop();
      object_ = std::exchange(other.object_, nullptr);
      count_ = other.count_;
    }
    return *this;
  }
  ~ReuseSlot() { drop(); }

  // The stored object (borrowed) if it was built at `count`, else nullptr.
  void* get_if_current(std::uint64_t count) const noexcept {
    return (object_ != nullptr && count_ == count) ? object_ : nullptr;
  }
  void* get() const noexcept { return object_; }
  std::uint64_t count() const noexcept { return count_; }
  // Takes over one reference to `object`, built at `count`.
  void store(void* object, std::uint64_t count) noexcept {
    drop();
    object_ = object;
    count_ = count;
  }

 private:
  void drop() noexcept {
    if (object_ != nullptr && release_ != nullptr) release_(object_);
    object_ = nullptr;
  }
  static inline Release release_ = nullptr;
  void* object_ = nullptr;
  std::uint64_t count_ = 0;
};

}  // namespace marrowfin::market
