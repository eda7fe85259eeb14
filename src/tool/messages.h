// The tool's coloured lines, in the forms its messages take: the whole line
// in one colour ("\033[31mError: ...\033[0m\n"), or only its label
// ("\033[31mError:\033[0m ...\n"); a mode's success is a green line and a
// blank one.  Both go to standard output, as every
// message of the tool does, and their bytes are interface.
#pragma once

enum class Colour { Red = 31, Green = 32, Yellow = 33 };

// The formatted text, coloured, then the line's end.
void colouredLine(Colour colour, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The label coloured, a blank, the formatted text, then the line's end.
void labelledLine(Colour colour, const char* label, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// "Success: store data completed!" in green, then a blank line.
void successLines(const char* what);
