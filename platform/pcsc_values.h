// PC/SC values that the logic passes or tests, with the platforms' published
// values (identical in WinSCard and pcsc-lite).
#pragma once

#include <cstdint>

namespace pcsc {

inline constexpr std::uint32_t SCOPE_SYSTEM = 2;

// Reader state bits.
inline constexpr std::uint32_t STATE_UNAWARE = 0x0000;
inline constexpr std::uint32_t STATE_CHANGED = 0x0002;
inline constexpr std::uint32_t STATE_UNAVAILABLE = 0x0008;
inline constexpr std::uint32_t STATE_EMPTY = 0x0010;
inline constexpr std::uint32_t STATE_PRESENT = 0x0020;
inline constexpr std::uint32_t STATE_MUTE = 0x0200;

inline constexpr std::uint32_t SHARE_SHARED = 2;

// Protocol masks.
inline constexpr std::uint32_t PROTOCOL_T0 = 1;
inline constexpr std::uint32_t PROTOCOL_T1 = 2;
inline constexpr std::uint32_t PROTOCOL_T0_OR_T1 = PROTOCOL_T0 | PROTOCOL_T1;

// Dispositions.
inline constexpr std::uint32_t LEAVE_CARD = 0;
inline constexpr std::uint32_t RESET_CARD = 1;

}  // namespace pcsc
