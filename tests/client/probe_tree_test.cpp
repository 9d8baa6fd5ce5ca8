// g19-probe's channel tree: siblings in the voice client's sort order, where a channel's
// order field is the ID of the sibling it follows.

#include "tools/probe/render.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct TreeCase {
    const char* name;
    std::vector<display::Channel> channels;  // id, name, needed talk power, order, parent
    std::vector<std::string> shown;          // "name" indented two blanks per level
};

std::vector<std::string> shownTree(const std::vector<display::Channel>& channels)
{
    display::ChannelList list{channels};
    std::vector<std::string> shown;
    for (const auto& [index, depth] : probe::channelTree(list)) {
        shown.push_back(std::string(2 * depth, ' ') + channels[index].name);
    }
    return shown;
}

constexpr std::uint64_t ABOVE_INT32 = 0x80000001;  // its order field arrives as -2147483647

TEST(ProbeTree, SiblingsFollowTheChannelTheirOrderNames)
{
    const TreeCase cases[] = {
        {"a chain against the list order",
         {{3, "third", 0, 2, 0, 0}, {1, "first", 0, 0, 0, 0}, {2, "second", 0, 1, 0, 0}},
         {"first", "second", "third"}},
        {"children sorted under their parent",
         {{1, "root", 0, 0, 0, 0}, {4, "later", 0, 5, 1, 0}, {5, "sooner", 0, 0, 1, 0}},
         {"root", "  sooner", "  later"}},
        {"an order naming no sibling, then a loop, in list order",
         {{5, "lost", 0, 99, 0, 0},
          {7, "loop a", 0, 8, 0, 0},
          {8, "loop b", 0, 7, 0, 0},
          {6, "first", 0, 0, 0, 0}},
         {"first", "lost", "loop a", "loop b"}},
        {"an ID above 2^31, cut by the plug-in's integer read",
         {{9, "after big", 0, -2147483647, 0, 0}, {ABOVE_INT32, "big", 0, 0, 0, 0}},
         {"big", "after big"}},
        {"two channels claiming the same place keep their list order",
         {{1, "first", 0, 0, 0, 0}, {2, "twin a", 0, 1, 0, 0}, {3, "twin b", 0, 1, 0, 0}},
         {"first", "twin a", "twin b"}},
    };
    for (const TreeCase& c : cases) {
        EXPECT_EQ(shownTree(c.channels), c.shown) << c.name;
    }
}

}  // namespace
