// The library's own formatter, used for all its text (log lines, error texts,
// names in messages) so that every platform formats alike.
//
// It behaves as C's snprintf: writes at most size - 1 characters and a
// terminating zero, returns the length the whole text needs (negative only
// when that exceeds INT_MAX), and with no buffer only measures.
//
// A conversion is '%', flags from "-+0 #", a width and a precision (digits
// or '*'), a length modifier (hh, h, l, ll, L, j, z, t, and Microsoft's I,
// I32, I64 and w) and one of "cdeEfFgGinopsSuxX"; "%%" gives '%'.
//   - %s/%c with l or w, and %S, take wide text, written as UTF-8.
//   - %p writes "0x" and the address in lower-case hex.
//   - %n consumes its pointer and writes nothing through it: a format must
//     never be a way to write into memory.
//   - An unknown conversion is copied as it stands and takes no argument.
#pragma once

#include <cstdarg>
#include <cstddef>

// GCC (mingw included) checks with the C library's own conventions under
// gnu_printf; clang only knows printf.
#if defined(__clang__)
#define AUD_FORMAT_CHECK(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define AUD_FORMAT_CHECK(format_index, first_arg) \
    __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define AUD_FORMAT_CHECK(format_index, first_arg)
#endif

int aud_snprintf(char* buffer, size_t size, const char* format, ...) AUD_FORMAT_CHECK(3, 4);
int aud_vsnprintf(char* buffer, size_t size, const char* format, va_list args);

// Allocates a buffer of the needed length plus one, formats into it and
// stores it in *out (free it with aud_format_free). Returns the length, or a
// negative value (and *out none) when formatting or allocation fails.
int aud_asprintf(char** out, const char* format, ...) AUD_FORMAT_CHECK(2, 3);
int aud_vasprintf(char** out, const char* format, va_list args);
void aud_format_free(char* text);
