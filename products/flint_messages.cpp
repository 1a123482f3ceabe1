// FLINT's printf family, which its product code calls only for the message it prints before it
// stops on an internal error. The part of FLINT built for this program leaves out FLINT's own
// formatted printing (and with it the printers of all of FLINT's types), so the message's text is
// written as it stands.
#include <cstdarg>
#include <cstdio>

extern "C" {

int flint_vfprintf(std::FILE* stream, const char* format, std::va_list) {
  return std::fputs(format, stream);
}

int flint_vprintf(const char* format, std::va_list) { return std::fputs(format, stdout); }

int flint_printf(const char* format, ...) { return std::fputs(format, stdout); }

int flint_fprintf(std::FILE* stream, const char* format, ...) { return std::fputs(format, stream); }

}  // extern "C"
