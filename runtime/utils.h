#pragma once

#include <cstdarg>
#include <string>

// Replaces str with the printf-style formatted text, however long it is.
void format_string(std::string& str, const char* format, ...) __attribute__((format(printf, 2, 3)));
void format_string_va(std::string& str, const char* format, va_list ap) __attribute__((format(printf, 2, 0)));

// Text of a Windows error number. Texts are cached and never freed, so the pointer stays valid for the
// life of the process and may be used by any thread.
const char* system_error_text(int error);

// "Lock::timed_lock" from a __PRETTY_FUNCTION__ such as "void Lock::timed_lock()". A name without a
// parameter list is returned as it is.
std::string qualified_function_name(const char* pretty_function);
