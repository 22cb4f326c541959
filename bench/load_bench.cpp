// Native timings of load_messages, without Python, for a chosen work split.
//
//   marrowfin_load_bench FILE [THREADS [CHUNK_BYTES [ROUNDS [BZIP2_THREADS [reader]]]]]
//
// A last argument "reader" parses every line with the RapidJSON reader alone,
// as loads did before the direct parser.
// THREADS 0 (the default) is one per core, CHUNK_BYTES 0 (the default) the
// loader's own chunk size; BZIP2_THREADS as Bzip2Source takes
// them (0: the reading thread decodes), by default its own choice. Prints the best wall time and the
// CPU time of that round; run by hand, figures are for comparison within
// one run.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/load/message_loader.hpp"

namespace {

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec); };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [THREADS [CHUNK_BYTES [ROUNDS [BZIP2_THREADS [reader]]]]]\n",
                 argv[0]);
    return 2;
  }
  marrowfin::load::LoadOptions options;
  if (argc > 2) options.threads = static_cast<unsigned>(std::atoi(argv[2]));
  // A chunk size of 0 would make every line a chunk of its own.
  if (argc > 3 && std::strtoull(argv[3], nullptr, 10) != 0) {
    options.chunk_size = std::strtoull(argv[3], nullptr, 10);
  }
  int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  if (argc > 5) options.bzip2_threads = std::atoi(argv[5]);
  bool reader = argc > 6 && std::string(argv[6]) == "reader";
  if (reader) options.json_method = marrowfin::json::LineParser::Method::kReader;
  double best = 1e300;
  double best_cpu = 0;
  std::size_t messages = 0;
  for (int round = 0; round < rounds; ++round) {
    double cpu = cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    marrowfin::load::LoadResult loaded = marrowfin::load::load_messages(
        argv[1], marrowfin::io::Inflater::default_backend(), options);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = cpu_seconds() - cpu;
    if (!loaded.store) {
      std::fprintf(stderr, "load failed: %s\n", loaded.error.c_str());
      return 1;
    }
    messages = loaded.store->messages.size();
    if (wall < best) {
      best = wall;
      best_cpu = cpu;
    }
  }
  std::printf("%s: %zu messages, threads %u, chunks of %zu bytes, %s: best %.3f s wall, %.3f s CPU\n",
              argv[1], messages, options.threads, options.chunk_size,
              reader ? "reader" : "direct parser", best, best_cpu);
  return 0;
}
