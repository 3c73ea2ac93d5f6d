#include "runtime/exception.h"

#include <cstdarg>

#include "runtime/log.h"
#include "runtime/utils.h"

Exception::Exception(const std::string& message, int error_code)
    : _message(message), _error_code(error_code) {}

void throw_exception(int error_code, const char* file, unsigned line, const char* pretty_function,
                     const char* format, ...) {
    std::string message;
    va_list ap;
    va_start(ap, format);
    format_string_va(message, format, ap);
    va_end(ap);

    std::string position;
    format_string(position, "%s:%u", file, line);
    std::string function = qualified_function_name(pretty_function);
    spice_log(SPICE_LOG_DOMAIN, SPICE_LOG_LEVEL_WARNING, position.c_str(), function.c_str(), "%s",
              message.c_str());

    std::string suffix;
    format_string(suffix, "{exception %s:%u}", file, line);
    throw Exception(message + suffix, error_code);
}
