// The plain GMP way to the same digits, as a baseline for the direct route:
// mpz_sqrt of 2 * 10^(2N), mpz_get_str, fwrite.
//
//   build/bench/gmp_baseline DIGITS FILE
#include <gmp.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: gmp_baseline DIGITS FILE\n");
    return 2;
  }
  unsigned long digits = std::strtoul(argv[1], nullptr, 10);
  mpz_t root;
  mpz_init(root);
  mpz_ui_pow_ui(root, 10, 2 * digits);
  mpz_mul_ui(root, root, 2);
  mpz_sqrt(root, root);
  char* text = mpz_get_str(nullptr, 10, root);
  std::FILE* out = std::fopen(argv[2], "wb");
  std::fwrite("1.", 1, 2, out);
  std::fwrite(text + 1, 1, digits, out);
  std::fclose(out);
  return 0;
}
