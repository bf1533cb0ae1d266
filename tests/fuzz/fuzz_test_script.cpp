// The whole TestScript run over arbitrary file content, against a card on the
// fake platform that answers every command.
//
// Input: the configuration file's bytes, then one last byte that sets up the
// run (so a script file from the line is used as it is, with one byte added):
//   bit 0     XFREn on
//   bit 1     logging on
//   bits 2-3  the card: 0 answers from a small table (SELECT MF 90 00,
//             READ BINARY 12 34 90 00, anything else 6D 00); 1 answers 90 00
//             to everything; 2 refuses the connection; 3 is pulled out at the
//             exchange given by bits 4-7 (1 to 16)
//   bit 4     (cards 0-2) the reader reports no ATR
//   bit 5     (cards 0-2) the system reports version 6.1: warm-up connections
//
// Properties beyond "no crash, no sanitizer report": the run ends, the script
// file is closed, every connection ends with one disconnect that leaves the
// card (the warm-up's reset aside), every transaction is ended, the result is
// one of the card test's codes, and with logging off no file is written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "card_test/test_script.h"
#include "control/tool_state.h"
#include "platform/pcsc_values.h"
#include "tests/fake/fake_platform.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const std::u16string kReader = u"Virtual PCD 00 00";

bool IsCardTestCode(ResultCode code) {
    switch (code) {
        case result::kOk:
        case result::kScriptLineMissing:
        case result::kUnknownProtocol:
        case result::kAtrNotRead:
        case result::kConnectFailed:
        case result::kTransmitFailed:
        case result::kResponseMismatch:
            return true;
        default:
            return false;
    }
}

void SetUpWorld(std::uint8_t setup) {
    fake::World& world = fake::Get();
    fake::Card card{.atr = {0x3B, 0x02, 0x14, 0x50}, .activeProtocol = pcsc::PROTOCOL_T0};
    const int kind = (setup >> 2) & 3;
    switch (kind) {
        case 0:
            card.responses = {{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {0x90, 0x00}},
                              {{0x00, 0xB0, 0x00, 0x00, 0x02}, {0x12, 0x34, 0x90, 0x00}}};
            card.defaultResponse = {0x6D, 0x00};
            break;
        case 1: card.defaultResponse = {0x90, 0x00}; break;
        case 2: card.activeProtocol = 0x8000; break;  // none of the protocols asked for
        default: card.removeAfterExchanges = (setup >> 4) + 1; break;
    }
    if (kind != 3) {
        if ((setup & 0x10) != 0) card.atr.clear();
        if ((setup & 0x20) != 0) world.osVersion = {6, 1};
    }
    world.Plug(kReader);
    world.Insert(kReader, card);
}

void CheckConnectionsEnded() {
    const fake::World& world = fake::Get();
    FUZZ_CHECK(world.connectedCards.empty());
    for (const fake::Call& connect : world.calls) {
        if (connect.name != "Connect" || connect.status != 0) continue;
        int disconnects = 0;
        int begins = 0;
        int ends = 0;
        for (const fake::Call& call : world.calls) {
            if (call.handle != connect.handle) continue;
            begins += call.name == "BeginTransaction";
            if (call.name == "EndTransaction") {
                ++ends;
                FUZZ_CHECK(call.a == pcsc::LEAVE_CARD);
            }
            if (call.name == "Disconnect") {
                ++disconnects;
                FUZZ_CHECK(call.a == pcsc::LEAVE_CARD ||
                           (call.a == pcsc::RESET_CARD && world.osVersion.major == 6));
            }
        }
        FUZZ_CHECK(disconnects == 1);
        FUZZ_CHECK(begins == ends);
        FUZZ_CHECK(begins <= 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t setup = data[size - 1];

    ResetToolState();
    fake::Reset();
    fake::World& world = fake::Get();
    world.files[world.Path(u"CmdTavixEMV.ini")] =
        std::string(reinterpret_cast<const char*>(data), size - 1);
    SetUpWorld(setup);

    ToolState& tool = Tool();
    tool.XFREn = setup & 1u;
    tool.LogFile = (setup >> 1) & 1u;
    tool.LogPath = u"CmdTavixEMV.log";
    tool.CardContext = 1;
    tool.ReaderList[0] = kReader;
    tool.ReaderCount = 1;
    tool.ReaderStateRecord.readerName = kReader;

    ResultCode code = 0;
    try {
        code = RunTestScript(tool.CardContext);
    } catch (const fake::Runaway&) {
        FUZZ_FAIL("the script run never ended");
    } catch (const fake::ToolExit&) {
        FUZZ_FAIL("the script run stopped the tool");
    }

    FUZZ_CHECK(IsCardTestCode(code));
    FUZZ_CHECK(tool.ScriptFile == nullptr);
    FUZZ_CHECK(world.scriptOpens == 1 && world.scriptCloses == 1);
    CheckConnectionsEnded();
    if (tool.LogFile == 0) FUZZ_CHECK(world.files.size() == 1);
    return 0;
}
