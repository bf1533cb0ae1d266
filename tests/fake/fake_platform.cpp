#include "tests/fake/fake_platform.h"

#include <algorithm>

#include "control/text.h"
#include "platform/pcsc_values.h"
#include "platform/posix/ini_reader.h"

namespace fake {

namespace {

World g_world;

// Runs every scheduled change whose time has come.
void RunDueEvents() {
    World& w = g_world;
    while (!w.events.empty() && w.events.begin()->first <= w.nowMs) {
        auto change = std::move(w.events.begin()->second);
        w.events.erase(w.events.begin());
        change(w);
    }
}

void Advance(std::uint64_t ms) {
    g_world.nowMs += ms;
    if (g_world.nowMs > g_world.clockLimitMs) throw Runaway{};
    RunDueEvents();
}

// The status a call returns: an injected one if queued, else `normal`.
platform::CardStatus Outcome(const std::string& call, platform::CardStatus normal) {
    auto found = g_world.injected.find(call);
    if (found == g_world.injected.end() || found->second.empty()) return normal;
    const platform::CardStatus status = found->second.front();
    found->second.pop_front();
    return status;
}

Call& Record(Call call) {
    g_world.calls.push_back(std::move(call));
    return g_world.calls.back();
}

bool Attached(const std::u16string& reader) {
    return std::find(g_world.readers.begin(), g_world.readers.end(), reader) != g_world.readers.end();
}

// The reader's state as Windows reports it: state bits, event count above.
std::uint32_t ReaderStateNow(const std::u16string& reader) {
    const auto card = g_world.cards.find(reader);
    const std::uint32_t bits = card == g_world.cards.end() ? pcsc::STATE_EMPTY : card->second.state;
    return bits | (g_world.eventCount[reader] << 16);
}

std::u16string Resolve(const std::u16string& path) {
    return !path.empty() && path[0] == u'/' ? path : g_world.Path(path);
}

}  // namespace

void World::Insert(const std::u16string& reader, Card card) {
    cards[reader] = std::move(card);
    ++eventCount[reader];
}
void World::Remove(const std::u16string& reader) {
    if (cards.erase(reader) != 0) ++eventCount[reader];
}
void World::Plug(const std::u16string& reader) {
    if (!Attached(reader)) readers.push_back(reader);
}
void World::Unplug(const std::u16string& reader) {
    readers.erase(std::remove(readers.begin(), readers.end(), reader), readers.end());
    cards.erase(reader);
}

std::u16string World::LogText(const std::u16string& name) const {
    const auto found = files.find(Resolve(name));
    if (found == files.end()) return {};
    std::u16string text;
    const std::string& bytes = found->second;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                      (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
}

std::vector<Call> World::CallsNamed(const std::string& name) const {
    std::vector<Call> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                 [&](const Call& c) { return c.name == name; });
    return out;
}

World& Get() { return g_world; }
void Reset() { g_world = World{}; }

}  // namespace fake

// ------------------------------------------------------------- the platform

