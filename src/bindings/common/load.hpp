// Loading a stream file for a binding: the loader's result turned into a
// Python outcome, with what a Python user expects of a long call.
#pragma once

#include "bindings/common/compat.hpp"

#include <cstdint>
#include <optional>
#include <memory>
#include <string_view>

#include "core/load/first_definition.hpp"
#include "core/load/message_loader.hpp"

namespace marrowfin::py {

// The file at `path` (bytes without NUL), or nullptr with the Python error
// set: ValueError with the loader's text, MemoryError when the memory for the
// file could not be had (nothing of it kept), or the exception of a signal
// handler (Ctrl-C), which runs between blocks of the file. The process's
// decoded-size limit (decoded_limit()) applies. With `release_lock` the
// interpreter lock is let go during the load, taken back briefly to run
// signal handlers. With `copy_to`, every decoded byte goes to it too
// (load::LoadOptions::copy_to).
std::unique_ptr<load::MessageStore> load_file(std::string_view path, bool release_lock,
                                              io::ByteSink* copy_to = nullptr) noexcept;

// The same for a file's decoded bytes from a source that has them already
// (load::FirstDefinition::source), the lock let go.
std::unique_ptr<load::MessageStore> load_decoded(std::unique_ptr<io::ByteSource> source) noexcept;

// A file read as load_file() reads it with the lock let go, but on the
// calling thread alone and a chunk at a time, each chunk's messages handed
// to `take` (load::stream_messages) without the lock. False with the Python
// error set as load_file() sets it; `take` must not throw but bad_alloc.
[[nodiscard]] bool stream_file(std::string_view path, const load::TakeMessages& take) noexcept;
[[nodiscard]] bool stream_decoded(std::unique_ptr<io::ByteSource> source,
                                  const load::TakeMessages& take) noexcept;

// The first market definition of the file at `path`
// (load::read_first_definition), read as load_file reads with the lock let
// go: signal handlers between reads, the process's decoded-size limit. False
// with the Python error set when memory ran out or a handler raised; a
// failure of the file itself is in `out.error`. With `keep_source`, a
// definition found comes with the source to load the file from
// (load::DefinitionOptions::keep_source).
[[nodiscard]] bool read_first_definition(std::string_view path, load::FirstDefinition& out,
                                         bool keep_source = false) noexcept;

// Threads of every load in this process: 0 for the loader's own choice (one
// per usable core, the default); with 1 the calling thread parses and
// decodes alone. Worker processes that already cover the cores set 1, as
// threads of their own would only contend. Kept as the limit is.
unsigned load_threads() noexcept;
// Returns -1 with an error set.
[[nodiscard]] int set_load_threads(unsigned threads) noexcept;

// The decoded-size limit of the calling thread's loads, 0 for none (the
// default): the thread's own where it has one, else the process's. The
// module never sets either; the companion package sets the thread's around
// each recording it hands out, so that threads handing out recordings of
// different limits at once (as a Dask worker's do) each keep theirs. Kept
// in the interpreter's and the thread's dicts, so that both modules see one
// value.
std::uint64_t decoded_limit() noexcept;
// The process's alone, and setting it. Returns -1 with an error set.
std::uint64_t process_decoded_limit() noexcept;
[[nodiscard]] int set_decoded_limit(std::uint64_t limit) noexcept;
// The calling thread's own (or, with none, none: the process's applies);
// returns the one it replaces, or none, as a new reference; null with an
// error set.
[[nodiscard]] PyObject* swap_thread_decoded_limit(std::optional<std::uint64_t> limit) noexcept;

}  // namespace marrowfin::py
