#include "wording.h"

#include <cstdio>

std::string hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string deviceIdText(uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", id);
    return text;
}

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string withReasons(const Reasoned& items)
{
    std::vector<std::string> texts;
    for (const auto& [bus, reason] : items)
        texts.push_back(bus + " (" + reason + ")");
    return joined(texts);
}

std::string userText(const ProcessFacts& user)
{
    // Xen's pciback holds a GPU for a guest that no process stands for.
    if (user.pid == 0)
        return "a Xen guest (pciback)";
    return (user.guest.empty() ? user.name : user.guest) + " (" + user.name + ", pid " +
           std::to_string(user.pid) + ")";
}

const char* const DISABLE_ACS = "--disable-acs";
const char* const STORE_DATA = "--store-data";
const char* const SAVE_DATA = "--save-data";
const char* const CONFIG_ADDRESS = "--config-address";
const char* const KERNEL_ACS_COMMAND = "qvgpu-vm-p2p-status --kernel-acs";

std::string toolCommand(std::initializer_list<const char*> options)
{
    std::string line = "qvgpu-vm-p2p";
    for (const char* option : options)
        line += std::string(" ") + option;
    return line;
}
