#include "wire_examples.h"

#include <cctype>
#include <cstdio>
#include <optional>
#include <set>
#include <sstream>

namespace docs {
namespace {

// Fewer hex bytes than this in a row, outside the checked blocks, read as a value (01, 04 02)
// rather than as an example that could drift.
constexpr std::size_t UNCHECKED_HEX_LIMIT = 3;

const std::set<std::string> NUMBER_TYPES = {"u8", "u16", "u32", "i64"};

std::string trim(const std::string& text)
{
    const std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return {};
    }
    const std::size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

std::string withoutComment(const std::string& text)
{
    return text.substr(0, text.find('#'));
}

std::vector<std::string> words(const std::string& text)
{
    std::istringstream stream(text);
    std::vector<std::string> result;
    for (std::string word; stream >> word;) {
        result.push_back(word);
    }
    return result;
}

bool isDecimal(const std::string& text, bool sign)
{
    const std::size_t start = sign && !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() <= start || text.size() - start > 20) {
        return false;
    }
    for (std::size_t i = start; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

bool isHexByte(const std::string& word)
{
    return word.size() == 2 && std::isxdigit(static_cast<unsigned char>(word[0])) &&
           std::isxdigit(static_cast<unsigned char>(word[1]));
}

// The bytes of a line, or nothing when a word is not one hex byte.
std::optional<Bytes> hexBytes(const std::string& text)
{
    Bytes bytes;
    for (const std::string& word : words(text)) {
        if (!isHexByte(word)) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

// A run of hex bytes that looks like an example: enough of them, and nothing else.
bool looksLikeHexExample(const std::string& text)
{
    std::vector<std::string> list = words(text);
    if (!list.empty() && (list.front() == ">" || list.front() == "<")) {
        list.erase(list.begin());
    }
    if (list.size() < UNCHECKED_HEX_LIMIT) {
        return false;
    }
    for (const std::string& word : list) {
        if (!isHexByte(word)) {
            return false;
        }
    }
    return true;
}

// A readable test name from the example's first comment.
std::string slug(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!result.empty() && result.back() != '_') {
            result += '_';
        }
    }
    while (!result.empty() && result.back() == '_') {
        result.pop_back();
    }
    return result;
}

class Parser {
public:
    Document run(const std::string& markdown)
    {
        std::istringstream stream(markdown);
        int number = 0;
        for (std::string line; std::getline(stream, line);) {
            ++number;
            readLine(number, line);
        }
        if (m_block != Block::NONE) {
            error(m_blockLine, "the block is never closed");
            endBlock(number);
        }
        return std::move(m_document);
    }

private:
    enum class Block { NONE, WIRE, ENCODING, OTHER };

    void error(int line, const std::string& message)
    {
        m_document.errors.push_back("line " + std::to_string(line) + ": " + message);
    }

    void readLine(int number, const std::string& line)
    {
        const std::string text = trim(line);
        if (text.rfind("```", 0) == 0) {
            if (m_block == Block::NONE) {
                startBlock(number, trim(text.substr(3)));
            } else if (text == "```") {
                endBlock(number);
            } else {
                error(number, "a fence opens inside a block");
            }
            return;
        }
        switch (m_block) {
            case Block::NONE:
                checkProse(number, line);
                break;
            case Block::WIRE:
                readWireLine(number, text);
                break;
            case Block::ENCODING:
                readEncodingLine(number, text);
                break;
            case Block::OTHER:
                if (looksLikeHexExample(withoutComment(text))) {
                    error(number, "hex bytes outside a wire or encoding block are not checked");
                }
                break;
        }
    }

    // Inline code with a run of hex bytes is an example the test would not see.
    void checkProse(int number, const std::string& line)
    {
        std::size_t open = line.find('`');
        while (open != std::string::npos) {
            const std::size_t close = line.find('`', open + 1);
            if (close == std::string::npos) {
                return;
            }
            if (looksLikeHexExample(line.substr(open + 1, close - open - 1))) {
                error(number, "hex bytes in inline code are not checked; use a wire block");
            }
            open = line.find('`', close + 1);
        }
    }

    void startBlock(int number, const std::string& info)
    {
        m_blockLine = number;
        if (info == "wire") {
            m_block = Block::WIRE;
            m_example = Example{};
            m_example.line = number;
        } else if (info == "encoding") {
            m_block = Block::ENCODING;
        } else {
            m_block = Block::OTHER;
        }
    }

    void endBlock(int number)
    {
        if (m_block == Block::WIRE) {
            if (m_example.exchanges.empty()) {
                error(m_example.line, "a wire block without a request");
            } else if (!m_example.exchanges.back().answered) {
                error(number, "the last request has no answer line (\"<\" alone for none)");
            }
            nameExample();
            m_document.examples.push_back(std::move(m_example));
        }
        m_block = Block::NONE;
    }

    void nameExample()
    {
        std::string name = slug(m_example.name);
        if (name.empty() || !m_names.insert(name).second) {
            name += (name.empty() ? "" : "_") + std::string("at_line_") + std::to_string(m_example.line);
            m_names.insert(name);
        }
        m_example.name = name;
    }

    void readWireLine(int number, const std::string& text)
    {
        if (text.empty()) {
            return;
        }
        if (text[0] == '#') {
            if (m_example.name.empty()) {
                m_example.name = trim(text.substr(1));
            }
            return;
        }
        if (text.rfind("! failures ", 0) == 0) {
            if (!m_example.exchanges.empty() || !m_example.failuresJson.empty()) {
                error(number, "failures come once, before the first request");
            }
            m_example.failuresJson = trim(text.substr(11));
            return;
        }
        const char direction = text[0];
        if (direction != '>' && direction != '<') {
            error(number, "expected \">\", \"<\", \"#\" or \"! failures\"");
            return;
        }
        const std::optional<Bytes> bytes = hexBytes(withoutComment(text.substr(1)));
        if (!bytes) {
            error(number, "bytes are two hex digits each, separated by blanks");
            return;
        }
        std::vector<Exchange>& exchanges = m_example.exchanges;
        if (direction == '>') {
            if (exchanges.empty() || exchanges.back().answered) {
                exchanges.push_back(Exchange{});
                exchanges.back().line = number;
            }
            exchanges.back().request.insert(exchanges.back().request.end(), bytes->begin(), bytes->end());
        } else {
            if (exchanges.empty()) {
                error(number, "an answer before any request");
                return;
            }
            exchanges.back().answered = true;
            exchanges.back().answer.insert(exchanges.back().answer.end(), bytes->begin(), bytes->end());
        }
    }

    void readEncodingLine(int number, const std::string& text)
    {
        const std::string field = trim(withoutComment(text));
        if (field.empty()) {
            return;
        }
        const std::size_t equals = field.rfind('=');
        const std::size_t space = field.find(' ');
        if (equals == std::string::npos || space == std::string::npos || space > equals) {
            error(number, "expected TYPE VALUE = BYTES");
            return;
        }
        Encoding encoding;
        encoding.line = number;
        encoding.type = field.substr(0, space);
        encoding.value = trim(field.substr(space, equals - space));
        if (encoding.type == "string") {
            if (encoding.value.size() < 2 || encoding.value.front() != '"' || encoding.value.back() != '"') {
                error(number, "a string value is written in double quotes");
                return;
            }
            encoding.value = encoding.value.substr(1, encoding.value.size() - 2);
        } else if (NUMBER_TYPES.count(encoding.type) == 0) {
            error(number, "unknown type " + encoding.type);
            return;
        } else if (!isDecimal(encoding.value, encoding.type == "i64")) {
            error(number, "expected TYPE VALUE = BYTES with a decimal value");
            return;
        }
        const std::optional<Bytes> bytes = hexBytes(field.substr(equals + 1));
        if (!bytes || bytes->empty()) {
            error(number, "bytes are two hex digits each, separated by blanks");
            return;
        }
        encoding.bytes = *bytes;
        m_document.encodings.push_back(std::move(encoding));
    }

    Document m_document;
    Block m_block = Block::NONE;
    int m_blockLine = 0;
    Example m_example;
    std::set<std::string> m_names;
};

}  // namespace

Document parseDocument(const std::string& markdown)
{
    return Parser().run(markdown);
}

std::string hex(const Bytes& bytes)
{
    std::string text;
    char digits[4];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += text.empty() ? "" : " ";
        text += digits;
    }
    return text.empty() ? "(nothing)" : text;
}

void PrintTo(const Example& example, std::ostream* out)
{
    *out << "protocol.md line " << example.line;
}

}  // namespace docs
