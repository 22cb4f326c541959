#include "bindings/marrowfin/time_conversion.hpp"

#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/market/stream_time.hpp"
#include "bindings/marrowfin/py_convert.hpp"
#include "bindings/marrowfin/py_strings.hpp"

namespace marrowfin::bindings {
namespace {

// The interpreter's own builtins.__import__, as it was when the module was
// initialised (null if code had replaced it by then). Kept for the process.
PyObject* builtin_import = nullptr;

// The module the import machinery last returned for "datetime" (a strong
// reference, so that its address is never another object's). Kept for the process.
PyObject* imported_module = nullptr;

// The datetime module, imported as the `import` statement imports it: straight
// through the import machinery (which takes it from sys.modules after the first
// import) unless code has replaced builtins.__import__, which is then called.
// New reference or empty.
py::Ref import_datetime() noexcept {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed, of the running frame
  PyObject* import = builtins != nullptr ? PyDict_GetItemWithError(builtins, strings.dunder_import)
                                         : nullptr;  // borrowed
  if (import != nullptr && import == builtin_import) {
    // The machinery's own first step is this lookup in its module table; the
    // rest (waiting for a module still being imported) is done already when
    // the entry is the module it returned before.
    PyObject* entry = PyDict_GetItemWithError(PyImport_GetModuleDict(), strings.datetime);
    if (entry != nullptr && entry == imported_module) return py::Ref::new_ref(entry);
    if (PyErr_Occurred()) return {};
    py::Ref module = py::Ref::steal(
        PyImport_ImportModuleLevelObject(strings.datetime, nullptr, nullptr, nullptr, 0));
    if (module) {
      Py_XSETREF(imported_module, Py_NewRef(module.get()));
    }
    return module;
  }
  if (PyErr_Occurred()) return {};
  return py::Ref::steal(PyImport_Import(strings.datetime));
}

// module.datetime. A plain module's attribute is the entry of its dict (its
// class has no attribute of that name); anything else, a missing entry
// included, takes the full lookup with its errors. New reference or empty.
py::Ref class_attribute(PyObject* module) noexcept {
  if (PyModule_CheckExact(module)) {
    PyObject* entry = PyDict_GetItemWithError(PyModule_GetDict(module), strings.datetime);
    if (entry != nullptr) return py::Ref::new_ref(entry);
    if (PyErr_Occurred()) return {};
  }
  return py::Ref::steal(PyObject_GetAttr(module, strings.datetime));
}

// Notes the C datetime module's API in the header's PyDateTimeAPI when `cls`
// is its class or a subclass of it (a class written in Python has a bare name,
// so only a C class is named "datetime.datetime"; a time-freezing library may
// have put in its subclass before the first time is made) and `module` exports
// the API. It stays null while the interpreter's datetime is the pure-Python
// one. A failed lookup is no failure: the calls then go to the class.
void find_api(PyObject* module, PyObject* cls) noexcept {
  if (!PyType_Check(cls)) return;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  while (type != nullptr && std::strcmp(type->tp_name, "datetime.datetime") != 0) type = type->tp_base;
  if (type == nullptr) return;
  py::Ref capsule = py::Ref::steal(PyObject_GetAttr(module, strings.datetime_capi));
  if (capsule && PyCapsule_IsValid(capsule.get(), PyDateTime_CAPSULE_NAME)) {
    auto* api = static_cast<PyDateTime_CAPI*>(
        PyCapsule_GetPointer(capsule.get(), PyDateTime_CAPSULE_NAME));
    if (api != nullptr && api->DateTimeType == type) PyDateTimeAPI = api;
  }
  PyErr_Clear();
}

// How the values of the class that datetime.datetime names now are made.
enum class Maker : std::uint8_t {
  kOwn,       // the interpreter's own class: made here through its C API
  kSubclass,  // a subclass of it: made here where it inherits the class method
  kForeign,   // anything else: its class methods are called
};

// datetime.datetime as the interpreter has it now, and how its values are
// made. New reference or empty.
py::Ref datetime_class(Maker& maker) noexcept {
  maker = Maker::kForeign;
  py::Ref module = import_datetime();
  if (!module) return {};
  py::Ref cls = class_attribute(module.get());
  if (!cls) return {};
  if (PyDateTimeAPI == nullptr) find_api(module.get(), cls.get());
  if (PyDateTimeAPI == nullptr) return cls;
  PyTypeObject* own = PyDateTimeAPI->DateTimeType;
  if (cls.get() == reinterpret_cast<PyObject*>(own)) {
    maker = Maker::kOwn;
  } else if (PyType_Check(cls.get()) &&
             PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.get()), own)) {
    maker = Maker::kSubclass;
  }
  return cls;
}

