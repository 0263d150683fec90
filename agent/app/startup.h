// Start-up of the agent: the command-line switches, the single-instance rule,
// and opening (or starting) the driver with its log level, ping thread and
// version check.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace hvm {

inline constexpr uint32_t kDefaultSleepMs = 20000;
inline constexpr DWORD kLowestDriverVersion = 0x03000000;
inline constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr char16_t kDriverServiceKey[] = u"SYSTEM\\CurrentControlSet\\Services\\quenlode";
inline constexpr char16_t kProviderOrderKey[] =
    u"SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\Order";
inline constexpr char kDriverProgram[] = "quenlode";
// How long a started driver has to open its control socket.
inline constexpr std::chrono::milliseconds kDriverStartWait{15000};

// True when "/word" or "/WORD" occurs in the command line (exactly those two forms).
bool HasSwitch(std::string_view commandLine, std::string_view word);
// "/sleep": 20000 ms, or N × 1000 ms for "/sleep=N"; 0 without the switch.
uint32_t SleepMillisecondsOf(std::string_view commandLine);
// A command line longer than 3 characters starts the agent hidden.
bool StartsHidden(std::string_view commandLine);

// The folder of the running program: the installation, where quenlode lies.
std::string InstallationFolder();

// Records the driver's service under HKLM SYSTEM\CurrentControlSet\Services\quenlode
// (and puts quenlode first in the network provider order). ERROR_SUCCESS,
// ERROR_SERVICE_MARKED_FOR_DELETE for a service left marked for deletion, or
// the registry's error.
DWORD RecordDriverService(const std::string& binary);
// Starts the driver program detached and waits until its control socket
// answers. ERROR_SUCCESS, or the error of the start or ERROR_TIMEOUT-like
// ERROR_GEN_FAILURE when the socket never came.
DWORD StartDriverProcess(const std::string& binary, std::chrono::milliseconds wait);

// Opening the driver: the control device, or, when its socket is missing,
// recording and starting quenlode from the installation folder. Then the log
// level and the ping thread. False after telling the person why.
// installationFolder empty: the program's own folder.
bool OpenDriver(const std::string& installationFolder = {},
                std::chrono::milliseconds wait = kDriverStartWait);
// The interface version check; false after "The version of the driver is
// old, not found, exit".
bool DriverVersionAcceptable();

}  // namespace hvm
