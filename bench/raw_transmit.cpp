// The reference for the cost of an exchange: what PC/SC itself needs to send
// one command and get its answer, with nothing else around it.
//
//   bench_raw_transmit READER PROTOCOL COUNT COMMAND EXPECTED
//
// Connects once (shared; PROTOCOL T0 or T1), begins one transaction, sends
// COMMAND COUNT times and checks every answer against EXPECTED, ends the
// transaction and disconnects. Prints two lines: "<loop ns> <count>", the time
// from the return of SCardBeginTransaction to the call of SCardEndTransaction
// (the same span the probe takes of the tool's transfer test), then the
// monotonic stamp of every SCardTransmit call, as the probe takes them.
#include <PCSC/winscard.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pcsc_bench.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s READER T0|T1 COUNT COMMAND EXPECTED\n", argv[0]);
        return 2;
    }
    const char* reader = argv[1];
    const DWORD protocol = std::strcmp(argv[2], "T1") == 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    const long count = std::strtol(argv[3], nullptr, 10);
    std::vector<unsigned char> command;
    std::vector<unsigned char> expected;
    if (count < 1 || !bench::ParseHex(argv[4], command) || !bench::ParseHex(argv[5], expected)) {
        std::fprintf(stderr, "bad COUNT, COMMAND or EXPECTED\n");
        return 2;
    }

    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "SCardEstablishContext: %s\n", pcsc_stringify_error(rv));
        return 1;
    }
    SCARDHANDLE card = 0;
    DWORD active = 0;
    rv = SCardConnect(context, reader, SCARD_SHARE_SHARED, protocol, &card, &active);
    if (rv != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "SCardConnect: %s\n", pcsc_stringify_error(rv));
        SCardReleaseContext(context);
        return 1;
    }

    int status = 0;
    const SCARD_IO_REQUEST request{active, sizeof(SCARD_IO_REQUEST)};
    unsigned char response[258];
    SCardBeginTransaction(card);
    std::vector<std::int64_t> stamps(static_cast<std::size_t>(count));
    const std::int64_t start = bench::NowNs();
    for (long n = 0; n < count; ++n) {
        DWORD length = sizeof response;
        stamps[static_cast<std::size_t>(n)] = bench::NowNs();
        SCARD_IO_REQUEST received = request;
        rv = SCardTransmit(card, &request, command.data(), static_cast<DWORD>(command.size()),
                           &received, response, &length);
        if (rv != SCARD_S_SUCCESS || length != expected.size() ||
            std::memcmp(response, expected.data(), length) != 0) {
            std::fprintf(stderr, "exchange %ld: %s, %lu bytes back\n", n + 1,
                         pcsc_stringify_error(rv), static_cast<unsigned long>(length));
            status = 1;
            break;
        }
    }
    const std::int64_t end = bench::NowNs();
    SCardEndTransaction(card, SCARD_LEAVE_CARD);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
    if (status == 0) {
        std::printf("%lld %ld\n", static_cast<long long>(end - start), count);
        for (const std::int64_t stamp : stamps) std::printf("%lld ", static_cast<long long>(stamp));
        std::printf("\n");
    }
    return status;
}
