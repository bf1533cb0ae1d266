// The Windows backend's files under Wine: the log, the TestScript and the
// current directory.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/windows/temp_folder.h"

using namespace std::string_literals;

namespace {

using wintest::ReadBytes;
using wintest::TempFolder;
using wintest::Utf16LeBytes;
using wintest::WriteBytes;

// ------------------------------------------------------------------- the log

// A start time with a per-cent sign and a character outside the BMP (a
// surrogate pair): the log holds the code units unchanged, no byte-order mark.
const std::u16string kFirst = u"==================\r\nStart time: 10% \U0001F600\r\n"s;
const std::u16string kSecond = u"Reader is connected! \r\n"s;

TEST(LogFile, NewRunEmptiesTheOldLogAndLaterMessagesAppend) {
    TempFolder folder;
    WriteBytes(folder / "run.log", std::string(4096, 'x'));

    ASSERT_TRUE(platform::WriteLogFile(folder.Text("run.log"), kFirst, false));
    EXPECT_EQ(ReadBytes(folder / "run.log"), Utf16LeBytes(kFirst));
    EXPECT_EQ(ReadBytes(folder / "run.log").substr(0, 4), "=\0=\0"s);

    ASSERT_TRUE(platform::WriteLogFile(folder.Text("run.log"), kSecond, true));
    EXPECT_EQ(ReadBytes(folder / "run.log"), Utf16LeBytes(kFirst + kSecond));
}

TEST(LogFile, AppendCreatesAMissingLog) {
    TempFolder folder;
    ASSERT_TRUE(platform::WriteLogFile(folder.Text("new.log"), kSecond, true));
    EXPECT_EQ(ReadBytes(folder / "new.log"), Utf16LeBytes(kSecond));
}

TEST(LogFile, EmptyMessageWritesNothingAndSucceeds) {
    TempFolder folder;
    ASSERT_TRUE(platform::WriteLogFile(folder.Text("run.log"), kFirst, false));
    EXPECT_TRUE(platform::WriteLogFile(folder.Text("run.log"), u""s, true));
    EXPECT_EQ(ReadBytes(folder / "run.log"), Utf16LeBytes(kFirst));
}

TEST(LogFile, FolderThatDoesNotExistFailsWithoutCreatingAnything) {
    TempFolder folder;
    EXPECT_FALSE(platform::WriteLogFile(folder.Text(L"missing\\run.log"), kFirst, false));
    EXPECT_FALSE(platform::WriteLogFile(folder.Text(L"missing\\run.log"), kFirst, true));
    EXPECT_FALSE(wintest::fs::exists(folder / "missing"));
}

// An operator may have the log open in a viewer that shares it; a program
// that locks it out only costs the messages written meanwhile.
TEST(LogFile, SharedWithReadersAndWritersButNotWithALock) {
    TempFolder folder;
    const std::wstring path = (folder / "run.log").wstring();
    ASSERT_TRUE(platform::WriteLogFile(folder.Text("run.log"), kFirst, false));

    HANDLE viewer = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(platform::WriteLogFile(folder.Text("run.log"), kSecond, true));
    CloseHandle(viewer);

    HANDLE lock = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(platform::WriteLogFile(folder.Text("run.log"), u"lost\r\n"s, true));
    CloseHandle(lock);

    EXPECT_TRUE(platform::WriteLogFile(folder.Text("run.log"), kSecond, true));
    EXPECT_EQ(ReadBytes(folder / "run.log"), Utf16LeBytes(kFirst + kSecond + kSecond));
}

// --------------------------------------------------------------- TestScript

std::vector<std::string> ReadAllLines(platform::ScriptFile* file, platform::LineRead& last) {
    std::vector<std::string> lines;
    std::string bytes;
    while ((last = platform::ReadScriptFileLine(file, bytes)) == platform::LineRead::Line) {
        lines.push_back(bytes);
    }
    return lines;
}

TEST(ScriptFile, LinesEndAtLfAndACrBeforeItBelongsToTheLineEnd) {
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> lines;
    };
    const std::string longLine(100000, 'A');  // no length limit, across many reads
    const std::vector<Case> cases = {
        {"empty file", "", {}},
        {"CRLF", "[ATR]\r\n3B 02\r\n", {"[ATR]", "3B 02"}},
        {"LF", "[ATR]\n3B 02\n", {"[ATR]", "3B 02"}},
        {"last line without a line end", "[ATR]\n3B 02", {"[ATR]", "3B 02"}},
        {"empty lines", "\n\r\n\n", {"", "", ""}},
        {"lone CR stays in the line", "a\rb\n", {"a\rb"}},
        {"only the CR right before the LF goes", "a\r\r\n", {"a\r"}},
        {"CR at the very end stays", "a\r", {"a\r"}},
        {"NUL and ^Z are bytes like any other", "a\0b\n\x1A\n"s, {"a\0b"s, "\x1A"}},
        {"8-bit bytes unchanged", "caf\xC3\xA9\n\xFF\n", {"caf\xC3\xA9", "\xFF"}},
        {"long line", longLine + "\r\nnext\n", {longLine, "next"}},
        {"CR LF split across two reads", std::string(4095, 'b') + "\r\nc\n",
         {std::string(4095, 'b'), "c"}},
        {"LF first in the second read", std::string(4096, 'd') + "\ne\n",
         {std::string(4096, 'd'), "e"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        WriteBytes(folder / "CmdTavixEMV.ini", c.content);
        platform::ScriptFile* file = platform::OpenScriptFile(folder.Text("CmdTavixEMV.ini"));
        ASSERT_NE(file, nullptr);
        platform::LineRead last{};
        EXPECT_EQ(ReadAllLines(file, last), c.lines);
        EXPECT_EQ(last, platform::LineRead::End);
        std::string bytes;
        EXPECT_EQ(platform::ReadScriptFileLine(file, bytes), platform::LineRead::End);
        platform::CloseScriptFile(file);
    }
}

TEST(ScriptFile, MissingFileIsNotCreated) {
    TempFolder folder;
    EXPECT_EQ(platform::OpenScriptFile(folder.Text("CmdTavixEMV.ini")), nullptr);
    EXPECT_FALSE(wintest::fs::exists(folder / "CmdTavixEMV.ini"));
}

// While a card's script runs nobody else may open the file, for reading or
// writing; a read-only file can be read.
TEST(ScriptFile, OpenedReadOnlyAndNotShared) {
    TempFolder folder;
    const std::wstring path = (folder / "CmdTavixEMV.ini").wstring();
    WriteBytes(folder / "CmdTavixEMV.ini", "[ATR]\n");
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));

