// Preloaded into the tool (LD_PRELOAD) to time it from inside without
// changing it. Each wrapped PC/SC call goes straight on to libpcsclite; the
// probe only reads the clock around it and writes a line to the file named by
// TAVIX_BENCH_PROBE when something of interest happens:
//
//   <monotonic ns> context        a context was established (once per main-loop pass)
//   <monotonic ns> present        first status answer that shows a card
//   <monotonic ns> empty          first status answer that shows an empty reader
//   <monotonic ns> begin          SCardBeginTransaction has returned
//   <monotonic ns> end            SCardEndTransaction is called
//   <monotonic ns> transmit       each SCardTransmit call of that transaction
//
// The clock reads cost tens of nanoseconds; a write happens only on these
// events. The transmit stamps are kept in memory and written after "end", so
// nothing is written inside the transfer loop.
#include <PCSC/winscard.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "pcsc_bench.h"

namespace {

int g_fd = -2;  // -2: not opened yet; -1: no probe file
DWORD g_lastCard = 0;  // SCARD_STATE_PRESENT or SCARD_STATE_EMPTY last seen
constexpr std::size_t kMaxTransmits = 1 << 16;
std::int64_t g_transmits[kMaxTransmits];
std::size_t g_transmitCount = 0;

void Note(std::int64_t when, const char* what) {
    if (g_fd == -2) {
        const char* path = std::getenv("TAVIX_BENCH_PROBE");
        g_fd = path == nullptr ? -1 : ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (g_fd < 0) return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%lld %s\n", static_cast<long long>(when), what);
    if (length > 0) {
        [[maybe_unused]] const ssize_t written = ::write(g_fd, line, static_cast<std::size_t>(length));
    }
}

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

LONG SCardEstablishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2, LPSCARDCONTEXT context) {
    static const auto next = Next<decltype(&SCardEstablishContext)>("SCardEstablishContext");
    const LONG rv = next(scope, reserved1, reserved2, context);
    Note(bench::NowNs(), "context");
    return rv;
}

LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states, DWORD count) {
    static const auto next = Next<decltype(&SCardGetStatusChange)>("SCardGetStatusChange");
    const LONG rv = next(context, timeout, states, count);
    const std::int64_t now = bench::NowNs();
    if (rv == SCARD_S_SUCCESS && count > 0) {
        const DWORD card = states[0].dwEventState & (SCARD_STATE_PRESENT | SCARD_STATE_EMPTY);
        if (card != 0 && card != g_lastCard) {
            g_lastCard = card;
            Note(now, card == SCARD_STATE_PRESENT ? "present" : "empty");
        }
    }
    return rv;
}

LONG SCardBeginTransaction(SCARDHANDLE card) {
    static const auto next = Next<decltype(&SCardBeginTransaction)>("SCardBeginTransaction");
    const LONG rv = next(card);
    Note(bench::NowNs(), "begin");
    return rv;
}

LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, LPCBYTE sendBuffer, DWORD sendLength,
                   SCARD_IO_REQUEST* receivePci, LPBYTE receiveBuffer, LPDWORD receiveLength) {
    static const auto next = Next<decltype(&SCardTransmit)>("SCardTransmit");
    if (g_transmitCount < kMaxTransmits) g_transmits[g_transmitCount++] = bench::NowNs();
    return next(card, sendPci, sendBuffer, sendLength, receivePci, receiveBuffer, receiveLength);
}

LONG SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    static const auto next = Next<decltype(&SCardEndTransaction)>("SCardEndTransaction");
    Note(bench::NowNs(), "end");
    for (std::size_t i = 0; i < g_transmitCount; ++i) Note(g_transmits[i], "transmit");
    g_transmitCount = 0;
    return next(card, disposition);
}

}  // extern "C"
