// Profile reads on Windows: the system's own profile functions.
#include <algorithm>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

std::uint32_t ProfileInt(const std::u16string& section, const std::u16string& key,
                         std::int32_t defaultValue, const std::u16string& path) {
    return GetPrivateProfileIntW(win32::Wide(section), win32::Wide(key), defaultValue,
                                 win32::Wide(path));
}

std::u16string ProfileString(const std::u16string& section, const std::u16string& key,
                             const std::u16string& defaultValue, std::size_t capacity,
                             const std::u16string& path) {
    const auto size = static_cast<DWORD>(std::min<std::size_t>(capacity, MAXDWORD));
    std::vector<wchar_t> buffer(std::max<std::size_t>(size, 1), L'\0');
    const DWORD length = GetPrivateProfileStringW(win32::Wide(section), win32::Wide(key),
                                                  win32::Wide(defaultValue), buffer.data(), size,
                                                  win32::Wide(path));
    return win32::FromWide(buffer.data(), std::min<std::size_t>(length, buffer.size()));
}

}  // namespace platform
