#pragma once
// The fixed names the updater shares with the client and with other copies of itself. Narrow
// literals are CP949 at run time (-fexec-charset=CP949), like the names Windows sees.

namespace tarn {

// Single-instance lock of the updater.
constexpr const char kUpdaterMutexName[] = "피마업데이트";
// Held by a running client; the same text is the whole title of the client's main window.
constexpr const char kClientMutexName[] = "피마파일";
constexpr const char kClientWindowTitle[] = "피마파일";
// The trailing blank is part of the name: the client registers exactly these 16 characters.
constexpr const char kWakeupMessageName[] = "Rivoruzu wakeup ";
static_assert(sizeof(kWakeupMessageName) == 17, "the wake-up message name ends with a blank");

// Client processes stopped by image name, in this order.
constexpr const char* const kClientImageNames[] = {"tarnm.exe", "pimfile.exe"};

// The one command-line tail the updater recognises.
constexpr const char kRestartArgument[] = "-restart";

constexpr unsigned kRestartPauseMs = 2000;
constexpr unsigned kWakeupTimeoutMs = 2000;

// Files of earlier client versions, removed from the current directory at start-up. Each name
// begins with the backslash that joins it to the directory text.
constexpr const char* const kObsoleteFiles[] = {"\\Cmp32_v2.dll", "\\Probe.exe", "\\rvxcodec.dll", "\\DigestGen.dll"};

}  // namespace tarn
