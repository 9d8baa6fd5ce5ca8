#pragma once
// Building requests on the display side of the link.
//
// Client IDs travel in 16 bits and channel IDs and ban durations in 32 bits, although the
// voice client uses wider ones elsewhere (the lists report every ID in 64 bits). A value
// that does not fit is refused rather than cut to its low bits, which would name another
// client or channel.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace display {

inline constexpr std::uint64_t MAX_REQUEST_CLIENT_ID = std::numeric_limits<std::uint16_t>::max();
inline constexpr std::uint64_t MAX_REQUEST_CHANNEL_ID = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint64_t MAX_BAN_SECONDS = std::numeric_limits<std::uint32_t>::max();

struct Request {
    std::vector<std::uint8_t> bytes;
    std::string error;  // why the request cannot be built; empty when it can

    bool ok() const { return error.empty(); }
};

Request serverInfoRequest();
Request channelListRequest();
Request clientListRequest();

// Control requests. The plug-in sends nothing back for them.
Request disconnectRequest();
Request toggleMicrophoneRequest();
Request toggleAwayRequest();
Request toggleSpeakersRequest();
Request talkPowerRequest();
Request moveSelfRequest(std::uint64_t channel);
Request kickFromChannelRequest(std::uint64_t client);
Request kickFromServerRequest(std::uint64_t client);
Request banRequest(std::uint64_t client, std::uint64_t seconds);
Request moveClientRequest(std::uint64_t client, std::uint64_t channel);

}  // namespace display
