#include "core/io/encoding.hpp"

#include "core/io/bzip2_source.hpp"
#include "core/io/gzip_source.hpp"
#include "core/io/zstd_source.hpp"

namespace marrowfin::io {

Encoding encoding_from_name(std::string_view path) noexcept {
  // Trailing separators and "." components do not name anything.
  for (;;) {
    if (path.size() > 1 && path.back() == '/') {
      path.remove_suffix(1);
    } else if (path.size() > 2 && path.ends_with("/.")) {
      path.remove_suffix(2);
    } else {
      break;
    }
  }
  std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return Encoding::kPlain;
  std::string_view extension = name.substr(dot + 1);
  if (extension == "gz" || extension == "gzip") return Encoding::kGzip;
  if (extension == "bz2") return Encoding::kBzip2;
  if (extension == "zst") return Encoding::kZstd;
  return Encoding::kPlain;
}

std::unique_ptr<ByteSource> decoded(std::unique_ptr<ByteSource> file, Encoding encoding,
                                    Inflater::Backend backend, unsigned bzip2_threads) {
  switch (encoding) {
    case Encoding::kGzip:
      return std::make_unique<GzipSource>(std::move(file), backend);
    case Encoding::kBzip2:
      return std::make_unique<Bzip2Source>(std::move(file), bzip2_threads);
    case Encoding::kZstd:
      return std::make_unique<ZstdSource>(std::move(file));
    case Encoding::kPlain:
      break;
  }
  return file;
}

}  // namespace marrowfin::io
