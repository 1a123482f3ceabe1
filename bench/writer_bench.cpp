// Throughput of the result writer: 10^7 digits in each format to a file, against one plain fwrite
// of the same number of bytes, measured in the same run.
//
//   build/bench/writer_bench [digits] [directory]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "numbers/fixed_decimal.h"
#include "output/output_format.h"
#include "output/progress.h"
#include "output/result_writer.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long file_size(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::fseek(file, 0, SEEK_END);
  long size = std::ftell(file);
  std::fclose(file);
  return size;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t digits =
      argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 10000000u;
  std::string directory = argc > 2 ? argv[2] : "/tmp";
  std::vector<Word> sum(static_cast<std::size_t>(words_for_positions(digits)));
  std::uint64_t seed = 88172645463325252ull;
  for (Word& word : sum) {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    word = static_cast<Word>(seed % WORD_BASE);
  }
  sum[0] = WORD_ONE + sum[0] % WORD_ONE;
  std::FILE* bar = std::fopen("/dev/null", "w");
  // The writer ends every result with a line feed on standard output; the figures go elsewhere.
  std::FILE* table = fdopen(dup(fileno(stdout)), "w");
  if (table == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  const char* names[] = {"text", "text2", "raw", "binary"};
  std::fprintf(table, "%-7s %12s %10s %10s %8s\n", "format", "bytes", "writer s", "fwrite s",
               "ratio");
  for (std::uint32_t format = FORMAT_TEXT; format <= FORMAT_LAST; ++format) {
    std::string path = directory + "/writer_bench." + names[format];
    double best_writer = 1e9, best_plain = 1e9;
    long bytes = 0;
    for (int round = 0; round < 3; ++round) {
      ResultDigits result;
      result.words = sum.data();
      result.positions = digits + 1;
      result.format = format;
      progress_start(bar, digits + 1);
      auto start = std::chrono::steady_clock::now();
      if (!write_result(result, path.c_str())) return 1;
      double writer = seconds_since(start);
      bytes = file_size(path);

      std::vector<char> block(static_cast<std::size_t>(bytes), '7');
      std::FILE* out = std::fopen(path.c_str(), "wb");
      start = std::chrono::steady_clock::now();
      std::fwrite(block.data(), 1, block.size(), out);
      std::fclose(out);
      double plain = seconds_since(start);
      if (writer < best_writer) best_writer = writer;
      if (plain < best_plain) best_plain = plain;
    }
    std::remove(path.c_str());
    std::fprintf(table, "%-7s %12ld %10.4f %10.4f %7.2fx\n", names[format], bytes, best_writer,
                 best_plain, best_writer / best_plain);
  }
  std::fclose(bar);
  std::fclose(table);
  return 0;
}
