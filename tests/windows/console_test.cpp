// The Windows console functions with standard output redirected to a file,
// as when an operator pipes the tool's output into another program.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "tests/windows/temp_folder.h"

using namespace std::string_literals;

namespace {

// Points standard output at a file for the test and puts it back afterwards.
class RedirectedOutput : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        file_ = CreateFileW((folder_ / "stdout.txt").wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                            nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
        SetStdHandle(STD_OUTPUT_HANDLE, file_);
    }
    void TearDown() override {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }
    std::string Output() const { return wintest::ReadBytes(folder_ / "stdout.txt"); }

private:
    wintest::TempFolder folder_;
    HANDLE saved_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// UTF-8, each message in full as soon as it is printed; a per-cent sign is
// text, and an unpaired surrogate becomes U+FFFD rather than broken bytes.
TEST_F(RedirectedOutput, TextIsWrittenAsUtf8AtOnce) {
    platform::ConsolePrint(u"Cmd : 00 A4 %s %d\r\n"s);
    EXPECT_EQ(Output(), "Cmd : 00 A4 %s %d\r\n");
    platform::ConsolePrint(u"caf\u00E9 \u20AC \U0001F600 \xD800!\r\n"s);
    EXPECT_EQ(Output(), "Cmd : 00 A4 %s %d\r\ncaf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD!\r\n");
}

// Clearing and colours belong to a console: redirected output gets neither
// a form feed nor any other byte from them.
TEST_F(RedirectedOutput, ClearAndColoursAddNothing) {
    platform::ConsoleOpen();
    platform::ConsoleClear();
    platform::ConsoleSetAttribute(10);
    platform::ConsolePrint(u"           PASS \r\n\r\n"s);
    platform::ConsoleSetAttribute(15);
    EXPECT_EQ(Output(), "           PASS \r\n\r\n");
}

}  // namespace
