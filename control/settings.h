#pragma once

// The configuration file, in the current directory. It holds the settings
// section and the TestScript.
inline constexpr char16_t kConfigFileName[] = u"CmdTavixEMV.ini";

// Reads the settings section once, at start. Stops the tool when the
// configuration file does not exist.
void LoadSettings();
