// Attribute-less shells until the classes are filled in.
#include "market/py_classes.hpp"
#include "support/py_type.hpp"

namespace marrowfin::market {
namespace {
struct Empty {};
template <const char* Name, const char* Doc>
py::ClassSpec shell() {
  return {Name, Doc, sizeof(py::Object<Empty>), py::dealloc_instance<Empty>};
}
constexpr char kBook[] = "builtins.MarketBook";
constexpr char kBookDoc[] = "A market book snapshot";
constexpr char kRunner[] = "builtins.Runner";
constexpr char kRunnerDoc[] = "A runner in the market";
constexpr char kEx[] = "builtins.ExchangePrices";
constexpr char kExDoc[] = "Exchange prices for a runner (back/lay/traded)";
constexpr char kSp[] = "builtins.StartingPrices";
constexpr char kSpDoc[] = "Starting prices for a runner";
constexpr char kPs[] = "builtins.PriceSize";
constexpr char kPsDoc[] = "A price/size pair in the order book";
constexpr char kDef[] = "builtins.MarketDefinition";
constexpr char kDefDoc[] = "Market definition - metadata about the market";
constexpr char kDefRunner[] = "builtins.MarketDefinitionRunner";
constexpr char kDefRunnerDoc[] = "A runner in a market definition";
}  // namespace

PyTypeObject* market_book_type() noexcept { return py::ClassHolder<shell<kBook, kBookDoc>>::get(); }
PyTypeObject* runner_type() noexcept { return py::ClassHolder<shell<kRunner, kRunnerDoc>>::get(); }
PyTypeObject* exchange_prices_type() noexcept { return py::ClassHolder<shell<kEx, kExDoc>>::get(); }
PyTypeObject* starting_prices_type() noexcept { return py::ClassHolder<shell<kSp, kSpDoc>>::get(); }
PyTypeObject* price_size_type() noexcept { return py::ClassHolder<shell<kPs, kPsDoc>>::get(); }
PyTypeObject* market_definition_type() noexcept { return py::ClassHolder<shell<kDef, kDefDoc>>::get(); }
PyTypeObject* market_definition_runner_type() noexcept {
  return py::ClassHolder<shell<kDefRunner, kDefRunnerDoc>>::get();
}

}  // namespace marrowfin::market
