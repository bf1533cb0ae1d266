// Shared fixture for the logic's unit tests: a clean tool state and a clean
// fake world for every test, and the texts that many tests expect.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "control/tool_state.h"
#include "tests/fake/fake_platform.h"

using namespace std::string_literals;

inline const std::u16string kReader = u"Virtual PCD 00 00"s;
inline const std::u16string kBanner = u"Tavix USB Smart Card Reader MP Tool \r\n"s;
inline const std::u16string kStartTime = u"==================\r\nStart time: 14:03:07 December 09 2024\r\n"s;
inline const std::u16string kStopped = u"Tavix MP Tool Stoped! \r\n"s;
inline const std::u16string kConnected = u"Reader is connected! \r\n"s;
inline const std::u16string kInsertCard = u"Please insert card  \r\n\r\n"s;
inline const std::u16string kInsertReader = u"Please insert Tavix Smart card reader first! \r\n\r\n"s;
inline const std::u16string kNoContext = u"Can't Establish Scard Context! \r\n"s;
inline const std::u16string kRule = u"==========================================================\r\n"s;
inline const std::u16string kPass = u"           PASS \r\n\r\n"s;
inline const std::u16string kFailed = u"          FAILED \r\n\r\n"s;

// Settings that turn logging on, with the log beside the configuration.
inline const std::string kLogOn = "[TavixEMV]\nLogFile=1\nLogFileName=test.log\n";

// UTF-16 text from ASCII or UTF-8 (for building expected texts from scripts).
std::u16string U(const std::string& utf8);

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetToolState();
        fake::Reset();
    }

    fake::World& world() { return fake::Get(); }

    // Writes the configuration file into the current directory.
    void WriteConfig(const std::string& content) {
        world().files[world().Path(u"CmdTavixEMV.ini")] = content;
    }

    // Points the tool at the first reader with an open context, as the main
    // loop leaves things before a card's script runs.
    void ReadyForCard(const std::u16string& reader = kReader) {
        world().Plug(reader);
        Tool().CardContext = 1;
        Tool().ReaderList[0] = reader;
        Tool().ReaderCount = 1;
        Tool().ReaderStateRecord.readerName = reader;
    }

    std::u16string Log() { return world().LogText(u"test.log"); }
};
