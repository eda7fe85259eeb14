// The accounting of a command's output in a reply buffer: the first byte is
// the buffer size; the rest is cut into pieces as a 256-byte line buffer
// reads them (at most 255 characters, ending after a line feed).
#include "utils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int replySize = data[0];
    std::unique_ptr<char[]> reply(new char[replySize > 0 ? replySize : 1]);
    const std::string output(reinterpret_cast<const char*>(data + 1), size - 1);
    int used = 0;
    std::string kept;
    for (std::size_t at = 0; at < output.size();) {
        std::size_t length = std::min<std::size_t>(255, output.size() - at);
        const auto end = output.find('\n', at);
        if (end != std::string::npos && end - at + 1 < length)
            length = end - at + 1;
        if (!keepPiece(reply.get(), replySize, used, output.data() + at, length))
            break;
        kept.append(output, at, length);
        at += length;
    }
    // Always room for the terminator, and exactly the pieces kept.
    if (replySize > 0 && (used >= replySize || std::memcmp(reply.get(), kept.data(), used) != 0))
        std::abort();
    if (replySize == 0 && used != 0)
        std::abort();
    return 0;
}
