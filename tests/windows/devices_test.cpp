// Device enumeration through SetupAPI under Wine. Wine keeps device
// interfaces in the prefix's registry, so the test registers two smart-card
// reader interfaces of its own: a short path, and one made longer than 260
// characters by a reference string. Both must come back, whole.
//
// An interface counts as present once its driver has enabled it, which marks
// it "Linked" in the registry; the test sets that mark itself.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

const GUID kReaderClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const std::wstring kClassSuffix = L"#{50dd5230-ba8a-11d1-bf5d-0000f805f530}";
const std::wstring kClassKey =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{50dd5230-ba8a-11d1-bf5d-0000f805f530}";

std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    wchar_t name[1024];
    for (DWORD i = 0;; ++i) {
        DWORD length = 1024;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

// Marks every interface of the device whose key name holds `marker` as
// enabled: Control\Linked = 1 under each of its reference-string keys.
void EnableInterfaces(const std::wstring& marker) {
    HKEY classKey = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey.c_str(), 0, KEY_READ, &classKey), ERROR_SUCCESS);
    for (const std::wstring& device : SubkeyNames(classKey)) {
        if (device.find(marker) == std::wstring::npos) continue;
        HKEY deviceKey = nullptr;
        ASSERT_EQ(RegOpenKeyExW(classKey, device.c_str(), 0, KEY_READ, &deviceKey), ERROR_SUCCESS);
        for (const std::wstring& reference : SubkeyNames(deviceKey)) {
            HKEY control = nullptr;
            ASSERT_EQ(RegCreateKeyExW(deviceKey, (reference + L"\\Control").c_str(), 0, nullptr, 0,
                                      KEY_WRITE, nullptr, &control, nullptr),
                      ERROR_SUCCESS);
            const DWORD linked = 1;
            RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                           sizeof linked);
            RegCloseKey(control);
        }
        RegCloseKey(deviceKey);
    }
    RegCloseKey(classKey);
}

class RegisteredReaders : public ::testing::Test {
protected:
    void SetUp() override {
        set_ = SetupDiCreateDeviceInfoList(&kReaderClass, nullptr);
        ASSERT_NE(set_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        for (SP_DEVINFO_DATA& device : devices_) SetupDiRemoveDevice(set_, &device);
        SetupDiDestroyDeviceInfoList(set_);
    }

    // Registers a device with the instance id and one reader interface.
    void Add(const std::wstring& instanceId, const wchar_t* referenceString) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        ASSERT_TRUE(SetupDiCreateDeviceInfoW(set_, instanceId.c_str(), &kReaderClass, nullptr,
                                             nullptr, 0, &device))
            << GetLastError();
        ASSERT_TRUE(SetupDiRegisterDeviceInfo(set_, &device, 0, nullptr, nullptr, nullptr))
            << GetLastError();
        devices_.push_back(device);
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        ASSERT_TRUE(SetupDiCreateDeviceInterfaceW(set_, &device, &kReaderClass, referenceString, 0,
                                                  &interfaceData))
            << GetLastError();
    }

private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    std::vector<SP_DEVINFO_DATA> devices_;
};

std::u16string Text(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

TEST_F(RegisteredReaders, EveryInterfacePathComesBackWhole) {
    const std::wstring reference(220, L'r');
    Add(L"USB\\VID_0D3B&PID_6173\\TAVIXSHORT", nullptr);
    Add(L"USB\\VID_0D3B&PID_6173\\TAVIXLONG", reference.c_str());
    EnableInterfaces(L"#tavix");

    // Wine writes the paths in lower case, as Windows does for USB devices.
    const std::u16string shortPath = Text(L"\\\\?\\usb#vid_0d3b&pid_6173#tavixshort" + kClassSuffix);
    const std::u16string longPath =
        Text(L"\\\\?\\usb#vid_0d3b&pid_6173#tavixlong" + kClassSuffix + L"\\" + reference);
    ASSERT_GT(longPath.size(), 260u);

    const std::vector<std::u16string> paths = platform::ListReaderInterfacePaths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), shortPath), 1);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), longPath), 1);
}

}  // namespace
