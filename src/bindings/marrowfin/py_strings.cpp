#include "bindings/marrowfin/py_strings.hpp"

#include "core/json/value.hpp"

namespace marrowfin::bindings {

Strings strings;

int init_strings() noexcept {
  if (strings.datetime != nullptr) return 0;
  Strings made;
#define MARROWFIN_MAKE_STRING(field, text)       \
  made.field = PyUnicode_InternFromString(text); \
  if (made.field == nullptr) return -1;
  MARROWFIN_STRINGS(MARROWFIN_MAKE_STRING)
#define MARROWFIN_MAKE_KEY_STRING(key, member, ...) \
  MARROWFIN_MAKE_STRING(member, json::key_name(json::Key::k##key).data())
  MARROWFIN_DEFINITION_FIELDS(MARROWFIN_MAKE_KEY_STRING, MARROWFIN_MAKE_KEY_STRING,
                              MARROWFIN_MAKE_KEY_STRING, MARROWFIN_NO_ROW)
#undef MARROWFIN_MAKE_KEY_STRING
#undef MARROWFIN_MAKE_STRING
  strings = made;
  return 0;
}

}  // namespace marrowfin::bindings
