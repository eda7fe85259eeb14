#include "kernel_cmdline.h"

#include "platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

const char* const KERNEL_COMMAND_LINE = "/proc/cmdline";

namespace {

// A blank as the kernel's isspace() has it: the C locale's, and Latin-1's 0xA0.
bool kernelSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r') || static_cast<unsigned char>(c) == 0xA0;
}

// A number as the kernel's sscanf reads "%x" (blanks, then an optional 0x); no digit: false.
bool scanHex(const char*& p, unsigned long& value)
{
    const char* s = p;
    while (kernelSpace(*s))
        ++s;
    if (!std::isxdigit(static_cast<unsigned char>(*s)))
        return false;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && std::isxdigit(static_cast<unsigned char>(s[2])))
        s += 2;
    value = 0;
    while (std::isxdigit(static_cast<unsigned char>(*s))) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*s++)));
        value = value * 16 + static_cast<unsigned long>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    p = s;
    return true;
}

// How many numbers of a format ("x:x.x") matched, as sscanf counts them; `p` moves
// past what matched.
int scanFields(const char*& p, const char* format, unsigned long* values)
{
    int matched = 0;
    for (const char* f = format; *f; ++f) {
        if (*f == 'x') {
            if (!scanHex(p, values[matched]))
                return matched;
            ++matched;
        } else if (*p++ != *f) {
            return matched;
        }
    }
    return matched;
}

unsigned devfn(unsigned long slot, unsigned long function)
{
    return static_cast<unsigned>((slot & 0x1f) << 3 | (function & 0x7));
}

// One entry at `p` (moved past it): 1 when it names the device, 0 not, -1 unparsable.
int matchEntry(const std::vector<PciIdentity>& chain, const char*& p)
{
    const PciIdentity& dev = chain.front();
    if (std::strncmp(p, "pci:", 4) == 0) {
        // "%hx:%hx:%hx:%hx", or else "%hx:%hx".
        unsigned long id[4] = {};
        p += 4;
        const char* q = p;
        if (scanFields(q, "x:x:x:x", id) != 4) {
            q = p;
            if (scanFields(q, "x:x", id) != 2)
                return -1;
            id[2] = id[3] = 0;
        }
        p = q;
        const uint16_t have[4] = {dev.vendor, dev.device, dev.subsystemVendor, dev.subsystemDevice};
        for (int i = 0; i < 4; ++i)
            if (static_cast<uint16_t>(id[i]) && static_cast<uint16_t>(id[i]) != have[i])
                return 0;
        return 1;
    }
    // A path: the entry runs to the next ';', every "/DD.F" from the last back
    // names the device and each bridge above it, the rest the topmost's address.
    const char* end = std::strchr(p, ';');
    if (!end)
        end = p + std::strlen(p);
    std::string path(p, end);
    p = end;
    std::size_t above = 0;
    unsigned long v[4];
    // Exactly the format, from `at` to the end.
    const auto fits = [&](const char* at, const char* format, int fields) {
        return scanFields(at, format, v) == fields && *at == '\0';
    };
    for (std::size_t slash; (slash = path.rfind('/')) != std::string::npos;) {
        if (!fits(path.c_str() + slash + 1, "x.x", 2))
            return -1;
        if (chain[above].devfn != devfn(v[0], v[1]) || ++above >= chain.size())
            return 0;
        path.resize(slash);
    }
    unsigned long domain = 0, bus, slot, function;
    if (fits(path.c_str(), "x:x:x.x", 4))
        domain = v[0], bus = v[1], slot = v[2], function = v[3];
    else if (fits(path.c_str(), "x:x.x", 3))
        bus = v[0], slot = v[1], function = v[2];
    else
        return -1;
    const PciIdentity& top = chain[above];
    return domain == top.domain && bus == top.bus && devfn(slot, function) == top.devfn;
}

} // namespace

