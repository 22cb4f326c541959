#include "parse/message_loader.hpp"

namespace marrowfin::parse {

LoadResult load_messages(std::string_view) {
  LoadResult result;
  result.store = std::make_unique<MessageStore>();
  return result;
}

}  // namespace marrowfin::parse
