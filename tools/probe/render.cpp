#include "tools/probe/render.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <set>

namespace probe {

namespace {

// Deeper channels keep the indentation of this level and say their depth, so that the names
// keep their room on an 80-column terminal.
constexpr std::size_t MAX_INDENT_LEVELS = 8;
constexpr const char* NO_NAME = "(no name)";

std::string treeIndent(std::size_t depth)
{
    std::string indent(2 * std::min(depth, MAX_INDENT_LEVELS), ' ');
    if (depth > MAX_INDENT_LEVELS) {
        indent += "(depth " + std::to_string(depth) + ") ";
    }
    return indent;
}

bool continuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence at text[i], or 0. The ranges exclude overlong
// forms and surrogates, as the standard's table of well-formed sequences does.
std::size_t sequenceLength(const std::string& text, std::size_t i)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size() || at(i + 1) < low || at(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (!continuation(at(i + k))) {
            return 0;
        }
    }
    return length;
}

// Cuts printable text to `width` columns, marking the cut with '~'.
std::string fit(const std::string& text, std::size_t width)
{
    if (displayWidth(text) <= width) {
        return text;
    }
    if (width == 0) {
        return {};
    }
    std::string cut;
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (!continuation(byte) && ++columns == width) {
            break;
        }
        cut += text[i];
    }
    return cut + "~";
}

const char* code(Colour colour)
{
    switch (colour) {
        case Colour::BOLD:
            return "\033[1m";
        case Colour::DIM:
            return "\033[2m";
        case Colour::GREEN:
            return "\033[32m";
        case Colour::RED:
            return "\033[31m";
        case Colour::YELLOW:
            return "\033[33m";
        case Colour::NONE:
            break;
    }
    return "";
}

// A flag column: a word when set, a dim dash when not.
Cell flag(bool set, const char* word, Colour colour)
{
    return set ? Cell(word, colour) : Cell("-", Colour::DIM);
}

// Microphone and speakers: "on" unless muted.
Cell device(bool muted)
{
    return muted ? Cell("off", Colour::RED) : Cell("on");
}

std::string plural(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

ChannelNames channelNames(const display::ChannelList& list)
{
    ChannelNames names;
    for (const display::Channel& channel : list.channels) {
        names.emplace(channel.id, channel.name);  // the first of a duplicated ID wins, as in the tree
    }
    return names;
}

std::string printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            out += byte < 0x20 || byte == 0x7F ? '?' : static_cast<char>(byte);
            ++i;
            continue;
        }
        const std::size_t length = sequenceLength(text, i);
        // C1 controls (U+0080 to U+009F) steer terminals as the ASCII ones do.
        if (length == 0 || (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            out += '?';
            i += std::max<std::size_t>(length, 1);
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

std::size_t displayWidth(const std::string& text)
{
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return !continuation(static_cast<unsigned char>(c)); }));
}

std::string paint(const std::string& text, Colour colour, bool enabled)
{
    if (!enabled || colour == Colour::NONE || text.empty()) {
        return text;
    }
    return code(colour) + text + "\033[0m";
}

std::vector<std::size_t> Table::widths(std::size_t total) const
{
    std::vector<std::size_t> natural(m_columns.size());
    for (std::size_t c = 0; c < m_columns.size(); ++c) {
        natural[c] = displayWidth(m_columns[c].header);
        for (const std::vector<Cell>& row : m_rows) {
            if (c < row.size()) {
                const Cell& cell = row[c];
                natural[c] = std::max(natural[c], displayWidth(cell.prefix + cell.text + cell.suffix));
            }
        }
    }
    std::size_t fixed = m_gap * (m_columns.empty() ? 0 : m_columns.size() - 1);
    std::vector<std::size_t> flexible;
    for (std::size_t c = 0; c < m_columns.size(); ++c) {
        if (m_columns[c].flexible) {
            flexible.push_back(c);
        } else {
            fixed += natural[c];
        }
    }
    // The narrowest flexible columns keep their natural width; the others share what is left.
    std::sort(flexible.begin(), flexible.end(),
              [&](std::size_t a, std::size_t b) { return natural[a] < natural[b]; });
    std::size_t remaining = total > fixed ? total - fixed : 0;
    std::vector<std::size_t> result = natural;
    for (std::size_t k = 0; k < flexible.size(); ++k) {
        const std::size_t c = flexible[k];
        const std::size_t share = remaining / (flexible.size() - k);
        result[c] = std::min(natural[c], std::max(share, displayWidth(m_columns[c].header)));
        remaining -= std::min(result[c], remaining);
    }
    return result;
}

