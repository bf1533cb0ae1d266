// The seam between the tool's logic and the operating system.
//
// Everything the logic needs from the system is a free function declared here,
// on the project's own plain types. Exactly one implementation is linked into a
// build: platform/posix, platform/windows, or the fake used by the unit tests.
// Nothing above this header sees winscard.h, windows.h, DWORD, LONG or wchar_t.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- card service

// Opaque handles of the card service, widened to 64 bits so that both the
// Windows (pointer-sized) and the pcsc-lite (long) handles fit unchanged.
using CardContext = std::uint64_t;
using CardHandle = std::uint64_t;

// A card-service status: 0 is success, anything else is a failure. The logic
// only compares it with 0 and never prints it.
using CardStatus = std::uint32_t;

// The one reader-state record of a status query (SCARD_READERSTATEW without the
// user data, which the tool never uses). The caller sets readerName and
// currentState; the service fills eventState, atrLength and atr.
struct ReaderState {
    std::u16string readerName;
    std::uint32_t currentState = 0;
    std::uint32_t eventState = 0;
    std::uint32_t atrLength = 0;
    std::array<std::uint8_t, 36> atr{};
};

CardStatus EstablishContext(std::uint32_t scope, CardContext& context);
void ReleaseContext(CardContext context);

// Lists all readers with an auto-allocated buffer that is given back before the
// call returns. On success `multiString` holds the names exactly as the service
// laid them out: each name ended by a NUL, the list ended by an empty name.
CardStatus ListReaders(CardContext context, std::u16string& multiString);

// One status query for one reader. A state that differs from the caller's
// currentState is answered at once; only an unchanged state waits for the
// time-out (and then fails with the service's time-out status).
CardStatus GetStatusChange(CardContext context, std::uint32_t timeoutMs,
                           ReaderState& state);

CardStatus Connect(CardContext context, const std::u16string& readerName,
                   std::uint32_t shareMode, std::uint32_t preferredProtocols,
                   CardHandle& card, std::uint32_t& activeProtocol);
CardStatus BeginTransaction(CardHandle card);

// Sends `command` with an I/O request of the given protocol (the platform's own
// header size) and receives into `response`. `receivedLength` is the size that
// is offered to the service on the way in and the number of bytes received on
// the way out.
CardStatus Transmit(CardHandle card, std::uint32_t protocol,
                    std::span<const std::uint8_t> command,
                    std::span<std::uint8_t> response,
                    std::uint32_t& receivedLength);
CardStatus EndTransaction(CardHandle card, std::uint32_t disposition);
CardStatus Disconnect(CardHandle card, std::uint32_t disposition);

// --------------------------------------------------------- device enumeration

// Device paths of the present smart-card reader interfaces, in the platform's
// order, in the Windows form \\?\usb#vid_VVVV&pid_PPPP#INSTANCE#{class guid}.
std::vector<std::u16string> ListReaderInterfacePaths();

// -------------------------------------------------------------------- console

// Prepares the console for the run (called once, first thing). Whatever it
// changes is put back on every way out of the process.
void ConsoleOpen();
// Prints the text character for character; never interprets it as a format.
void ConsolePrint(const std::u16string& text);
// Sets a console text attribute: 10 bright green, 12 bright red, 15 bright white.
void ConsoleSetAttribute(std::uint16_t attribute);
void ConsoleClear();

// ------------------------------------------------------------------- keyboard

// True when Escape is down at the moment of the call. Never waits.
bool EscapeDown();

// ------------------------------------------------------------ clock and sleep

void SleepMs(std::uint32_t milliseconds);
std::uint32_t TickCountMs();
// Seconds since 1970-01-01 UTC.
std::int64_t CurrentTime();
// Milliseconds since 1970-01-01 UTC.
std::int64_t CurrentTimeMs();

struct LocalTime {
    int year = 0;    // e.g. 2024
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};
// Converts to the local time zone; false when the conversion fails.
bool ToLocalTime(std::int64_t secondsSinceEpoch, LocalTime& out);

// ------------------------------------------------------------ profile (INI)

// Profile reads with the semantics of the Windows profile functions: a missing
// file, section or key gives the default. `capacity` counts characters
// including the terminator, as the Windows buffer does.
std::uint32_t ProfileInt(const std::u16string& section, const std::u16string& key,
                         std::int32_t defaultValue, const std::u16string& path);
std::u16string ProfileString(const std::u16string& section, const std::u16string& key,
                             const std::u16string& defaultValue, std::size_t capacity,
                             const std::u16string& path);

// ---------------------------------------------------------------------- files

// The separator the system puts between a folder and a file name.
extern const char16_t kPathSeparator;

std::u16string CurrentDirectory();
bool FileExists(const std::u16string& path);

// Opens the log (created if missing; emptied first unless `append`), moves to
// its end, writes the UTF-16LE code units of `text` in one write, closes it.
// True when every byte was written. Other programs may read and write the file
// meanwhile.
bool WriteLogFile(const std::u16string& path, const std::u16string& text, bool append);

// Appends `row` to a text file, created if missing; a file that is new or
// empty gets `header` first. Opened and closed for each call; never
// truncated. True when the whole row was written; a failed write leaves the
// file as it was.
bool AppendTextFile(const std::u16string& path, std::string_view header, std::string_view row);

// An open TestScript: read-only, never created, not shared while open.
struct ScriptFile;
ScriptFile* OpenScriptFile(const std::u16string& path);
void CloseScriptFile(ScriptFile* file);

enum class LineRead { Line, End, Error };
// Reads the next line's bytes without its line end: a line ends at LF, and a
// CR right before the LF belongs to the line end. End when the file ends
// before any byte of a new line could be read.
LineRead ReadScriptFileLine(ScriptFile* file, std::string& bytes);

// --------------------------------------------------------------------- system

struct OsVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
};
OsVersion GetOsVersion();

// This computer's name on the network (empty when the system gives none).
std::u16string HostName();

// Ends the process with the runtime's normal exit: console output is flushed
// and the console is put back as ConsoleOpen found it.
[[noreturn]] void ExitProcess(int status);

}  // namespace platform
