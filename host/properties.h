#pragma once
// The host's numeric property identifiers that the plug-in reads and sets.

#include <cstddef>

// Server string properties.
inline constexpr std::size_t SERVER_NAME = 1;

// Channel properties.
inline constexpr std::size_t CHANNEL_NAME = 0;
inline constexpr std::size_t CHANNEL_ORDER = 8;
inline constexpr std::size_t CHANNEL_FLAG_PASSWORD = 12;
inline constexpr std::size_t CHANNEL_NEEDED_TALK_POWER = 28;

// Client properties.
inline constexpr std::size_t CLIENT_NICKNAME = 1;
inline constexpr std::size_t CLIENT_FLAG_TALKING = 4;
inline constexpr std::size_t CLIENT_INPUT_MUTED = 5;
inline constexpr std::size_t CLIENT_OUTPUT_MUTED = 6;
inline constexpr std::size_t CLIENT_IS_MUTED = 16;  // muted locally by this user
inline constexpr std::size_t CLIENT_IS_RECORDING = 17;
inline constexpr std::size_t CLIENT_AWAY = 38;
inline constexpr std::size_t CLIENT_TALK_REQUEST = 43;
inline constexpr std::size_t CLIENT_IS_TALKER = 46;
inline constexpr std::size_t CLIENT_IS_CHANNEL_COMMANDER = 57;
