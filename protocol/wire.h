#pragma once
// The command and sub-command bytes of the display link: what both ends of the link agree
// on, and nothing else. The plug-in's handlers dispatch on them; the display side (client/)
// builds requests with them and checks the tags of the answers it reads against them.

#include <cstdint>

// First byte of a request, and the tag of the answers that have one.
inline constexpr std::uint8_t COMMAND_UNKNOWN = 0;  // the answer to every byte not listed here
inline constexpr std::uint8_t COMMAND_SERVER_NAME = 2;
inline constexpr std::uint8_t COMMAND_CHANNEL_LIST = 3;
inline constexpr std::uint8_t COMMAND_CONTROL = 4;
inline constexpr std::uint8_t COMMAND_CLIENT_LIST = 5;

// Second byte of a control request.
inline constexpr std::uint8_t CONTROL_DISCONNECT = 1;
inline constexpr std::uint8_t CONTROL_TOGGLE_MICROPHONE = 2;
inline constexpr std::uint8_t CONTROL_TOGGLE_AWAY = 3;
inline constexpr std::uint8_t CONTROL_TOGGLE_SPEAKERS = 4;
inline constexpr std::uint8_t CONTROL_TALK_REQUEST = 5;
inline constexpr std::uint8_t CONTROL_MOVE_SELF = 7;
inline constexpr std::uint8_t CONTROL_KICK_FROM_CHANNEL = 8;
inline constexpr std::uint8_t CONTROL_KICK_FROM_SERVER = 9;
inline constexpr std::uint8_t CONTROL_BAN = 10;
inline constexpr std::uint8_t CONTROL_MOVE_CLIENT = 11;
