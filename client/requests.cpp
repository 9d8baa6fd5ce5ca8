#include "client/requests.h"

#include "protocol/wire.h"

namespace display {

namespace {

class Builder {
public:
    explicit Builder(std::uint8_t command) { m_request.bytes.push_back(command); }

    Builder& byte(std::uint8_t value)
    {
        m_request.bytes.push_back(value);
        return *this;
    }

    Builder& uint16(std::uint16_t value) { return bigEndian(value, 2); }

    // Checks `value` against the field's range before writing it; after a refusal the
    // request stays refused and holds no bytes.
    Builder& checked(std::uint64_t value, std::uint64_t max, const char* what, int width)
    {
        if (!m_request.ok()) {
            return *this;
        }
        if (value > max) {
            m_request.bytes.clear();
            m_request.error = std::string(what) + " " + std::to_string(value) + " does not fit the " +
                              std::to_string(width * 8) + " bits a request carries (at most " +
                              std::to_string(max) + ")";
            return *this;
        }
        return bigEndian(value, width);
    }

    Request done() { return std::move(m_request); }

private:
    Builder& bigEndian(std::uint64_t value, int width)
    {
        if (m_request.ok()) {
            for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
                m_request.bytes.push_back(static_cast<std::uint8_t>(value >> shift));
            }
        }
        return *this;
    }

    Request m_request;
};

Request control(std::uint8_t subCommand)
{
    return Builder(COMMAND_CONTROL).byte(subCommand).done();
}

Builder& clientId(Builder& builder, std::uint64_t client)
{
    return builder.checked(client, MAX_REQUEST_CLIENT_ID, "client ID", 2);
}

Builder& channelId(Builder& builder, std::uint64_t channel)
{
    return builder.checked(channel, MAX_REQUEST_CHANNEL_ID, "channel ID", 4);
}

}  // namespace

Request serverInfoRequest()
{
    return Builder(COMMAND_SERVER_NAME).done();
}

Request channelListRequest()
{
    return Builder(COMMAND_CHANNEL_LIST).done();
}

Request clientListRequest()
{
    return Builder(COMMAND_CLIENT_LIST).done();
}

Request disconnectRequest()
{
    return control(CONTROL_DISCONNECT);
}

Request toggleMicrophoneRequest()
{
    return control(CONTROL_TOGGLE_MICROPHONE);
}

Request toggleAwayRequest()
{
    return control(CONTROL_TOGGLE_AWAY);
}

Request toggleSpeakersRequest()
{
    return control(CONTROL_TOGGLE_SPEAKERS);
}

Request talkPowerRequest()
{
    return control(CONTROL_TALK_REQUEST);
}

Request moveSelfRequest(std::uint64_t channel)
{
    Builder builder(COMMAND_CONTROL);
    builder.byte(CONTROL_MOVE_SELF);
    // The plug-in reads a password after the channel and ignores it; an empty one keeps
    // the request complete.
    channelId(builder, channel).uint16(0);
    return builder.done();
}

Request kickFromChannelRequest(std::uint64_t client)
{
    Builder builder(COMMAND_CONTROL);
    builder.byte(CONTROL_KICK_FROM_CHANNEL);
    clientId(builder, client);
    return builder.done();
}

Request kickFromServerRequest(std::uint64_t client)
{
    Builder builder(COMMAND_CONTROL);
    builder.byte(CONTROL_KICK_FROM_SERVER);
    clientId(builder, client);
    return builder.done();
}

Request banRequest(std::uint64_t client, std::uint64_t seconds)
{
    Builder builder(COMMAND_CONTROL);
    builder.byte(CONTROL_BAN);
    clientId(builder, client).checked(seconds, MAX_BAN_SECONDS, "ban duration", 4);
    return builder.done();
}

Request moveClientRequest(std::uint64_t client, std::uint64_t channel)
{
    Builder builder(COMMAND_CONTROL);
    builder.byte(CONTROL_MOVE_CLIENT);
    channelId(clientId(builder, client), channel);
    return builder.done();
}

}  // namespace display
