// Walking a buffer of inotify events for the last GPU's device node.
#include "daemon.h"
#include "modes.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <vector>

namespace {

void addEvent(std::vector<uint8_t>& buffer, uint32_t mask, const std::string& name, uint32_t len)
{
    inotify_event e{};
    e.wd = 1;
    e.mask = mask;
    e.len = len;
    const std::size_t at = buffer.size();
    buffer.resize(at + sizeof e + len, 0);
    std::memcpy(buffer.data() + at, &e, sizeof e);
    std::memcpy(buffer.data() + at + sizeof e, name.data(), std::min<std::size_t>(name.size(), len));
}

TEST(InotifyWalk, CountsCreationsWhoseNameContainsTheAwaitedNode)
{
    std::vector<uint8_t> b;
    addEvent(b, IN_CREATE, "morvanti1", 16);
    addEvent(b, IN_DELETE, "morvanti1", 16);
    addEvent(b, IN_CREATE, "morvanti0", 16);
    addEvent(b, IN_CREATE, "morvanti10", 16);   // a substring match counts too
    addEvent(b, IN_CREATE, "", 0);              // no name matches nothing
    addEvent(b, IN_CREATE | IN_ISDIR, "xmorvanti1", 32);
    EXPECT_EQ(3, countCreatedNodes(b.data(), b.size(), "morvanti1"));
    EXPECT_EQ(0, countCreatedNodes(b.data(), b.size(), "morvanti-1"));
    EXPECT_EQ(0, countCreatedNodes(b.data(), 0, "morvanti1"));
}

TEST(InotifyWalk, ARecordReachingPastTheBufferEndsTheWalk)
{
    std::vector<uint8_t> b;
    addEvent(b, IN_CREATE, "morvanti3", 16);
    addEvent(b, IN_CREATE, "morvanti3", 16);
    EXPECT_EQ(1, countCreatedNodes(b.data(), b.size() - 1, "morvanti3"));
    EXPECT_EQ(1, countCreatedNodes(b.data(), sizeof(inotify_event) + 16 + 5, "morvanti3"));
    // A name without its terminating zero is read only within its length.
    std::vector<uint8_t> c;
    addEvent(c, IN_CREATE, "morvanti3morvanti3", 9);
    EXPECT_EQ(1, countCreatedNodes(c.data(), c.size(), "morvanti3"));
    EXPECT_EQ(0, countCreatedNodes(c.data(), c.size(), "morvanti3m"));
}

} // namespace
