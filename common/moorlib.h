// The common library of the user-mode modules: logging, driver queries,
// instance check, shared name, user SID, the thread pool and the
// foreground-process query. Failures are returned, never thrown.
#pragma once
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace hvm {

// ---- logging (a line is printed when the two masks share a bit)

extern uint32_t logLevel;        // 0 at load; the agent sets it from its settings
extern uint32_t debugIsAllowed;  // 0xFFFFFFFF at load; cleared by the first suppressed line

inline constexpr size_t kDbgLineChars = 512;
inline constexpr size_t kDbgMessageOffset = 8;  // after "WC:HH:MM"
inline constexpr size_t kDbgMessageChars = 502;

// Gated by logLevel & debugIsAllowed. Returns the message's formatted length,
// negative when it was cut, 0 when nothing was printed.
int WideDbgPrint(const char16_t* format, ...);
// Gated by a & b only; the library's masks are neither read nor changed.
int WideDbgPrint(uint32_t a, uint32_t b, const char16_t* format, ...);

// Reads the monotonic clock (ns) into *counter and prints the change of its
// low 32 bits since the previous value, with label and number.
void performance(const char16_t* label, int number, int64_t* counter);
// Kept for modules that still call it; does nothing.
void dbgTime(const char* text, int64_t* counter);

// ---- driver queries, instance check, shared name, user SID

inline constexpr char kAgentInstanceName[] = "QUENLODE-AC689DE5-8C01-4dca-B0CA-3B5B1AD3A5D8";
inline constexpr char kSharedNameSection[] =
    "QUENLODE-AC689DE5-8C01-4dca-B0CA-3B5B1AD3A5D8SHARED";
inline constexpr size_t kSharedNameSectionSize = 44;
inline constexpr size_t kSharedNameMaxChars = 39;
inline constexpr DWORD kNoDriver = 0xFFFFFFFF;

// IOCTL_VERSION of the driver: 0xFFFFFFFF when the device cannot be opened,
// 0 when the call fails.
DWORD GetDriverVersion(const char16_t* devicePath);
DWORD GetDriverVersion();
// True when some process holds the named instance lock (the agent does, for its lifetime).
int CheckIfTheHalvenmoorIsThere(const char* instanceName);
int CheckIfTheHalvenmoorIsThere();
// The shared-name text in the section (writable, 40 bytes), or null without a section.
char* GetHalvenmoorName(const char* sectionName);
char* GetHalvenmoorName();
// Stores at most 39 characters and a terminator; does nothing without a section.
void SetHalvenmoorName(const char* sectionName, const char* text);
void SetHalvenmoorName(const char* text);

// The current user's SID text "S-1-22-1-<uid>" with strncpy semantics.
// Returns 0 when it fits with its terminator, else the text's length (the
// buffer then holds its first `length` characters, unterminated).
int GetCurrentUserSidString(char* buffer, int length);
int GetCurrentUserSidString(char16_t* buffer, int length);

// ---- thread pool and jobs

// A work item. `value` is the owner's to use; the library only copies it.
class Job {
 public:
  Job() = default;
  Job(const Job& other) : value(other.value) {}
  Job& operator=(const Job& other) {
    value = other.value;
    return *this;
  }
  virtual ~Job() { value = 0; }
  virtual void Run() = 0;

  uint32_t value = 0;
};

struct ThreadPoolState;

// A fixed set of workers that start jobs in the order they were assigned.
// The destructor stops the workers, waiting at most 2,000 ms for them; a
// worker still inside a long job is abandoned and ends on its own later.
class ThreadPool {
 public:
  ThreadPool(int threadCount, int deleteJobs);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void Assignment(Job* job);
  // Takes the next job (waiting up to 1,000 ms) and runs it.
  void Work();
  int IsStopping();

 private:
  int threadCount_;
  std::shared_ptr<ThreadPoolState> state_;  // shared with the workers: outlives an abandoned one
  std::vector<std::thread> threads_;
  int deleteJobs_;
};

// ---- window hook and foreground-process query

using HWND = void*;
using HHOOK = void*;
using HMODULE = void*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WNDPROC = LRESULT (*)(HWND, uint32_t, WPARAM, LPARAM);

inline constexpr uint32_t WM_DESTROY = 0x0002;
inline constexpr uint32_t WM_NCDESTROY = 0x0082;
inline constexpr int HC_ACTION = 0;

// The message a call-window-procedure hook sees.
struct CWPSTRUCT {
  LPARAM lParam;
  WPARAM wParam;
  uint32_t message;
  HWND hwnd;
};

extern HHOOK TheCopyExplorerHook;  // the installing module's hook, removed on the window's end
extern HWND progressHwnd;          // hidden when the watched window goes away; may be null
extern HMODULE hInstPsApiLib;      // set once the process-listing facility was looked up

// Which program owns the active window. 0: the buffer holds the module's base
// name (the wanted one when loaded, else the program's own); 1: no active
// window; 5: it has no process id; 10: its process cannot be read; -2: listing failed.
int GetActiveWindowModuleName(char* buffer, int length, const char* wantedModule);

// The hook procedure: takes over the first window it sees (HC_ACTION only).
LRESULT SetHook(int code, WPARAM wParam, LPARAM lParam);
// The replacement window procedure: hides progressHwnd when the window ends.
LRESULT HookWndProc(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam);
// Window procedures and visibility belong to the front end; it tells the
// library how to reach them. Without them the hook only traces.
void SetWindowFacilities(WNDPROC (*procedureOf)(HWND), void (*hideWindow)(HWND));
// Installs the hook for windows of this session. Answers null (not installed)
// where no display offers window messages to other programs.
HHOOK InstallCopyExplorerHook();

}  // namespace hvm
