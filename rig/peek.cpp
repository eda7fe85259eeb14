// peek FILE OFFSET LENGTH: the bytes at OFFSET of a PCI resource file, in
// hexadecimal, read through a read-only mapping as the kernel allows it
// (a memory BAR's resource file cannot be read with read(2)).  Exit 1 with
// the reason when the kernel refuses the mapping.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: peek FILE OFFSET LENGTH\n");
        return 2;
    }
    const unsigned long offset = std::strtoul(argv[2], nullptr, 0);
    const unsigned long length = std::strtoul(argv[3], nullptr, 0);
    const unsigned long start = offset & ~static_cast<unsigned long>(sysconf(_SC_PAGESIZE) - 1);
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "Cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    const size_t span = offset - start + length;
    void* map = mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
    const int mapError = errno;
    close(fd);
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "Cannot map %s: %s\n", argv[1], std::strerror(mapError));
        return 1;
    }
    const volatile unsigned char* bytes = static_cast<const volatile unsigned char*>(map) + (offset - start);
    for (unsigned long i = 0; i < length; ++i)
        std::printf("%02x%s", bytes[i], i + 1 < length ? " " : "\n");
    munmap(map, span);
    return 0;
}
