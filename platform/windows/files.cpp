// Current directory, file checks, the log and the TestScript on Windows.
#include <io.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

const char16_t kPathSeparator = u'\\';

struct ScriptFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::array<char, 4096> buffer{};
    std::size_t next = 0;    // first byte of the buffer not yet handed out
    std::size_t filled = 0;  // bytes in the buffer
    bool ended = false;
    bool failed = false;
};

std::u16string CurrentDirectory() {
    // Whole, however long: ask for the size, then read; again if the folder
    // changed in between and no longer fits.
    for (;;) {
        const DWORD size = GetCurrentDirectoryW(0, nullptr);
        if (size == 0) return {};
        std::vector<wchar_t> buffer(size);
        const DWORD length = GetCurrentDirectoryW(size, buffer.data());
        if (length == 0) return {};
        if (length < size) return win32::FromWide(buffer.data(), length);
    }
}

bool FileExists(const std::u16string& path) { return _waccess(win32::Wide(path), 0) == 0; }

bool WriteLogFile(const std::u16string& path, const std::u16string& text, bool append) {
    const std::size_t byteCount = text.size() * sizeof(char16_t);
    if (byteCount > MAXDWORD) return false;

    const HANDLE file = CreateFileW(win32::Wide(path), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;

    // With the high part given, a log past 4 GiB is still appended at its
    // end. Without it the move would fail there, and the write would land at
    // the start of the file, over the oldest messages.
    LONG high = 0;
    const DWORD low = SetFilePointer(file, 0, &high, FILE_END);
    const bool atEnd = low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;

    // The code units are already UTF-16LE in memory; no byte-order mark.
    DWORD written = 0;
    const bool ok = atEnd && WriteFile(file, text.data(), static_cast<DWORD>(byteCount), &written,
                                       nullptr) != 0 &&
                    written == byteCount;
    // A message goes in whole or not at all, as on Linux: the part of one
    // that a full disk let through is taken out again, or it would cut the
    // message short and an odd byte count would shift every later character.
    if (!ok && written > 0) {
        LONG endHigh = high;
        if (SetFilePointer(file, static_cast<LONG>(low), &endHigh, FILE_BEGIN) !=
                INVALID_SET_FILE_POINTER ||
            GetLastError() == NO_ERROR) {
            SetEndOfFile(file);
        }
    }
    CloseHandle(file);
    return ok;
}

ScriptFile* OpenScriptFile(const std::u16string& path) {
    // Read-only, never created, and no other program may open it meanwhile.
    const HANDLE handle = CreateFileW(win32::Wide(path), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* file = new ScriptFile;
    file->handle = handle;
    return file;
}

void CloseScriptFile(ScriptFile* file) {
    if (file == nullptr) return;
    CloseHandle(file->handle);
    delete file;
}

namespace {

// Refills the buffer; false when nothing more can be read.
bool Refill(ScriptFile& file) {
    if (file.ended || file.failed) return false;
    DWORD got = 0;
    if (!ReadFile(file.handle, file.buffer.data(), static_cast<DWORD>(file.buffer.size()), &got,
                  nullptr)) {
        file.failed = true;
        return false;
    }
    if (got == 0) {
        file.ended = true;
        return false;
    }
    file.next = 0;
    file.filled = got;
    return true;
}

}  // namespace

LineRead ReadScriptFileLine(ScriptFile* file, std::string& bytes) {
    std::string line;
    bool any = false;
    for (;;) {
        if (file->next == file->filled && !Refill(*file)) break;
        any = true;
        const char* begin = file->buffer.data() + file->next;
        const char* end = file->buffer.data() + file->filled;
        const char* newline = std::find(begin, end, '\n');
        if (newline != end) {
            line.append(begin, newline);
            file->next += static_cast<std::size_t>(newline - begin) + 1;
            // A CR right before the LF belongs to the line end.
            if (!line.empty() && line.back() == '\r') line.pop_back();
            bytes = std::move(line);
            return LineRead::Line;
        }
        line.append(begin, end);
        file->next = file->filled;
    }
    // The last line may lack its LF; a failed read after part of a line
    // still hands out that part, and the next call reports the failure.
    if (any) {
        bytes = std::move(line);
        return LineRead::Line;
    }
    return file->failed ? LineRead::Error : LineRead::End;
}

}  // namespace platform