// Whether the subclass `cls` has the class method `name` of the interpreter's
// own class, not one of its own or of a class between them. A time-freezing
// library's subclass typically overrides the clock methods only; a test double
// overriding this method gets its calls.
bool inherits_class_method(PyObject* cls, PyObject* name) noexcept {
  py::Ref mine = py::Ref::steal(PyObject_GetAttr(cls, name));
  py::Ref own = mine ? py::Ref::steal(PyObject_GetAttr(
                           reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), name))
                     : py::Ref();
  if (!own) {
    PyErr_Clear();  // the call that follows meets the same failure
    return false;
  }
  return PyCFunction_Check(mine.get()) && PyCFunction_Check(own.get()) &&
         PyCFunction_GET_FUNCTION(mine.get()) == PyCFunction_GET_FUNCTION(own.get());
}

// A datetime of the subclass `cls`, made as the interpreter's own class
// methods make one: by calling the class with the fields, and with `tzinfo`
// (None for utcfromtimestamp, timezone.utc for fromtimestamp with it, or for
// an aware strptime's value) when given, without it for strptime. New reference or empty.
py::Ref make_subclass_datetime(PyObject* cls, const market::CivilTime& t,
                               PyObject* tzinfo) noexcept {
  const int year = static_cast<int>(std::clamp<std::int64_t>(t.year, -999999999, 999999999));
  if (tzinfo == nullptr) {
    return py::Ref::steal(PyObject_CallFunction(cls, "iiiiiii", year, t.month, t.day, t.hour,
                                                t.minute, t.second, t.microsecond));
  }
  return py::Ref::steal(PyObject_CallFunction(cls, "iiiiiiiO", year, t.month, t.day, t.hour,
                                              t.minute, t.second, t.microsecond, tzinfo));
}

// cls.<method>(argument[, extra]). New reference or empty.
py::Ref call_class_method(PyObject* cls, PyObject* method, PyObject* argument,
                          PyObject* extra = nullptr) noexcept {
  PyObject* args[] = {cls, argument, extra};
  const std::size_t count = extra != nullptr ? 3 : 2;
  return py::Ref::steal(PyObject_VectorcallMethod(method, args, count, nullptr));
}

// A datetime of the interpreter's own class with `tzinfo` (None: naive); a
// year outside 1..9999 gets the class's own ValueError. New reference or empty.
py::Ref make_datetime(const market::CivilTime& t, PyObject* tzinfo) noexcept {
  // A 64-bit millisecond count stays within a few hundred million years.
  const int year = static_cast<int>(std::clamp<std::int64_t>(t.year, -999999999, 999999999));
  return py::Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
      year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond, tzinfo,
      PyDateTimeAPI->DateTimeType));
}

// datetime.timezone.utc: the C module's own when its API is known, else the
// attribute of the datetime module imported now. New reference or empty.
py::Ref utc_timezone() noexcept {
  if (PyDateTimeAPI != nullptr) return py::Ref::new_ref(PyDateTimeAPI->TimeZone_UTC);
  py::Ref module = import_datetime();
  if (!module) return {};
  py::Ref timezone = py::Ref::steal(PyObject_GetAttr(module.get(), strings.timezone));
  if (!timezone) return {};
  return py::Ref::steal(PyObject_GetAttr(timezone.get(), strings.utc));
}

