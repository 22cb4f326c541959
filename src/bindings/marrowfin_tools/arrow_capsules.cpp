#include "bindings/marrowfin_tools/arrow_capsules.hpp"

#include "bindings/common/errors.hpp"
#include "core/table/table_stream.hpp"

namespace marrowfin::tools {
namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kSchemaCapsule = "arrow_schema";

// Capsule destructors: a consumer that took the struct over has set its
// release to null; one that never did leaves it to us.
void release_stream_capsule(PyObject* capsule) noexcept {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

void release_schema_capsule(PyObject* capsule) noexcept {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
  if (schema == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

}  // namespace

bool parse_stream_arguments(PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                   const_cast<char**>(keywords), &requested)) {
    return false;
  }
  if (requested != Py_None && !PyCapsule_IsValid(requested, kSchemaCapsule)) {
    py::set_requested_schema_type(requested);
    return false;
  }
  return true;
}

py::Ref stream_capsule(std::unique_ptr<table::BatchReader> reader) noexcept {
  return py::Ref::steal(py::guard([&]() -> PyObject* {
    auto stream = std::make_unique<ArrowArrayStream>();
    table::export_table_stream(std::move(reader), stream.get());
    PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, release_stream_capsule);
    if (capsule == nullptr) {
      stream->release(stream.get());
      return nullptr;
    }
    (void)stream.release();
    return capsule;
  }));
}

py::Ref schema_capsule(std::span<const table::Field> fields) noexcept {
  return py::Ref::steal(py::guard([&]() -> PyObject* {
    auto schema = std::make_unique<ArrowSchema>();
    table::export_struct_schema(fields, schema.get());
    PyObject* capsule = PyCapsule_New(schema.get(), kSchemaCapsule, release_schema_capsule);
    if (capsule == nullptr) {
      schema->release(schema.get());
      return nullptr;
    }
    (void)schema.release();
    return capsule;
  }));
}

}  // namespace marrowfin::tools