std::vector<std::string> kernelParameters(const std::string& commandLine)
{
    // The kernel's next_arg(): a parameter ends at a blank outside quotes; a
    // quote opening it or its value is dropped with the one that ends it.
    std::vector<std::string> parameters;
    std::size_t i = 0;
    // /proc/cmdline ends the line the kernel parsed with a line feed.
    const std::size_t n = commandLine.size() - (!commandLine.empty() && commandLine.back() == '\n');
    while (true) {
        while (i < n && kernelSpace(commandLine[i]))
            ++i;
        if (i >= n)
            break;
        bool quoted = false, inQuote = false;
        if (commandLine[i] == '"') {
            ++i;
            quoted = inQuote = true;
        }
        const std::size_t start = i;
        std::size_t equals = std::string::npos;
        for (; i < n; ++i) {
            const char c = commandLine[i];
            if (kernelSpace(c) && !inQuote)
                break;
            if (equals == std::string::npos && c == '=')
                equals = i;
            if (c == '"')
                inQuote = !inQuote;
        }
        std::string name, value;
        bool hasValue = equals != std::string::npos;
        std::size_t last = i;   // one past the parameter's last character
        bool lastDropped = false;
        if (hasValue) {
            name = commandLine.substr(start, equals - start);
            std::size_t from = equals + 1;
            if (from < last && commandLine[from] == '"') {
                ++from;
                if (last > start && commandLine[last - 1] == '"') {
                    --last;
                    lastDropped = true;
                }
            }
            if (quoted && !lastDropped && last > from && commandLine[last - 1] == '"')
                --last;
            value = commandLine.substr(from, last > from ? last - from : 0);
            parameters.push_back(name + "=" + value);
        } else {
            if (quoted && last > start && commandLine[last - 1] == '"')
                --last;
            // parse_args() (and the early parse of pci=) stops at a bare "--".
            if (commandLine.compare(start, last - start, "--") == 0)
                break;
            parameters.push_back(commandLine.substr(start, last - start));
        }
    }
    return parameters;
}

std::optional<std::string> acsRedirList(const std::vector<std::string>& parameters)
{
    static const std::string OPTION = "disable_acs_redir=";
    std::optional<std::string> list;
    for (const std::string& parameter : parameters) {
        if (parameter.compare(0, 4, "pci=") != 0)
            continue;
        std::istringstream options(parameter.substr(4));
        for (std::string option; std::getline(options, option, ',');)
            if (option.compare(0, OPTION.size(), OPTION) == 0)
                list = option.substr(OPTION.size());
    }
    return list;
}

std::optional<std::string> readAcsRedirList()
{
    std::string commandLine;
    if (!readRegularFile(KERNEL_COMMAND_LINE, KERNEL_COMMAND_LINE_MAX * 2, commandLine))
        return std::nullopt;
    return acsRedirList(kernelParameters(commandLine));
}

bool acsRedirNames(const std::string& list, const std::vector<PciIdentity>& chain)
{
    if (chain.empty())
        return false;
    const char* p = list.c_str();
    while (*p) {
        const int match = matchEntry(chain, p);
        if (match != 0)
            return match == 1;
        if (*p != ';' && *p != ',')
            return false;
        ++p;
    }
    return false;
}

std::vector<std::string> acsRedirEntries(const std::string& list)
{
    std::vector<std::string> entries;
    std::istringstream in(list);
    for (std::string entry; std::getline(in, entry, ';');)
        if (!entry.empty())
            entries.push_back(entry);
    return entries;
}

std::string acsRedirParameter(const std::vector<std::string>& ports,
                              const std::vector<std::vector<PciIdentity>>& chains,
                              const std::optional<std::string>& existing)
{
    std::vector<std::string> entries;
    const auto add = [&](const std::string& entry) {
        if (std::find(entries.begin(), entries.end(), entry) == entries.end())
            entries.push_back(entry);
    };
    for (const std::string& port : ports)
        add(port);
    if (existing)
        for (const std::string& entry : acsRedirEntries(*existing)) {
            const bool byPlace = entry.compare(0, 4, "pci:") != 0;
            const bool ours = byPlace && std::any_of(chains.begin(), chains.end(), [&](const auto& chain) {
                                  return acsRedirNames(entry, chain);
                              });
            if (!ours)
                add(entry);
        }
    std::string parameter = "pci=disable_acs_redir=";
    for (std::size_t i = 0; i < entries.size(); ++i)
        parameter += (i ? ";" : "") + entries[i];
    return parameter;
}