void Table::print(std::ostream& out, bool colour, std::size_t width) const
{
    const std::vector<std::size_t> columnWidths = widths(width);
    const auto line = [&](const std::vector<Cell>& cells) {
        std::string text;
        for (std::size_t c = 0; c < m_columns.size(); ++c) {
            const Cell cell = c < cells.size() ? cells[c] : Cell{};
            const std::size_t frame = displayWidth(cell.prefix) + displayWidth(cell.suffix);
            const std::string body = fit(cell.text, columnWidths[c] > frame ? columnWidths[c] - frame : 0);
            const std::size_t used = frame + displayWidth(body);
            const std::string padding(columnWidths[c] > used ? columnWidths[c] - used : 0, ' ');
            const std::string content = cell.prefix + paint(body, cell.colour, colour) +
                                        paint(cell.suffix, cell.suffixColour, colour);
            if (c > 0) {
                text += std::string(m_gap, ' ');
            }
            const bool last = c + 1 == m_columns.size();
            text += m_columns[c].right ? padding + content : content + (last ? "" : padding);
        }
        out << text << '\n';
    };
    std::vector<Cell> header;
    for (const Column& column : m_columns) {
        header.emplace_back(column.header, Colour::BOLD);
    }
    line(header);
    for (const std::vector<Cell>& row : m_rows) {
        line(row);
    }
}

