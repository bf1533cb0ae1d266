// The program-wide state: one instance for the whole process. Operations keep
// no state of their own between calls; everything that outlives a call is here.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// Completion code of every test step; 0 is success.
using ResultCode = std::uint16_t;

namespace result {
inline constexpr ResultCode kOk = 0x0000;
inline constexpr ResultCode kStatusQueryFailed = 0xE002;   // status query failed, or reader unavailable
inline constexpr ResultCode kReaderEmpty = 0xE004;         // card wait: no card in the reader
inline constexpr ResultCode kCardMute = 0xE005;            // card wait: the card does not respond
inline constexpr ResultCode kScriptNotOpened = 0xE006;     // the TestScript cannot be opened (or read)
inline constexpr ResultCode kScriptLineMissing = 0xE007;   // a due line is missing, or a line stands where a header is due
inline constexpr ResultCode kUnknownProtocol = 0xE008;     // protocol line other than Auto, T0, T1
inline constexpr ResultCode kAtrNotRead = 0xE009;          // the card's ATR cannot be read
inline constexpr ResultCode kConnectFailed = 0xE00A;       // the card service refuses the connection
inline constexpr ResultCode kTransmitFailed = 0xE00B;      // a command cannot be exchanged
inline constexpr ResultCode kResponseMismatch = 0xE00C;    // the card's answer differs from the script
}  // namespace result

// Reader names kept from a listing; only entry 0 is ever used.
inline constexpr std::size_t kReaderListSize = 8;

struct ToolState {
    platform::CardContext CardContext = 0;
    std::array<std::u16string, kReaderListSize> ReaderList{};
    std::uint8_t ReaderCount = 0;
    // The one reader-state record that every status query shares.
    platform::ReaderState ReaderStateRecord{};
    // "Please insert card" is due at the next sight of an empty reader.
    bool CardPromptPending = true;

    // Settings, read once at start.
    std::uint32_t OutTimes = 0;
    std::uint32_t XFREn = 0;
    std::uint32_t LogFile = 0;
    std::u16string LogPath;
    // The per-card results file; empty when none is kept.
    std::u16string ResultPath;

    // The message being reported.
    std::u16string ReportText;

    // The TestScript while one card's script runs.
    platform::ScriptFile* ScriptFile = nullptr;
    // True when a read error (not the end) stopped the current script run.
    bool ScriptReadFailed = false;
    // Lines read since the script was opened, comments and empty lines included.
    std::int32_t ScriptLineNumber = 0;

    // Preferred protocols of the transfer test's connection: 1 T=0, 2 T=1, 3 either.
    std::uint32_t CardProtocol = 0;
    // The card's ATR text equals the script's expected ATR.
    bool AtrMatched = false;

    // For the results file: the identity last reported for the reader (empty
    // when none), and the card under test: its ATR as read (empty when it was
    // not read) and the number of commands sent to it.
    std::u16string ReaderHardwareId;
    std::u16string ReaderSerialNumber;
    std::u16string CardAtrText;
    std::uint32_t ExchangesSent = 0;
};

// The one instance.
ToolState& Tool();
// Puts every field back to its start value (tests start each case from here).
void ResetToolState();
