// Test doubles for the agent frame's unit tests: a small driver that answers
// the control socket the way quenlode does for the codes the frame sends,
// and a sandbox that points the runtime folder, the home folder and both
// registry files into a fresh temporary folder.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <deque>
#include <memory>

#include "agent/app/connect_site.h"
#include "agent/clients/remote_client.h"
#include "agent/service/channel_records.h"
#include "agent/service/registration.h"
#include "agent/service/request_loop.h"
#include "platform/ui.h"

namespace hvm::test {

// A front end that records every message box and notice and answers from a
// list (IDCANCEL when it runs out); a password from the list, else declined.
struct RecordedBox {
  std::u16string text, caption;
  DWORD style;
};
struct RecordedNotice {
  std::u16string title, text;
  bool failure;
};
class RecordingUi : public Ui {
 public:
  std::vector<RecordedBox> boxes;
  std::vector<RecordedNotice> notices;
  std::deque<int> answers;
  std::deque<std::string> passwords;
  int passwordQuestions = 0;
  int MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) override;
  bool AskPassword(std::u16string_view prompt, std::string& password) override;
  std::unique_ptr<ProgressWindow> OpenProgress(std::u16string_view) override { return nullptr; }
  bool ChooseFile(std::u16string_view, std::u16string_view, std::string&) override { return false; }
  void Notify(std::u16string_view title, std::u16string_view text, bool failure) override {
    notices.push_back({std::u16string(title), std::u16string(text), failure});
  }
};

// A protocol client whose connection test answers from a script.
struct Script {
  std::deque<NTSTATUS> testResults;  // one per connection test; empty: success
  std::vector<uint32_t> securityFlags;
  int tests = 0;
  int unlocks = 0;
  int made = 0;
};
Script& TheScript();
std::unique_ptr<RemoteClient> MakeScriptedClient(Connection& connection);

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  const std::string& root() const { return root_; }
  std::string Path(const std::string& name) const { return root_ + "/" + name; }
  // Lines for the headless Ui's answer file.
  void Answers(const std::string& lines) const;

 private:
  std::string root_;
  std::vector<std::pair<std::string, std::string>> saved_;
};

// A test's end: every site disconnected, every request loop and the
// housekeeping thread ended.
inline void EndAllSites(SiteConnector& connector, ConnectionTable& table) {
  connector.DisconnectAllSites();
  for (size_t i = 0; i < table.size(); ++i) JoinRequestLoop(table.at(i));
  StopHousekeeping();
}

// What a shell command printed on its standard output.
std::string ShellOutput(const std::string& command);

struct ReceivedCall {
  uint32_t code = 0;
  std::vector<uint8_t> input;
};

class TestDriver {
 public:
  TestDriver();  // listens on the sandbox's control socket
  ~TestDriver();

  std::vector<ReceivedCall> Calls(uint32_t code) const;
  size_t Count(uint32_t code) const;
  // Waits (up to 5 s) until n calls of code arrived.
  bool WaitFor(uint32_t code, size_t n) const;
  // Waits (up to 5 s) until a GET_REQUEST is pending.
  bool WaitForLoop() const;

  uint32_t handle = 0x5150;           // returned by IOCTL_CONNECT
  uint32_t version = kDriverInterfaceVersion;
  uint32_t connectError = 0;          // Win32 error IOCTL_CONNECT answers

 private:
  void Accept();
  void Serve(int fd);

  int listenFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::vector<std::thread> peers_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<ReceivedCall> calls_;
  bool active_ = false;  // the one Connection is registered
  std::vector<int> peerFds_;
  std::vector<int> pendingLoops_;  // descriptors with a GET_REQUEST waiting
};

}  // namespace hvm::test
