// A plain PC/SC client that waits on one reader with an infinite time-out and
// prints a line the moment pcscd reports a change:
//
//   <monotonic ns> ready            once it is waiting
//   <monotonic ns> present|empty|other <event state in hex>
//
// pcscd wakes waiting clients as soon as its reader poll sees a change, so this
// is the earliest moment any client can know of a card. Runs until killed.
#include <PCSC/winscard.h>

#include <cstdio>

#include "pcsc_bench.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s READER\n", argv[0]);
        return 2;
    }
    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "SCardEstablishContext: %s\n", pcsc_stringify_error(rv));
        return 1;
    }
    SCARD_READERSTATE state{};
    state.szReader = argv[1];
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    // The first answer is the state as it is now.
    rv = SCardGetStatusChange(context, 0, &state, 1);
    if (rv != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "SCardGetStatusChange: %s\n", pcsc_stringify_error(rv));
        return 1;
    }
    std::printf("%lld ready %lx\n", static_cast<long long>(bench::NowNs()), state.dwEventState);
    std::fflush(stdout);
    for (;;) {
        state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        rv = SCardGetStatusChange(context, INFINITE, &state, 1);
        const long long now = bench::NowNs();
        if (rv != SCARD_S_SUCCESS) {
            std::fprintf(stderr, "SCardGetStatusChange: %s\n", pcsc_stringify_error(rv));
            return 1;
        }
        const DWORD event = state.dwEventState;
        const char* what = (event & SCARD_STATE_PRESENT) != 0 ? "present"
                           : (event & SCARD_STATE_EMPTY) != 0 ? "empty"
                                                              : "other";
        std::printf("%lld %s %lx\n", now, what, event);
        std::fflush(stdout);
    }
}
