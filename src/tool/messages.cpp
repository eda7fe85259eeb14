#include "messages.h"

#include <cstdarg>
#include <cstdio>

void colouredLine(Colour colour, const char* format, ...)
{
    std::printf("\033[%dm", static_cast<int>(colour));
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputs("\033[0m\n", stdout);
}

void labelledLine(Colour colour, const char* label, const char* format, ...)
{
    std::printf("\033[%dm%s\033[0m ", static_cast<int>(colour), label);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputs("\n", stdout);
}

void successLines(const char* what)
{
    colouredLine(Colour::Green, "Success: %s completed!", what);
    std::fputs("\n", stdout);
}
