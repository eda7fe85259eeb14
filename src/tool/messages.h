// The tool's coloured lines on standard output: the whole ("\033[31mError: ...\033[0m\n")
// or its label ("\033[31mError:\033[0m ...\n"); success, a green line and a blank one.
#pragma once

enum class Colour { Red = 31, Green = 32, Yellow = 33 };

// The formatted text, coloured, then the line's end.
void colouredLine(Colour colour, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The label coloured, a blank, the formatted text, then the line's end.
void labelledLine(Colour colour, const char* label, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// "Success: store data completed!" in green, then a blank line.
void successLines(const char* what);
