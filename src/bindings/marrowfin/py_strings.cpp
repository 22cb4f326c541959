#include "bindings/marrowfin/py_strings.hpp"

namespace marrowfin::bindings {

Strings strings;

int init_strings() noexcept {
  if (strings.datetime != nullptr) return 0;
  Strings made;
#define MARROWFIN_MAKE_STRING(field, text)       \
  made.field = PyUnicode_InternFromString(text); \
  if (made.field == nullptr) return -1;
  MARROWFIN_STRINGS(MARROWFIN_MAKE_STRING)
#undef MARROWFIN_MAKE_STRING
  strings = made;
  return 0;
}

}  // namespace marrowfin::bindings
