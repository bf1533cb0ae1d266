// A throwaway folder for the Windows backend's tests, removed with everything
// in it at the end of the test.
#pragma once

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace wintest {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        static std::atomic<unsigned> counter{0};
        path_ = fs::temp_directory_path() /
                (L"tavix_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(counter++));
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const fs::path& Path() const { return path_; }
    fs::path operator/(const fs::path& name) const { return path_ / name; }

    // The path as the platform functions take it.
    std::u16string Text(const fs::path& name) const { return (path_ / name).u16string(); }

private:
    fs::path path_;
};

inline void WriteBytes(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline std::string ReadBytes(const fs::path& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    if (error) return {};
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// The UTF-16LE bytes of a text, as the log holds it.
inline std::string Utf16LeBytes(std::u16string_view text) {
    std::string bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

}  // namespace wintest
