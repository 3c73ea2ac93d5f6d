#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    Exception(const std::string& message, int error_code = 1);

    const char* what() const noexcept override { return _message.c_str(); }
    int get_error_code() const { return _error_code; }

private:
    std::string _message;
    int _error_code;
};

// The failure convention of the client classes: logs the formatted message as a SPICE-style warning
// naming the function and the source position, then throws Exception with the message followed by
// "{exception <file>:<line>}". Use through THROW / THROW_ERR.
[[noreturn]] void throw_exception(int error_code, const char* file, unsigned line,
                                  const char* pretty_function, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

#define THROW(...) throw_exception(1, __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
#define THROW_ERR(code, ...) throw_exception((code), __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
