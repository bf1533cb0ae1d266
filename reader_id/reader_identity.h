// Identifies the supported reader among the present smart-card reader
// interfaces by its device path, and reports its USB id and serial number.
#pragma once

#include <string>

// The supported reader: matched by either token, case-sensitively, anywhere in
// the device path.
inline constexpr char16_t kReaderProductToken[] = u"4817";
inline constexpr char16_t kReaderUsbIdToken[] = u"vid_0d3b&pid_6173";

bool IsSupportedReaderPath(const std::u16string& devicePath);

// The 17 characters from index 8 (vid_VVVV&pid_PPPP in a well-formed path).
std::u16string ExtractHardwareId(const std::u16string& devicePath);

// The characters between the last '#' and the first "#{" (the instance id).
std::u16string ExtractSerialNumber(const std::u16string& devicePath);

// Reports two lines per supported reader interface; returns how many.
int ReportReaderIdentity();