    platform::ScriptFile* file = platform::OpenScriptFile(folder.Text("CmdTavixEMV.ini"));
    ASSERT_NE(file, nullptr);
    for (const DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
        HANDLE other = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(other, INVALID_HANDLE_VALUE) << "access " << access;
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    }
    platform::CloseScriptFile(file);

    HANDLE after = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(after, INVALID_HANDLE_VALUE) << "the file stays locked after it was closed";
    if (after != INVALID_HANDLE_VALUE) CloseHandle(after);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// --------------------------------------------------------- current directory

// A folder deeper than 260 characters is given whole, so the configuration
// file is looked for where the operator started the tool.
TEST(CurrentDirectory, LongerThan260CharactersIsGivenWhole) {
    TempFolder folder;
    std::wstring deep = folder.Path().wstring();
    while (deep.size() <= 300) {
        deep += L"\\" + std::wstring(60, L'd');
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr)) << GetLastError();
    }
    std::vector<wchar_t> before(GetCurrentDirectoryW(0, nullptr));
    GetCurrentDirectoryW(static_cast<DWORD>(before.size()), before.data());

    ASSERT_TRUE(SetCurrentDirectoryW(deep.c_str())) << GetLastError();
    const std::u16string current = platform::CurrentDirectory();
    SetCurrentDirectoryW(before.data());

    EXPECT_EQ(current, std::u16string(reinterpret_cast<const char16_t*>(deep.c_str())));
}

}  // namespace
