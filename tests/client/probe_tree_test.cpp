// g19-probe's channel tree: siblings in the voice client's sort order, where a channel's
// order field is the ID of the sibling it follows.

#include "tools/probe/render.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
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
constexpr std::uint64_t TWO_TO_32 = 0x100000000;   // its low 32 bits are 0: "first"

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
        {"siblings no chain reaches each start a chain of their own, in list order",
         {{1, "first", 0, 0, 0, 0}, {5, "lost", 0, 99, 0, 0}, {7, "stray", 0, 98, 0, 0}, {6, "after lost", 0, 5, 0, 0}},
         {"first", "lost", "after lost", "stray"}},
        {"two firsts each head their chain, in list order",
         {{2, "a", 0, 0, 0, 0}, {3, "b", 0, 0, 0, 0}, {4, "after a", 0, 2, 0, 0}},
         {"a", "after a", "b"}},
        {"an ID that is a multiple of 2^32 leads nothing: its follower's order arrives as 0",
         {{7, "after big", 0, 0, 0, 0}, {TWO_TO_32, "big", 0, 0, 0, 0}, {8, "after 7", 0, 7, 0, 0}},
         {"after big", "after 7", "big"}},
        {"order and ID compared on their low 32 bits",
         {{9, "after wide", 0, 5, 0, 0}, {TWO_TO_32 + 5, "wide", 0, 0, 0, 0}},
         {"wide", "after wide"}},
        {"a record with ID 0 (its name unreadable) adopts nothing, though parent 0 is the top",
         {{1, "Lobby", 0, 0, 0, 0}, {0, "", 0, 1, 0, 0}, {2, "Gaming", 0, 0, 0, 0}, {3, "Raid", 0, 0, 2, 0}},
         {"Lobby", "", "Gaming", "  Raid"}},
        {"missing parents: at the top after the others, in list order, with their children",
         {{8, "orphan a", 0, 0, 42, 0}, {1, "Lobby", 0, 0, 0, 0}, {9, "orphan b", 0, 0, 43, 0},
          {7, "orphan c", 0, 8, 42, 0}, {4, "under b", 0, 0, 9, 0}},
         {"Lobby", "orphan a", "orphan b", "  under b", "orphan c"}},
        {"a channel that is its own parent, or in a cycle: at the top after the others",
         {{3, "own parent", 0, 0, 3, 0}, {5, "cycle a", 0, 0, 6, 0}, {6, "cycle b", 0, 0, 5, 0},
          {1, "Lobby", 0, 0, 0, 0}, {4, "child", 0, 0, 3, 0}},
         {"Lobby", "own parent", "  child", "cycle a", "  cycle b"}},
        {"under a cycle: with the first of its line in the list, or at the top when it comes first",
         {{8, "under under a", 0, 0, 7, 0}, {6, "cycle b", 0, 0, 5, 0}, {5, "cycle a", 0, 0, 6, 0},
          {7, "under a", 0, 0, 5, 0}, {1, "Lobby", 0, 0, 0, 0}},
         {"Lobby", "under under a", "cycle b", "  cycle a", "    under a"}},
        {"under a cycle and first in the list: at the top, its own children under it",
         {{7, "under a", 0, 0, 5, 0}, {5, "cycle a", 0, 0, 6, 0}, {6, "cycle b", 0, 0, 5, 0},
          {8, "under under a", 0, 0, 7, 0}},
         {"under a", "  under under a", "cycle a", "  cycle b"}},
    };
    for (const TreeCase& c : cases) {
        EXPECT_EQ(shownTree(c.channels), c.shown) << c.name;
    }
}

// `channels` for a person: any depth stays readable, and an empty name cannot pass for a
// channel one level up.
TEST(ProbeTree, TableShowsEveryDepthAndEmptyNames)
{
    display::ChannelList list;
    for (std::uint64_t id = 1; id <= 12; ++id) {
        list.channels.push_back({id, "level " + std::to_string(id - 1), 0, 0, id - 1, 0});
    }
    list.channels.push_back({13, "", 0, 0, 1, 1});
    std::ostringstream out;
    probe::printChannels(out, list, false);
    const std::string text = out.str();
    EXPECT_NE(text.find("\n                level 8  "), std::string::npos) << text;
    EXPECT_NE(text.find("\n                (depth 9) level 9  "), std::string::npos) << text;
    EXPECT_NE(text.find("\n                (depth 11) level 11  "), std::string::npos) << text;
    EXPECT_NE(text.find("\n  (no name) [locked]  "), std::string::npos) << text;
}

}  // namespace
