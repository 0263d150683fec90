// The shell commands of the drives, their texts, their control codes and
// when each is offered, and how one is sent to the agent through the driver.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shell/drive_path.h"

namespace hvm {

inline constexpr uint32_t kShellCopy = 0x142008;
inline constexpr uint32_t kShellLock = 0x142000;
inline constexpr uint32_t kShellLockToggle = 0x142004;
inline constexpr uint32_t kShellSearch = 0x14200C;
inline constexpr uint32_t kShellCheckout = 0x142088;
inline constexpr uint32_t kShellCheckin = 0x142084;
inline constexpr uint32_t kShellUncheckout = 0x142094;
inline constexpr uint32_t kShellReport = 0x142090;
inline constexpr uint32_t kShellHideReport = 0x1420A8;
inline constexpr uint32_t kShellOptions = 0x1420A4;
inline constexpr uint32_t kShellState = 0x1420C4;
inline constexpr uint32_t kQuickFolderCopy = 0x142118;
inline constexpr uint32_t kQuickFolderDelete = 0x142120;

enum class ShellCommand { Copy, Lock, Unlock, Search, Checkout, Checkin, Uncheckout, Report, HideReport };
inline constexpr int kShellCommandCount = 9;

struct ShellCommandInfo {
  ShellCommand command;
  const char* word;     // the command-line word
  const char* english;  // menu texts
  const char* german;
  uint32_t code;
};
const ShellCommandInfo& InfoOf(ShellCommand command);
std::optional<ShellCommand> CommandOfWord(std::string_view word);

// Whether the server's allowed methods (the options text) offer the command.
bool CommandEnabled(ShellCommand command, std::u16string_view options);

// German when the locale's language is German, else English.
bool GermanTexts();
std::string NotOnDriveText();     // "The operation is only permited within Halvenmoor's disks"
std::string ErrorCaptionText();   // "Error" / "Fehler"
std::string NothingToHideText();  // "There is nothing to hide"

// The answer of one command: called is false when the device call failed
// (result is then the last error and text "Error calling Halvenmoor(%ld)").
struct CommandAnswer {
  bool called = false;
  uint32_t result = 0;
  std::u16string text;
};

// The agent's result word says the server did it: 0, or an HTTP success
// status other than 207 (a multistatus: some members failed).
bool ServerDidIt(const CommandAnswer& answer);

// Sends code with the target's drive path and a second text (a destination
// drive path or a search text). The drive letter is the Connection's.
CommandAnswer SendShellCommand(uint32_t code, const DrivePath& target, std::u16string_view second);
// Tells the driver that a path changed, so the kernel forgets what it cached of it.
void NotifyChanged(const DrivePath& path);
// The drive letter of the caller's connected Connection, or 0 when it is not connected.
char16_t DriveLetterOf(std::u16string_view connection);
// The caller's SID text and the canonical mount point (empty when unknown).
std::u16string CallerSid();
std::string CanonicalMountRoot();

}  // namespace hvm
