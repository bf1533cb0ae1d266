// Device enumeration on Windows: the present device interfaces of the
// smart-card reader class, through SetupAPI.
#include <cstddef>
#include <cwchar>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "platform/windows/win32.h"

#include <setupapi.h>

namespace platform {

namespace {

// GUID_DEVINTERFACE_SMARTCARD_READER (MinGW's headers do not carry it).
constexpr GUID kSmartCardReaderInterface = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// The path of one interface, or nothing when its detail cannot be had.
bool ReadDevicePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData, std::u16string& path) {
    // First call: no buffer, only the size. It fails by design.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;

    const std::unique_ptr<std::byte[]> buffer(new (std::nothrow) std::byte[required]);
    if (!buffer) return false;
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.get());
    // The size of the record's fixed part as this build's headers define it:
    // 8 for a 64-bit process, 6 for a 32-bit one.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, nullptr, nullptr)) {
        return false;
    }
    // Whole, however long; never past the buffer, even without a terminator.
    const std::size_t maxChars =
        (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
    path = win32::FromWide(detail->DevicePath, wcsnlen(detail->DevicePath, maxChars));
    return true;
}

}  // namespace

std::vector<std::u16string> ListReaderInterfacePaths() {
    std::vector<std::u16string> paths;
    const HDEVINFO set = SetupDiGetClassDevsW(&kSmartCardReaderInterface, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;

    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &kSmartCardReaderInterface, index, &interfaceData);
         ++index) {
        std::u16string path;
        if (ReadDevicePath(set, interfaceData, path)) paths.push_back(std::move(path));
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

}  // namespace platform
