// Card service on pcsc-lite.
//
// pcsc-lite answers a status query at once only when the caller's current
// state carries an event counter that differs from the reader's. The tool is
// written for the Windows behaviour, where any state that differs from the
// caller's current state is answered at once (a present card always carries a
// nonzero event count there, so it never equals a bare SCARD_STATE_PRESENT).
// GetStatusChange below gives that behaviour: it reads the reader's state
// without waiting, answers when it differs, and only waits for a change when
// it is the same.
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <algorithm>
#include <string>

#include "control/text.h"
#include "platform/pcsc_values.h"
#include "platform/platform.h"

namespace platform {

namespace {

SCARDCONTEXT NativeContext(CardContext context) { return static_cast<SCARDCONTEXT>(context); }
SCARDHANDLE NativeCard(CardHandle card) { return static_cast<SCARDHANDLE>(card); }
CardStatus Status(LONG rv) { return static_cast<CardStatus>(rv); }

// The event counter lives in the high 16 bits of a reader's event state.
constexpr DWORD kEventCountMask = 0xFFFF0000u;
constexpr DWORD kOneEvent = 0x00010000u;

void CopyOut(const SCARD_READERSTATE& native, ReaderState& state) {
    state.eventState = static_cast<std::uint32_t>(native.dwEventState);
    const auto length = std::min<std::size_t>(native.cbAtr, state.atr.size());
    std::copy_n(native.rgbAtr, length, state.atr.begin());
    state.atrLength = static_cast<std::uint32_t>(length);
}

}  // namespace

CardStatus EstablishContext(std::uint32_t scope, CardContext& context) {
    SCARDCONTEXT native = 0;
    const LONG rv = SCardEstablishContext(static_cast<DWORD>(scope), nullptr, nullptr, &native);
    context = rv == SCARD_S_SUCCESS ? static_cast<CardContext>(native) : 0;
    return Status(rv);
}

void ReleaseContext(CardContext context) { SCardReleaseContext(NativeContext(context)); }

CardStatus ListReaders(CardContext context, std::u16string& multiString) {
    LPSTR names = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG rv = SCardListReaders(NativeContext(context), nullptr,
                                     reinterpret_cast<LPSTR>(&names), &length);
    if (rv != SCARD_S_SUCCESS) return Status(rv);
    // UTF-8 names, each ended by NUL, the list by an empty name.
    multiString = text::FromUtf8(std::string_view(names, length));
    SCardFreeMemory(NativeContext(context), names);
    return 0;
}

CardStatus GetStatusChange(CardContext context, std::uint32_t timeoutMs, ReaderState& state) {
    const std::string name = text::ToUtf8(state.readerName);
    SCARD_READERSTATE native{};
    native.szReader = name.c_str();
    native.dwCurrentState = SCARD_STATE_UNAWARE;
    LONG rv = SCardGetStatusChange(NativeContext(context), 0, &native, 1);
    if (rv != SCARD_S_SUCCESS) return Status(rv);

    DWORD now = native.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    // A card already in the reader when the daemon started has no event yet;
    // on Windows its arrival counts as one.
    if ((now & SCARD_STATE_PRESENT) != 0 && (now & kEventCountMask) == 0) now |= kOneEvent;

    if (now != state.currentState) {
        native.dwEventState = now | SCARD_STATE_CHANGED;
        CopyOut(native, state);
        return 0;
    }

    // Unchanged: wait for a change, as long as the caller allows.
    native.dwCurrentState = native.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    rv = SCardGetStatusChange(NativeContext(context), static_cast<DWORD>(timeoutMs), &native, 1);
    if (rv != SCARD_S_SUCCESS) return Status(rv);
    CopyOut(native, state);
    return 0;
}

CardStatus Connect(CardContext context, const std::u16string& readerName,
                   std::uint32_t shareMode, std::uint32_t preferredProtocols,
                   CardHandle& card, std::uint32_t& activeProtocol) {
    const std::string name = text::ToUtf8(readerName);
    SCARDHANDLE native = 0;
    DWORD active = 0;
    const LONG rv = SCardConnect(NativeContext(context), name.c_str(), static_cast<DWORD>(shareMode),
                                 static_cast<DWORD>(preferredProtocols), &native, &active);
    if (rv == SCARD_S_SUCCESS) {
        card = static_cast<CardHandle>(native);
        activeProtocol = static_cast<std::uint32_t>(active);
    }
    return Status(rv);
}

CardStatus BeginTransaction(CardHandle card) { return Status(SCardBeginTransaction(NativeCard(card))); }

CardStatus Transmit(CardHandle card, std::uint32_t protocol, std::span<const std::uint8_t> command,
                    std::span<std::uint8_t> response, std::uint32_t& receivedLength) {
    // The platform's own header size (16 bytes here, 8 on Windows).
    SCARD_IO_REQUEST sendRequest{static_cast<DWORD>(protocol), sizeof(SCARD_IO_REQUEST)};
    SCARD_IO_REQUEST receiveRequest = sendRequest;
    DWORD length = std::min<DWORD>(receivedLength, static_cast<DWORD>(response.size()));
    const LONG rv = SCardTransmit(NativeCard(card), &sendRequest, command.data(),
                                  static_cast<DWORD>(command.size()), &receiveRequest,
                                  response.data(), &length);
    receivedLength = rv == SCARD_S_SUCCESS ? static_cast<std::uint32_t>(length) : 0;
    return Status(rv);
}

CardStatus EndTransaction(CardHandle card, std::uint32_t disposition) {
    return Status(SCardEndTransaction(NativeCard(card), static_cast<DWORD>(disposition)));
}

CardStatus Disconnect(CardHandle card, std::uint32_t disposition) {
    return Status(SCardDisconnect(NativeCard(card), static_cast<DWORD>(disposition)));
}

}  // namespace platform
