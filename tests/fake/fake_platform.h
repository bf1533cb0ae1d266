// A fake platform for unit tests: readers, cards, files and a console in
// memory, a virtual clock that moves only when the tool sleeps or waits, a
// record of every card-service call, and per-call status injection.
//
// Reset() in a fixture's SetUp gives every test a clean world.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "control/main_loop.h"
#include "platform/platform.h"

namespace fake {

using Bytes = std::vector<std::uint8_t>;

// Thrown by platform::ExitProcess so that a test can watch the tool stop.
struct ToolExit {
    int status;
};
// Thrown when the virtual clock runs past World::clockLimitMs: a tool that
// never stops would otherwise hang the test.
struct Runaway {};

// Card-service statuses the fake hands out (the platforms' published values).
inline constexpr platform::CardStatus kNoService = 0x8010001D;
inline constexpr platform::CardStatus kTimeout = 0x8010000A;
inline constexpr platform::CardStatus kUnknownReader = 0x80100009;
inline constexpr platform::CardStatus kNoReaders = 0x8010002E;
inline constexpr platform::CardStatus kRemovedCard = 0x80100069;
inline constexpr platform::CardStatus kProtoMismatch = 0x8010000F;
inline constexpr platform::CardStatus kCommError = 0x80100013;

struct Card {
    Bytes atr = {0x3B, 0x02, 0x14, 0x50};
    // Event-state bits while the card is in (e.g. PRESENT | MUTE).
    std::uint32_t state = 0x20;
    std::uint32_t activeProtocol = 2;  // T=1
    std::map<Bytes, Bytes> responses;  // command -> whole answer
    Bytes defaultResponse = {0x90, 0x00};
    // The card leaves the reader when this many commands have been sent to
    // it; the last of them fails.
    std::optional<int> removeAfterExchanges;
};

// One recorded card-service call.
struct Call {
    std::string name;              // "Connect", "Transmit", ...
    std::uint64_t handle = 0;      // context or card handle
    std::uint32_t a = 0;           // Connect: share mode; End/Disconnect: disposition;
                                   // GetStatusChange: time-out; Transmit: protocol
    std::uint32_t b = 0;           // Connect: preferred protocols; GetStatusChange: current state
    std::u16string reader;         // Connect, GetStatusChange
    Bytes data;                    // Transmit: command bytes
    std::uint32_t offered = 0;     // Transmit: receive length offered
    platform::CardStatus status = 0;
};

struct World {
    // --- time
    std::uint64_t nowMs = 0;
    std::uint64_t clockLimitMs = 10 * 60 * 1000;
    // Scheduled changes, run when the clock reaches their time.
    std::multimap<std::uint64_t, std::function<void(World&)>> events;

    // --- card service
    bool serviceUp = true;
    std::vector<std::u16string> readers;          // attached readers, in list order
    std::map<std::u16string, Card> cards;         // reader -> card in it
    std::map<std::u16string, std::uint32_t> eventCount;  // per reader, bumped on change
    std::map<std::string, std::deque<platform::CardStatus>> injected;  // call -> next statuses
    std::optional<std::u16string> rawReaderList;  // overrides the built multi-string
    std::vector<Call> calls;
    std::uint64_t nextHandle = 0x1000;
    std::set<std::uint64_t> openContexts;
    std::set<std::uint64_t> connectedCards;

    // --- device enumeration
    std::vector<std::u16string> interfacePaths;

    // --- console and keyboard
    std::u16string console;              // everything printed
    std::u16string consoleWithColours;   // the same, with "{10}" etc. where colours change
    std::vector<std::uint16_t> colours;
    int clears = 0;
    int escapePolls = 0;
    std::optional<int> escapeOnPoll;           // Escape is down from this poll on (1-based)
    std::optional<std::uint64_t> escapeAtMs;   // ... or from this time on

    // --- files (paths are absolute; the current directory is cwd)
    std::u16string cwd = u"/line";
    std::map<std::u16string, std::string> files;
    std::set<std::u16string> unwritable;       // log writes to these fail
    std::set<std::u16string> lockedScripts;    // opening these fails
    std::optional<int> scriptReadErrorAtLine;  // a read error instead of this line (1-based)
    int scriptOpens = 0;
    int scriptCloses = 0;

    // --- system
    platform::OsVersion osVersion{10, 0};
    // 2024-12-09 13:03:07 UTC, which is 14:03:07 in the fake's time zone.
    std::int64_t currentTime = 1733749387;
    int utcOffsetMinutes = 60;
    bool localTimeFails = false;
    // When set, every conversion gives this local time.
    std::optional<platform::LocalTime> localTime;
    std::u16string hostName = u"line-3";

    // Helpers for tests.
    void At(std::uint64_t ms, std::function<void(World&)> change) { events.emplace(ms, std::move(change)); }
    void Insert(const std::u16string& reader, Card card);
    void Remove(const std::u16string& reader);
    void Plug(const std::u16string& reader);
    void Unplug(const std::u16string& reader);
    void Inject(const std::string& call, platform::CardStatus status) { injected[call].push_back(status); }
    std::u16string Path(const std::u16string& name) const { return cwd + u"/" + name; }
    // The log's bytes decoded as UTF-16LE (empty when there is no file).
    std::u16string LogText(const std::u16string& name) const;
    std::vector<Call> CallsNamed(const std::string& name) const;
};

World& Get();
void Reset();

// Runs the tool's entry; returns its exit status whether it returned or stopped.
inline int RunToolToExit() {
    try {
        return RunTool();
    } catch (const ToolExit& exit) {
        return exit.status;
    }
}

}  // namespace fake
