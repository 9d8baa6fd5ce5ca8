#include "bridge/talk_frame.h"

#include <rapidjson/reader.h>

#include <array>
#include <cstring>
#include <string>

namespace bridge {

namespace {

using nlohmann::json;

constexpr std::string_view TALK_TYPE = "talkStatusChanged";
// The payload's fields the mirror reads, in the order of TalkStatus.
constexpr std::array<std::string_view, 3> FIELD_NAMES = {"connectionId", "clientId", "status"};

// Follows the reader's events through the one shape taken; any other event stops it there,
// so that nothing nested deeper is read at all.
class TalkHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TalkHandler> {
public:
    bool StartObject()
    {
        if (m_depth == 0 || (m_depth == 1 && m_pending == Pending::PAYLOAD)) {
            ++m_depth;
            m_pending = Pending::NONE;
            return true;
        }
        return false;
    }
    bool EndObject(rapidjson::SizeType /*members*/)
    {
        --m_depth;
        return true;
    }
    bool StartArray() { return false; }
    bool Key(const char* text, rapidjson::SizeType length, bool /*copy*/)
    {
        const std::string_view key(text, length);
        if (m_depth == 1) {
            if (key == "type" && !m_typeSeen) {
                m_typeSeen = true;
                m_pending = Pending::TYPE;
                return true;
            }
            if (key == "payload" && !m_payloadSeen) {
                m_payloadSeen = true;
                m_pending = Pending::PAYLOAD;
                return true;
            }
            return false;
        }
        m_field = FIELD_NAMES.size();
        for (std::size_t field = 0; field < FIELD_NAMES.size(); ++field) {
            if (key == FIELD_NAMES[field]) {
                if (m_fieldSeen[field]) {
                    return false;
                }
                m_fieldSeen[field] = true;
                m_field = field;
            }
        }
        m_pending = Pending::VALUE;
        return plainText(key);
    }
    bool String(const char* text, rapidjson::SizeType length, bool /*copy*/)
    {
        const std::string_view value(text, length);
        if (m_pending == Pending::TYPE) {
            m_pending = Pending::NONE;
            return value == TALK_TYPE;
        }
        if (!plainText(value)) {
            return false;
        }
        return take(m_field < FIELD_NAMES.size() ? json(std::string(value)) : json());
    }
    bool Null() { return take(json()); }
    bool Bool(bool value) { return take(json(value)); }
    bool Int(int value) { return Int64(value); }
    bool Uint(unsigned value) { return Uint64(value); }
    // The parsed document holds a number that is not negative as unsigned.
    bool Int64(std::int64_t value)
    {
        return value >= 0 ? take(json(static_cast<std::uint64_t>(value))) : take(json(value));
    }
    bool Uint64(std::uint64_t value) { return take(json(value)); }
    bool Double(double value) { return take(json(value)); }

    bool complete() const { return m_typeSeen && m_payloadSeen && m_depth == 0; }
    TalkStatus talk() { return {std::move(m_values[0]), std::move(m_values[1]), std::move(m_values[2])}; }

private:
    enum class Pending { NONE, TYPE, PAYLOAD, VALUE };

    // A value of the payload: kept when it is one of the three fields, else passed over.
    bool take(json value)
    {
        if (m_depth != 2) {
            return false;
        }
        if (m_pending == Pending::VALUE && m_field < FIELD_NAMES.size()) {
            m_values[m_field] = std::move(value);
        }
        m_pending = Pending::NONE;
        return true;
    }

    // The reader writes a \u escape of half a UTF-16 pair as its three bytes, which the
    // full parse refuses: a frame with one goes that way.
    static bool plainText(std::string_view text)
    {
        for (std::size_t i = 0; i + 1 < text.size(); ++i) {
            if (static_cast<unsigned char>(text[i]) == 0xED &&
                static_cast<unsigned char>(text[i + 1]) >= 0xA0) {
                return false;
            }
        }
        return true;
    }

    int m_depth = 0;
    Pending m_pending = Pending::NONE;
    bool m_typeSeen = false;
    bool m_payloadSeen = false;
    std::size_t m_field = FIELD_NAMES.size();  // the field the next value is, if one of the three
    std::array<bool, 3> m_fieldSeen{};
    std::array<json, 3> m_values;
};

}  // namespace

std::optional<TalkStatus> readTalkStatus(std::string_view frame)
{
    // The reader ends the text at a NUL byte, which no JSON text holds anywhere.
    if (frame.empty() || std::memchr(frame.data(), '\0', frame.size()) != nullptr) {
        return std::nullopt;
    }
    // Read in place, in a copy: the reader then keeps nothing of its own, where version 1.1
    // does arithmetic on a null pointer the first time it does. The handler stops it at the
    // second level, so its recursion goes no deeper.
    std::string text(frame);
    rapidjson::InsituStringStream stream(text.data());
    TalkHandler handler;
    rapidjson::Reader reader;
    constexpr unsigned FLAGS = rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag;
    if (reader.Parse<FLAGS>(stream, handler).IsError() || !handler.complete()) {
        return std::nullopt;
    }
    return handler.talk();
}

}  // namespace bridge
