// Console and keyboard on Windows.
//
// Text goes out unbuffered, so every message is on the screen (or in the pipe)
// as soon as it is printed. On a console it is written as UTF-16 with
// WriteConsoleW, which shows every character whatever the console's code
// page; redirected to a file or a pipe it is written as UTF-8 bytes.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "control/text.h"
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

namespace {

HANDLE StandardOutput() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// WriteConsoleW may take less than it was given (large texts); the rest
// follows. A failing console loses the text, as a closed stdout would.
void WriteConsoleAll(HANDLE console, const std::u16string& text) {
    const wchar_t* next = win32::Wide(text);
    std::size_t left = text.size();
    while (left > 0) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(left, 16 * 1024));
        DWORD written = 0;
        if (!WriteConsoleW(console, next, chunk, &written, nullptr) || written == 0) return;
        next += written;
        left -= written;
    }
}

void WriteFileAll(HANDLE file, const std::string& bytes) {
    const char* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1024 * 1024));
        DWORD written = 0;
        if (!WriteFile(file, next, chunk, &written, nullptr) || written == 0) return;
        next += written;
        left -= written;
    }
}

}  // namespace

// Nothing to prepare: the console's mode, code page and colours are left as
// they are (the verdict colours stay in force, as the operators know them).
void ConsoleOpen() {}

void ConsolePrint(const std::u16string& text) {
    const HANDLE out = StandardOutput();
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    if (IsConsole(out)) {
        WriteConsoleAll(out, text);
    } else {
        WriteFileAll(out, text::ToUtf8(text));
    }
}

void ConsoleSetAttribute(std::uint16_t attribute) {
    SetConsoleTextAttribute(StandardOutput(), attribute);
}

// "cls" through the command processor, on a console only: redirected, cls
// would put a form feed into the file or pipe.
void ConsoleClear() {
    if (IsConsole(StandardOutput())) _wsystem(L"cls");
}

bool EscapeDown() {
    return (static_cast<std::uint16_t>(GetAsyncKeyState(VK_ESCAPE)) & 0x8000u) != 0;
}

}  // namespace platform