// value.replace(tzinfo=timezone.utc) of a datetime made by a class method.
// Steals `value`; new reference or empty.
py::Ref with_utc(py::Ref value) noexcept {
  if (!value) return {};
  py::Ref utc = utc_timezone();
  if (!utc) return {};
  PyObject* args[] = {value.get(), utc.get()};
  py::Ref names = py::Ref::steal(PyTuple_Pack(1, strings.tzinfo));
  if (!names) return {};
  return py::Ref::steal(PyObject_VectorcallMethod(strings.replace, args, 1, names.get()));
}

}  // namespace

int init_time_conversion() noexcept {
  if (builtin_import != nullptr) return 0;
  py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  py::Ref import = py::Ref::steal(PyObject_GetAttr(builtins.get(), strings.dunder_import));
  if (!import) return -1;
  // Only the C function of the builtins module takes the direct path.
  if (PyCFunction_Check(import.get()) && PyCFunction_GET_SELF(import.get()) == builtins.get()) {
    builtin_import = import.release();
  }
  return 0;
}

py::Ref parse_datetime_or_none(const std::optional<std::string>& text, bool aware) noexcept {
  if (!text) return py::Ref::new_ref(Py_None);
  Maker maker = Maker::kForeign;
  py::Ref cls = datetime_class(maker);
  if (!cls) return {};
  if (maker == Maker::kOwn ||
      (maker == Maker::kSubclass && inherits_class_method(cls.get(), strings.strptime))) {
    if (std::optional<market::CivilTime> parsed = market::parse_definition_time(*text)) {
      if (maker == Maker::kOwn) {
        return make_datetime(*parsed, aware ? PyDateTime_TimeZone_UTC : Py_None);
      }
      return make_subclass_datetime(cls.get(), *parsed,
                                    aware ? PyDateTime_TimeZone_UTC : nullptr);
    }
  }
  py::Ref value = to_python(*text);
  if (!value) return {};
  py::Ref parsed = call_class_method(cls.get(), strings.strptime, value.get(),
                                     strings.fractional_seconds_format);
  if (!parsed) {
    PyErr_Clear();
    parsed = call_class_method(cls.get(), strings.strptime, value.get(),
                               strings.whole_seconds_format);
  }
  if (aware) return with_utc(std::move(parsed));
  return parsed;
}

py::Ref publish_time_to_datetime(std::int64_t milliseconds, bool aware) noexcept {
  Maker maker = Maker::kForeign;
  py::Ref cls = datetime_class(maker);
  if (!cls) return {};
  // The interpreter's own class, and a subclass that inherits the method, get
  // the value utcfromtimestamp (fromtimestamp with timezone.utc, when aware)
  // would give, without its deprecation warning; a class with a method of its
  // own is called as it always was.
  PyObject* method = aware ? strings.fromtimestamp : strings.utcfromtimestamp;
  if (maker == Maker::kOwn) {
    return make_datetime(market::utc_from_milliseconds(milliseconds),
                         aware ? PyDateTime_TimeZone_UTC : Py_None);
  }
  if (maker == Maker::kSubclass && inherits_class_method(cls.get(), method)) {
    return make_subclass_datetime(cls.get(), market::utc_from_milliseconds(milliseconds),
                                  aware ? PyDateTime_TimeZone_UTC : Py_None);
  }
  py::Ref seconds = to_python(static_cast<double>(milliseconds) / 1000.0);
  if (!seconds) return {};
  if (!aware) return call_class_method(cls.get(), method, seconds.get());
  py::Ref utc = utc_timezone();
  if (!utc) return {};
  return call_class_method(cls.get(), method, seconds.get(), utc.get());
}

}  // namespace marrowfin::bindings