namespace {

std::vector<std::size_t> siblingOrder(const std::vector<display::Channel>& channels,
                                      const std::vector<std::size_t>& siblings)
{
    // The order field reaches the display as the low 32 bits of the ID, widened with their
    // sign; matching on those bits finds the sibling for IDs of any size. 0 means "first".
    const auto low = [](auto value) { return static_cast<std::uint32_t>(value); };
    std::map<std::uint32_t, std::vector<std::size_t>> after;
    for (const std::size_t index : siblings) {
        after[low(channels[index].order)].push_back(index);
    }
    std::vector<std::size_t> sorted;
    std::set<std::size_t> placed;
    // A chain from `first` on, each channel followed by those sorted after it.
    const auto chain = [&](std::size_t first) {
        std::vector<std::size_t> stack{first};
        while (!stack.empty()) {
            const std::size_t index = stack.back();
            stack.pop_back();
            if (!placed.insert(index).second) {
                continue;
            }
            sorted.push_back(index);
            const std::uint32_t id = low(channels[index].id);
            const auto next = id != 0 ? after.find(id) : after.end();
            if (next != after.end()) {
                stack.insert(stack.end(), next->second.rbegin(), next->second.rend());
            }
        }
    };
    for (const std::size_t index : after[0]) {
        chain(index);
    }
    // What no chain from the first reaches (an order naming a channel that is not a sibling,
    // or a loop) follows in list order.
    for (const std::size_t index : siblings) {
        chain(index);
    }
    return sorted;
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> channelTree(const display::ChannelList& list)
{
    const std::vector<display::Channel>& channels = list.channels;
    std::map<std::uint64_t, std::vector<std::size_t>> children;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        children[channels[i].parent].push_back(i);
    }
    for (auto& [parent, siblings] : children) {
        siblings = siblingOrder(channels, siblings);
    }
    const ChannelNames known = channelNames(list);

    std::vector<std::pair<std::size_t, std::size_t>> order;
    std::vector<bool> shown(channels.size(), false);
    const auto visit = [&](std::size_t root) {
        std::vector<std::pair<std::size_t, std::size_t>> stack{{root, 0}};
        while (!stack.empty()) {
            const auto [index, depth] = stack.back();
            stack.pop_back();
            if (shown[index]) {
                continue;
            }
            shown[index] = true;
            order.emplace_back(index, depth);
            // ID 0 stands for a channel the plug-in could not read, not for the top level.
            const auto it = channels[index].id != 0 ? children.find(channels[index].id) : children.end();
            if (it != children.end()) {
                for (auto child = it->second.rbegin(); child != it->second.rend(); ++child) {
                    stack.emplace_back(*child, depth + 1);
                }
            }
        }
    };
    // The top level in sibling order; then channels whose parent is not in the list, and
    // what a cycle of parents kept from the top level, in list order.
    for (const std::size_t i : children[0]) {
        visit(i);
    }
    for (std::size_t i = 0; i < channels.size(); ++i) {
        if (known.count(channels[i].parent) == 0) {
            visit(i);
        }
    }
    for (std::size_t i = 0; i < channels.size(); ++i) {
        visit(i);
    }
    return order;
}

std::string channelLabel(std::uint64_t channel, const ChannelNames& names)
{
    const auto it = names.find(channel);
    if (it == names.end()) {
        return "#" + std::to_string(channel);
    }
    return it->second.empty() ? NO_NAME : printable(it->second);
}

void printServer(std::ostream& out, const display::ServerInfo& info, bool colour)
{
    out << paint("plug-in version", Colour::BOLD, colour) << "  " << printable(info.version) << '\n';
    out << paint("server name    ", Colour::BOLD, colour) << "  "
        << (info.serverName ? printable(*info.serverName)
                            : paint("(not available: the voice client gave none)", Colour::DIM, colour))
        << '\n';
}

void printChannels(std::ostream& out, const display::ChannelList& list, bool colour)
{
    Table table(
        {{"CHANNEL", false, true}, {"ID", true, false}, {"TALK POWER", true, false}, {"ORDER", true, false}},
        2);
    for (const auto& [index, depth] : channelTree(list)) {
        const display::Channel& channel = list.channels[index];
        // An empty name would leave the line looking like a channel one level up.
        Cell name(treeIndent(depth), channel.name.empty() ? NO_NAME : printable(channel.name),
                  channel.passwordFlag != 0 ? " [locked]" : "", Colour::YELLOW);
        if (channel.name.empty()) {
            name.colour = Colour::DIM;
        }
        table.add({name,
                   {std::to_string(channel.id)},
                   {std::to_string(channel.neededTalkPower)},
                   {std::to_string(channel.order)}});
    }
    table.print(out, colour);
    out << paint(plural(list.channels.size(), "channel", "channels"), Colour::DIM, colour) << '\n';
}

void printClients(std::ostream& out, const display::ClientList& list, const ChannelNames& names, bool colour)
{
    Table table({{"", false, false},
                 {"ID", true, false},
                 {"NICKNAME", false, true},
                 {"CHANNEL", false, true},
                 {"TALK", false, false},
                 {"REQ", false, false},
                 {"TKR", false, false},
                 {"MIC", false, false},
                 {"SPK", false, false},
                 {"REC", false, false},
                 {"AWAY", false, false},
                 {"CMD", false, false},
                 {"MUTED", false, false}},
                1);
    for (const display::ClientEntry& client : list.clients) {
        const bool own = client.id == list.ownId;
        table.add({own ? Cell("*", Colour::BOLD) : Cell(),
                   {std::to_string(client.id)},
                   {printable(client.nickname), own ? Colour::BOLD : Colour::NONE},
                   {channelLabel(client.channel, names)},
                   flag(client.talking != 0, "yes", Colour::GREEN),
                   flag(client.talkRequest != 0, "yes", Colour::YELLOW),
                   flag(client.isTalker != 0, "yes", Colour::NONE),
                   device(client.inputMuted != 0),
                   device(client.outputMuted != 0),
                   flag(client.recording != 0, "yes", Colour::RED),
                   flag(client.away != 0, "yes", Colour::YELLOW),
                   flag(client.channelCommander != 0, "yes", Colour::NONE),
                   flag(client.locallyMuted != 0, "yes", Colour::RED)});
    }
    table.print(out, colour);
    out << paint(plural(list.clients.size(), "client", "clients") + "; * is you, client " +
                     std::to_string(list.ownId) + " in " + channelLabel(list.ownChannel, names),
                 Colour::DIM, colour)
        << '\n'
        << paint("REQ talk request, TKR talker, CMD channel commander, MUTED muted by you", Colour::DIM,
                 colour)
        << '\n';
}

nlohmann::ordered_json toJson(const display::ServerInfo& info)
{
    return {{"version", info.version},
            {"serverName",
             info.serverName ? nlohmann::ordered_json(*info.serverName) : nlohmann::ordered_json(nullptr)}};
}

nlohmann::ordered_json toJson(const display::ChannelList& list)
{
    nlohmann::ordered_json channels = nlohmann::ordered_json::array();
    for (const display::Channel& channel : list.channels) {
        channels.push_back({{"id", channel.id},
                            {"name", channel.name},
                            {"neededTalkPower", channel.neededTalkPower},
                            {"order", channel.order},
                            {"parentId", channel.parent},
                            {"passwordFlag", channel.passwordFlag}});
    }
    return {{"channels", channels}};
}

nlohmann::ordered_json toJson(const display::ClientList& list)
{
    nlohmann::ordered_json clients = nlohmann::ordered_json::array();
    for (const display::ClientEntry& client : list.clients) {
        clients.push_back({{"id", client.id},
                           {"nickname", client.nickname},
                           {"own", client.id == list.ownId},
                           {"channelId", client.channel},
                           {"talking", client.talking},
                           {"talkRequest", client.talkRequest},
                           {"talker", client.isTalker},
                           {"inputMuted", client.inputMuted},
                           {"outputMuted", client.outputMuted},
                           {"recording", client.recording},
                           {"away", client.away},
                           {"channelCommander", client.channelCommander},
                           {"locallyMuted", client.locallyMuted}});
    }
    return {{"ownClientId", list.ownId}, {"ownChannelId", list.ownChannel}, {"clients", clients}};
}

std::string dumpJson(const nlohmann::ordered_json& value)
{
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string hex(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += (i == 0 ? "" : " ") + std::string(digits);
    }
    return text;
}

void printHexDump(std::ostream& out, const std::vector<std::uint8_t>& bytes)
{
    constexpr std::size_t PER_LINE = 16;
    for (std::size_t start = 0; start < bytes.size(); start += PER_LINE) {
        const std::size_t end = std::min(bytes.size(), start + PER_LINE);
        char offset[24];
        std::snprintf(offset, sizeof offset, "%04zx", start);
        const std::string line =
            hex(std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                          bytes.begin() + static_cast<std::ptrdiff_t>(end)));
        std::string text;
        for (std::size_t i = start; i < end; ++i) {
            text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
        }
        out << offset << "  " << line << std::string((PER_LINE - (end - start)) * 3 + 2, ' ') << text << '\n';
    }
}

}  // namespace probe