namespace platform {

using fake::g_world;

const char16_t kPathSeparator = u'/';

struct ScriptFile {
    std::string content;
    std::size_t pos = 0;
    int linesRead = 0;
};

CardStatus EstablishContext(std::uint32_t scope, CardContext& context) {
    fake::RunDueEvents();
    const CardStatus status = fake::Outcome("EstablishContext", g_world.serviceUp ? 0 : fake::kNoService);
    context = status == 0 ? ++g_world.nextHandle : 0;
    if (status == 0) g_world.openContexts.insert(context);
    fake::Record({.name = "EstablishContext", .handle = context, .a = scope, .status = status});
    return status;
}

void ReleaseContext(CardContext context) {
    g_world.openContexts.erase(context);
    fake::Record({.name = "ReleaseContext", .handle = context});
}

CardStatus ListReaders(CardContext context, std::u16string& multiString) {
    CardStatus status = g_world.readers.empty() ? fake::kNoReaders : 0;
    status = fake::Outcome("ListReaders", status);
    fake::Record({.name = "ListReaders", .handle = context, .status = status});
    if (status != 0) return status;
    if (g_world.rawReaderList) {
        multiString = *g_world.rawReaderList;
        return 0;
    }
    multiString.clear();
    for (const auto& name : g_world.readers) {
        multiString += name;
        multiString += u'\0';
    }
    multiString += u'\0';
    return 0;
}

CardStatus GetStatusChange(CardContext context, std::uint32_t timeoutMs, ReaderState& state) {
    // Every query costs a little time, so that a poll loop moves the clock.
    fake::Advance(1);
    fake::Call call{.name = "GetStatusChange", .handle = context, .a = timeoutMs,
                    .b = state.currentState, .reader = state.readerName};
    CardStatus status = fake::Attached(state.readerName) ? 0 : fake::kUnknownReader;
    if (status == 0 && fake::ReaderStateNow(state.readerName) == state.currentState) {
        fake::Advance(timeoutMs);
        if (fake::ReaderStateNow(state.readerName) == state.currentState) status = fake::kTimeout;
    }
    status = fake::Outcome("GetStatusChange", status);
    call.status = status;
    fake::Record(call);
    if (status != 0) return status;

    const std::uint32_t now = fake::ReaderStateNow(state.readerName);
    state.eventState = now | (now != state.currentState ? pcsc::STATE_CHANGED : 0u);
    const auto card = g_world.cards.find(state.readerName);
    if (card == g_world.cards.end()) {
        state.atrLength = 0;
    } else {
        const auto length = std::min(card->second.atr.size(), state.atr.size());
        std::copy_n(card->second.atr.begin(), length, state.atr.begin());
        state.atrLength = static_cast<std::uint32_t>(length);
    }
    return 0;
}

CardStatus Connect(CardContext context, const std::u16string& readerName, std::uint32_t shareMode,
                   std::uint32_t preferredProtocols, CardHandle& card, std::uint32_t& activeProtocol) {
    const auto inserted = g_world.cards.find(readerName);
    CardStatus status = 0;
    if (!fake::Attached(readerName)) {
        status = fake::kUnknownReader;
    } else if (inserted == g_world.cards.end()) {
        status = fake::kRemovedCard;
    } else if ((inserted->second.activeProtocol & preferredProtocols) == 0 &&
               inserted->second.activeProtocol != 0) {
        status = fake::kProtoMismatch;
    }
    status = fake::Outcome("Connect", status);
    if (status == 0) {
        card = ++g_world.nextHandle;
        activeProtocol = inserted != g_world.cards.end() ? inserted->second.activeProtocol : 0;
        g_world.connectedCards.insert(card);
    }
    fake::Record({.name = "Connect", .handle = status == 0 ? card : context, .a = shareMode,
                  .b = preferredProtocols, .reader = readerName, .status = status});
    return status;
}

CardStatus BeginTransaction(CardHandle card) {
    const CardStatus status = fake::Outcome("BeginTransaction", 0);
    fake::Record({.name = "BeginTransaction", .handle = card, .status = status});
    return status;
}

CardStatus Transmit(CardHandle card, std::uint32_t protocol, std::span<const std::uint8_t> command,
                    std::span<std::uint8_t> response, std::uint32_t& receivedLength) {
    fake::Call call{.name = "Transmit", .handle = card, .a = protocol,
                    .data = fake::Bytes(command.begin(), command.end()), .offered = receivedLength};
    // The card in the reader that this handle was connected to.
    fake::Card* inserted = nullptr;
    for (const auto& c : g_world.calls) {
        if (c.name == "Connect" && c.handle == card) {
            auto found = g_world.cards.find(c.reader);
            if (found != g_world.cards.end()) inserted = &found->second;
        }
    }
    CardStatus status = inserted == nullptr ? fake::kRemovedCard : 0;
    if (inserted != nullptr && inserted->removeAfterExchanges) {
        if (--*inserted->removeAfterExchanges <= 0) {
            // Pulled out while this command was on its way.
            for (auto it = g_world.cards.begin(); it != g_world.cards.end(); ++it) {
                if (&it->second == inserted) {
                    const std::u16string reader = it->first;  // erase frees the key
                    g_world.Remove(reader);
                    break;
                }
            }
            inserted = nullptr;
            status = fake::kRemovedCard;
        }
    }
    status = fake::Outcome("Transmit", status);
    std::uint32_t got = 0;
    if (status == 0 && inserted != nullptr) {
        const auto answer = inserted->responses.find(call.data);
        const fake::Bytes& bytes =
            answer != inserted->responses.end() ? answer->second : inserted->defaultResponse;
        got = static_cast<std::uint32_t>(std::min<std::size_t>(
            {bytes.size(), response.size(), static_cast<std::size_t>(receivedLength)}));
        std::copy_n(bytes.begin(), got, response.begin());
    }
    receivedLength = got;
    call.status = status;
    fake::Record(call);
    return status;
}

CardStatus EndTransaction(CardHandle card, std::uint32_t disposition) {
    fake::Record({.name = "EndTransaction", .handle = card, .a = disposition});
    return 0;
}

CardStatus Disconnect(CardHandle card, std::uint32_t disposition) {
    g_world.connectedCards.erase(card);
    fake::Record({.name = "Disconnect", .handle = card, .a = disposition});
    return 0;
}

std::vector<std::u16string> ListReaderInterfacePaths() { return g_world.interfacePaths; }

void ConsoleOpen() {}

void ConsolePrint(const std::u16string& text) {
    g_world.console += text;
    g_world.consoleWithColours += text;
}

void ConsoleSetAttribute(std::uint16_t attribute) {
    g_world.colours.push_back(attribute);
    g_world.consoleWithColours += u"{" + text::Decimal(attribute) + u"}";
}

void ConsoleClear() { ++g_world.clears; }

bool EscapeDown() {
    fake::RunDueEvents();
    ++g_world.escapePolls;
    return (g_world.escapeOnPoll && g_world.escapePolls >= *g_world.escapeOnPoll) ||
           (g_world.escapeAtMs && g_world.nowMs >= *g_world.escapeAtMs);
}

void SleepMs(std::uint32_t milliseconds) { fake::Advance(milliseconds); }
std::uint32_t TickCountMs() { return static_cast<std::uint32_t>(g_world.nowMs); }
std::int64_t CurrentTime() { return g_world.currentTime; }
std::int64_t CurrentTimeMs() {
    return g_world.currentTime * 1000 + static_cast<std::int64_t>(g_world.nowMs);
}

bool ToLocalTime(std::int64_t secondsSinceEpoch, LocalTime& out) {
    if (g_world.localTimeFails) return false;
    if (g_world.localTime) {
        out = *g_world.localTime;
        return true;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    const std::int64_t local = secondsSinceEpoch + g_world.utcOffsetMinutes * 60;
    std::int64_t days = local / 86400;
    std::int64_t rest = local % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    out.year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    out.month = static_cast<int>(month);
    out.day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    out.hour = static_cast<int>(rest / 3600);
    out.minute = static_cast<int>(rest % 3600 / 60);
    out.second = static_cast<int>(rest % 60);
    return true;
}

std::uint32_t ProfileInt(const std::u16string& section, const std::u16string& key,
                         std::int32_t defaultValue, const std::u16string& path) {
    const auto file = g_world.files.find(path);
    if (file == g_world.files.end()) return static_cast<std::uint32_t>(defaultValue);
    return ini::ReadInt(file->second, text::ToUtf8(section), text::ToUtf8(key), defaultValue);
}

std::u16string ProfileString(const std::u16string& section, const std::u16string& key,
                             const std::u16string& defaultValue, std::size_t capacity,
                             const std::u16string& path) {
    const auto file = g_world.files.find(path);
    const std::string fallback = text::ToUtf8(defaultValue);
    if (file == g_world.files.end()) return defaultValue.substr(0, capacity == 0 ? 0 : capacity - 1);
    return text::FromUtf8(
        ini::ReadString(file->second, text::ToUtf8(section), text::ToUtf8(key), fallback, capacity));
}

std::u16string CurrentDirectory() { return g_world.cwd; }

bool FileExists(const std::u16string& path) { return g_world.files.contains(path); }

bool WriteLogFile(const std::u16string& path, const std::u16string& text, bool append) {
    const std::u16string full = fake::Resolve(path);
    if (path.empty() || g_world.unwritable.contains(full)) return false;
    std::string& bytes = g_world.files[full];
    if (!append) bytes.clear();
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return true;
}

ScriptFile* OpenScriptFile(const std::u16string& path) {
    const std::u16string full = fake::Resolve(path);
    const auto file = g_world.files.find(full);
    if (file == g_world.files.end() || g_world.lockedScripts.contains(full)) return nullptr;
    ++g_world.scriptOpens;
    return new ScriptFile{file->second};
}

void CloseScriptFile(ScriptFile* file) {
    ++g_world.scriptCloses;
    delete file;
}

LineRead ReadScriptFileLine(ScriptFile* file, std::string& bytes) {
    if (file->pos >= file->content.size()) return LineRead::End;
    if (g_world.scriptReadErrorAtLine && file->linesRead + 1 == *g_world.scriptReadErrorAtLine) {
        return LineRead::Error;
    }
    std::size_t end = file->content.find('\n', file->pos);
    std::size_t next = end == std::string::npos ? file->content.size() : end + 1;
    if (end == std::string::npos) {
        end = file->content.size();
    } else if (end > file->pos && file->content[end - 1] == '\r') {
        --end;
    }
    bytes.assign(file->content, file->pos, end - file->pos);
    file->pos = next;
    ++file->linesRead;
    return LineRead::Line;
}

OsVersion GetOsVersion() { return g_world.osVersion; }

std::u16string HostName() { return g_world.hostName; }

bool AppendTextFile(const std::u16string& path, std::string_view header, std::string_view row) {
    const std::u16string full = fake::Resolve(path);
    if (path.empty() || g_world.unwritable.contains(full)) return false;
    std::string& bytes = g_world.files[full];
    if (bytes.empty()) bytes = header;
    bytes += row;
    return true;
}

void ExitProcess(int status) { throw fake::ToolExit{status}; }

}  // namespace platform
