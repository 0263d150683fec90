// The operating system's message texts for the Windows error codes the agent
// can meet, as the system words them. The last fallback before the bare number.
#include <algorithm>
#include <iterator>

#include "agent/app/error_texts.h"

namespace hvm {
namespace {

struct SystemMessage {
  DWORD code;
  const char16_t* text;
};

constexpr SystemMessage kSystemMessages[] = {
    {1, u"Incorrect function."},
    {2, u"The system cannot find the file specified."},
    {3, u"The system cannot find the path specified."},
    {4, u"The system cannot open the file."},
    {5, u"Access is denied."},
    {6, u"The handle is invalid."},
    {8, u"Not enough memory resources are available to process this command."},
    {14, u"Not enough memory resources are available to complete this operation."},
    {15, u"The system cannot find the drive specified."},
    {18, u"There are no more files."},
    {21, u"The device is not ready."},
    {31, u"A device attached to the system is not functioning."},
    {32, u"The process cannot access the file because it is being used by another process."},
    {33, u"The process cannot access the file because another process has locked a portion of "
         u"the file."},
    {39, u"The disk is full."},
    {50, u"The request is not supported."},
    {53, u"The network path was not found."},
    {59, u"An unexpected network error occurred."},
    {64, u"The specified network name is no longer available."},
    {80, u"The file exists."},
    {87, u"The parameter is incorrect."},
    {109, u"The pipe has been ended."},
    {112, u"There is not enough space on the disk."},
    {122, u"The data area passed to a system call is too small."},
    {123, u"The filename, directory name, or volume label syntax is incorrect."},
    {145, u"The directory is not empty."},
    {183, u"Cannot create a file when that file already exists."},
    {206, u"The filename or extension is too long."},
    {234, u"More data is available."},
    {259, u"No more data is available."},
    {995, u"The I/O operation has been aborted because of either a thread exit or an "
          u"application request."},
    {1010, u"The configuration registry key is invalid."},
    {1011, u"The configuration registry key could not be opened."},
    {1012, u"The configuration registry key could not be read."},
    {1013, u"The configuration registry key could not be written."},
    {1015, u"The registry is corrupted."},
    {1060, u"The specified service does not exist as an installed service."},
    {1223, u"The operation was canceled by the user."},
    {1326, u"The user name or password is incorrect."},
    {1460, u"This operation returned because the timeout period expired."},
};

}  // namespace

const char16_t* SystemErrorText(DWORD code) {
  auto entry = std::find_if(std::begin(kSystemMessages), std::end(kSystemMessages),
                            [code](const SystemMessage& m) { return m.code == code; });
  return entry != std::end(kSystemMessages) ? entry->text : nullptr;
}

}  // namespace hvm
