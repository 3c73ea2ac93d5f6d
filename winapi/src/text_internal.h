// Text conversions shared by the areas of this layer.
#pragma once

#include "winapi/wintypes.h"

#include <string>

namespace winapi_internal {

// UTF-16 to UTF-8 and back; anything invalid becomes U+FFFD.
std::string utf16_to_utf8(const char16_t* text, size_t length);
std::string utf16_to_utf8(const char16_t* text);
std::u16string utf8_to_utf16(const char* text, size_t length);
std::u16string utf8_to_utf16(const char* text);

// The ANSI code page (GBK) to UTF-16 and back; anything that does not convert becomes "?".
std::u16string ansi_to_utf16(const char* text, size_t length);
std::u16string ansi_to_utf16(const char* text);
std::string utf16_to_ansi(const char16_t* text, size_t length);
std::string utf16_to_ansi(const std::u16string& text);

size_t wide_length(const char16_t* text);

// The case-insensitive form of a character or a name, for comparisons (simple Unicode case mapping).
char16_t fold_case(char16_t c);
std::u16string fold_case(const std::u16string& text);

}  // namespace winapi_internal
