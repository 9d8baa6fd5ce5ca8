#pragma once
// How g19-probe shows decoded answers: aligned text for a person (80 columns, colour only
// when asked for) and JSON for scripts.

#include "client/answers.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace probe {

inline constexpr std::size_t TERMINAL_WIDTH = 80;

using ChannelNames = std::map<std::uint64_t, std::string>;
ChannelNames channelNames(const display::ChannelList& list);

// Names come from other users of the voice server: control characters and invalid UTF-8
// are replaced with '?' before they reach a terminal.
std::string printable(const std::string& text);
// Columns taken by printable text: one per character (wide scripts are not accounted for).
std::size_t displayWidth(const std::string& text);

enum class Colour { NONE, BOLD, DIM, GREEN, RED, YELLOW };

struct Cell {
    Cell() = default;
    Cell(std::string text, Colour colour = Colour::NONE) : text(std::move(text)), colour(colour) {}
    Cell(std::string prefix, std::string text, std::string suffix, Colour suffixColour)
        : text(std::move(text)),
          prefix(std::move(prefix)),
          suffix(std::move(suffix)),
          suffixColour(suffixColour)
    {
    }

    std::string text;  // printable; cut with '~' when the column is too narrow
    Colour colour = Colour::NONE;
    std::string prefix;  // kept whole, e.g. the indentation of a tree
    std::string suffix;  // kept whole, e.g. a mark after a name
    Colour suffixColour = Colour::NONE;
};

struct Column {
    std::string header;
    bool right = false;
    bool flexible = false;  // narrowed, along with the other flexible columns, to fit the width
};

class Table {
public:
    Table(std::vector<Column> columns, std::size_t gap) : m_columns(std::move(columns)), m_gap(gap) {}
    void add(std::vector<Cell> row) { m_rows.push_back(std::move(row)); }
    void print(std::ostream& out, bool colour, std::size_t width = TERMINAL_WIDTH) const;

private:
    std::vector<std::size_t> widths(std::size_t total) const;

    std::vector<Column> m_columns;
    std::size_t m_gap;
    std::vector<std::vector<Cell>> m_rows;
};

// The channels in the order a tree shows them, with their depth: each channel under its
// parent, siblings sorted as the voice client sorts them: a channel's order is the ID of the
// sibling it follows, 0 for the first. Siblings no such chain reaches each start a chain of
// their own, in list order. A channel whose parent is not in the list, or that is caught in a
// cycle of parents, is shown at the top level, after the others; one that hangs under such a
// cycle goes with the first channel of its line in list order, under its parent or, when it
// comes first, at the top level itself; every channel appears once.
// docs/protocol.md states the same rule for display authors.
std::vector<std::pair<std::size_t, std::size_t>> channelTree(const display::ChannelList& list);

void printServer(std::ostream& out, const display::ServerInfo& info, bool colour);
void printChannels(std::ostream& out, const display::ChannelList& list, bool colour);
void printClients(std::ostream& out, const display::ClientList& list, const ChannelNames& names, bool colour);
// "Lobby", "(no name)" for an empty one or, for a channel not in `names`, "#42".
std::string channelLabel(std::uint64_t channel, const ChannelNames& names);
std::string paint(const std::string& text, Colour colour, bool enabled);

nlohmann::ordered_json toJson(const display::ServerInfo& info);
nlohmann::ordered_json toJson(const display::ChannelList& list);
nlohmann::ordered_json toJson(const display::ClientList& list);
// One line; bytes that are not UTF-8 are replaced rather than refused.
std::string dumpJson(const nlohmann::ordered_json& value);

std::string hex(const std::vector<std::uint8_t>& bytes);  // "02 00 05"
// 16 bytes a line with their offset, for `raw`.
void printHexDump(std::ostream& out, const std::vector<std::uint8_t>& bytes);

}  // namespace probe
