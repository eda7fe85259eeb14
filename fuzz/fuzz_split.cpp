// Cutting text at a separator: the first byte is the separator.
#include "utils.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const char separator = static_cast<char>(data[0]);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto pieces = split(text, separator);
    std::string joined;
    std::size_t separators = 0;
    for (char c : text)
        separators += c == separator;
    for (std::size_t i = 0; i < pieces.size(); ++i)
        joined += (i ? std::string(1, separator) : std::string()) + pieces[i];
    if (pieces.size() != separators + 1 || joined != text)
        std::abort();
    return 0;
}
