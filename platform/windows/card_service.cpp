// Card service on WinSCard, through its wide-character functions.
//
// Windows answers a status query at once whenever the reader's state differs
// from the caller's current state, which is what the seam promises, so the
// calls are passed through as they are.
#include <algorithm>
#include <string>

#include "platform/platform.h"
#include "platform/windows/win32.h"

#include <winscard.h>

namespace platform {

namespace {

static_assert(sizeof(SCARD_IO_REQUEST) == 8, "the I/O request header is 8 bytes on Windows");
static_assert(sizeof(SCARD_READERSTATEW::rgbAtr) == std::tuple_size_v<decltype(ReaderState::atr)>,
              "the reader-state record holds 36 ATR bytes");

SCARDCONTEXT NativeContext(CardContext context) { return static_cast<SCARDCONTEXT>(context); }
SCARDHANDLE NativeCard(CardHandle card) { return static_cast<SCARDHANDLE>(card); }
CardStatus Status(LONG rv) { return static_cast<CardStatus>(rv); }

}  // namespace

CardStatus EstablishContext(std::uint32_t scope, CardContext& context) {
    SCARDCONTEXT native = 0;
    const LONG rv = SCardEstablishContext(scope, nullptr, nullptr, &native);
    context = rv == SCARD_S_SUCCESS ? static_cast<CardContext>(native) : 0;
    return Status(rv);
}

void ReleaseContext(CardContext context) { SCardReleaseContext(NativeContext(context)); }

CardStatus ListReaders(CardContext context, std::u16string& multiString) {
    // With SCARD_AUTOALLOCATE the service allocates the list and hands back a
    // pointer to it through the buffer argument; the length is in characters.
    LPWSTR names = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG rv = SCardListReadersW(NativeContext(context), nullptr,
                                      reinterpret_cast<LPWSTR>(&names), &length);
    if (rv != SCARD_S_SUCCESS) return Status(rv);
    multiString = win32::FromWide(names, length);
    SCardFreeMemory(NativeContext(context), names);
    return 0;
}

CardStatus GetStatusChange(CardContext context, std::uint32_t timeoutMs, ReaderState& state) {
    SCARD_READERSTATEW native{};
    native.szReader = win32::Wide(state.readerName);
    native.dwCurrentState = state.currentState;
    native.dwEventState = state.eventState;
    native.cbAtr = std::min<DWORD>(state.atrLength, sizeof native.rgbAtr);
    std::copy_n(state.atr.begin(), native.cbAtr, native.rgbAtr);

    const LONG rv = SCardGetStatusChangeW(NativeContext(context), timeoutMs, &native, 1);
    if (rv != SCARD_S_SUCCESS) return Status(rv);
    state.eventState = native.dwEventState;
    const DWORD length = std::min<DWORD>(native.cbAtr, sizeof native.rgbAtr);
    std::copy_n(native.rgbAtr, length, state.atr.begin());
    state.atrLength = length;
    return 0;
}

CardStatus Connect(CardContext context, const std::u16string& readerName,
                   std::uint32_t shareMode, std::uint32_t preferredProtocols,
                   CardHandle& card, std::uint32_t& activeProtocol) {
    SCARDHANDLE native = 0;
    DWORD active = 0;
    const LONG rv = SCardConnectW(NativeContext(context), win32::Wide(readerName), shareMode,
                                  preferredProtocols, &native, &active);
    if (rv == SCARD_S_SUCCESS) {
        card = static_cast<CardHandle>(native);
        activeProtocol = active;
    }
    return Status(rv);
}

CardStatus BeginTransaction(CardHandle card) { return Status(SCardBeginTransaction(NativeCard(card))); }

CardStatus Transmit(CardHandle card, std::uint32_t protocol, std::span<const std::uint8_t> command,
                    std::span<std::uint8_t> response, std::uint32_t& receivedLength) {
    // One record, {active protocol, 8}, as the send and as the receive header.
    SCARD_IO_REQUEST request{protocol, sizeof(SCARD_IO_REQUEST)};
    DWORD length = static_cast<DWORD>(std::min<std::size_t>(receivedLength, response.size()));
    const LONG rv = SCardTransmit(NativeCard(card), &request, command.data(),
                                  static_cast<DWORD>(command.size()), &request, response.data(),
                                  &length);
    receivedLength = rv == SCARD_S_SUCCESS ? length : 0;
    return Status(rv);
}

CardStatus EndTransaction(CardHandle card, std::uint32_t disposition) {
    return Status(SCardEndTransaction(NativeCard(card), disposition));
}

CardStatus Disconnect(CardHandle card, std::uint32_t disposition) {
    return Status(SCardDisconnect(NativeCard(card), disposition));
}

}  // namespace platform
