#include "agent/app/tests/app_test_driver.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "driver/invalidate_record.h"
#include "platform/control_device.h"
#include "platform/runtime_paths.h"
#include "platform/wide_text.h"

namespace hvm::test {
namespace {

constexpr auto kWait = std::chrono::seconds(5);

const char* const kVariables[] = {"HALVENMOOR_RUNTIME_DIR", "HOME", "HALVENMOOR_USER_REG",
                                  "HALVENMOOR_MACHINE_REG", "HALVENMOOR_UI_ANSWERS",
                                  "XDG_STATE_HOME", "XDG_CONFIG_HOME"};

class ScriptedClient : public RemoteClient {
 public:
  explicit ScriptedClient(Connection& c) : RemoteClient(c) { ++TheScript().made; }
  NTSTATUS Open() override { return STATUS_SUCCESS; }
  NTSTATUS CreateFile(FileEntry*, ReplyArea&) override { return STATUS_SUCCESS; }
  NTSTATUS CloseAfterWrite(OpenHandle*, ReplyArea&, uint32_t, uint32_t) override { return 0; }
  NTSTATUS ListDirectory(std::u16string_view, FileEntry*, const char16_t*) override { return 0; }
  NTSTATUS MakeDirectory(ReplyArea&) override { return 0; }
  NTSTATUS Delete(FileEntry*, ReplyArea&) override { return 0; }
  NTSTATUS Move(FileEntry*, ReplyArea&, FileEntry*, std::u16string_view) override { return 0; }
  NTSTATUS Get(FileEntry*, ReplyArea&, uint64_t, uint64_t, uint8_t*, uint32_t) override { return 0; }
  NTSTATUS Write(FileEntry*, ReplyArea&, uint64_t, uint64_t, const uint8_t*, NTSTATUS) override {
    return 0;
  }
  NTSTATUS Copy(FileEntry*, ReplyArea&, uint32_t, std::u16string_view, char16_t*) override { return 0; }
  NTSTATUS Lock(FileEntry*, ReplyArea&, uint32_t, char16_t*) override { return 0; }
  NTSTATUS BeginWrite(FileEntry*, ReplyArea&, uint32_t, char16_t*) override { return 0; }
  NTSTATUS Unlock(FileEntry*, ReplyArea&, uint32_t, char16_t*) override {
    ++TheScript().unlocks;
    return 0;
  }
  void Shutdown() override {}
  const char16_t* ErrorText(uint32_t code) override {
    CopyWide(errorText_, kErrorTextChars, code == 12175 ? u"Bad certificate (12175)" : u"Refused (401)");
    return errorText_;
  }
  int IsConnected() override { return 1; }
  // As the WebDAV client does: a failed test answers STATUS_UNSUCCESSFUL
  // and leaves the protocol's code in the answer's result.
  NTSTATUS Control(uint32_t code, FileEntry*, ReplyArea&, InternalRequest* answer, uint32_t*,
                   const InternalRequest*) override {
    if (code != 0x141FFC) return STATUS_INVALID_DEVICE_REQUEST;
    Script& script = TheScript();
    ++script.tests;
    if (script.testResults.empty() || script.testResults.front() == STATUS_SUCCESS) {
      if (!script.testResults.empty()) script.testResults.pop_front();
      return STATUS_SUCCESS;
    }
    answer->result = script.testResults.front();
    script.testResults.pop_front();
    return STATUS_UNSUCCESSFUL;
  }
  void SetSecurityFlags(uint32_t flags) override {
    TheScript().securityFlags.push_back(flags);
    RemoteClient::SetSecurityFlags(flags);
  }
};

}  // namespace

int RecordingUi::MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) {
  boxes.push_back({std::u16string(text), std::u16string(caption), style});
  if (answers.empty()) return IDCANCEL;
  int answer = answers.front();
  answers.pop_front();
  return answer;
}

bool RecordingUi::AskPassword(std::u16string_view, std::string& password) {
  ++passwordQuestions;
  if (passwords.empty()) return false;
  password = passwords.front();
  passwords.pop_front();
  return true;
}

Script& TheScript() {
  static Script script;
  return script;
}

std::unique_ptr<RemoteClient> MakeScriptedClient(Connection& connection) {
  return std::make_unique<ScriptedClient>(connection);
}

Sandbox::Sandbox() {
  char pattern[] = "/tmp/hvm-app-XXXXXX";
  root_ = mkdtemp(pattern);
  for (const char* name : kVariables) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old != nullptr ? old : std::string("\x01"));
  }
  MakeDirs(root_ + "/run", 0700);
  MakeDirs(root_ + "/home", 0700);
  setenv("HALVENMOOR_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
  setenv("HOME", (root_ + "/home").c_str(), 1);
  setenv("HALVENMOOR_USER_REG", (root_ + "/user.reg").c_str(), 1);
  setenv("HALVENMOOR_MACHINE_REG", (root_ + "/system.reg").c_str(), 1);
  setenv("HALVENMOOR_UI_ANSWERS", (root_ + "/answers").c_str(), 1);
  setenv("XDG_STATE_HOME", (root_ + "/state").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
  Answers("");
}

Sandbox::~Sandbox() {
  for (auto& [name, value] : saved_) {
    if (value == "\x01")
      unsetenv(name.c_str());
    else
      setenv(name.c_str(), value.c_str(), 1);
  }
  std::string command = "rm -rf '" + root_ + "'";
  if (std::system(command.c_str()) != 0) return;
}

std::string ShellOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

void Sandbox::Answers(const std::string& lines) const {
  std::ofstream(root_ + "/answers") << lines;
}

TestDriver::TestDriver() {
  listenFd_ = ListenControlSocket(ControlSocketPath());
  acceptThread_ = std::thread([this] { Accept(); });
}

TestDriver::~TestDriver() {
  stopping_ = true;
  shutdown(listenFd_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (int fd : peerFds_) shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& peer : peers_) peer.join();
  for (int fd : peerFds_) close(fd);
  close(listenFd_);
  unlink(ControlSocketPath().c_str());
}

void TestDriver::Accept() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> guard(lock_);
      peerFds_.push_back(fd);
    }
    peers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void TestDriver::Serve(int fd) {
  ControlFrame frame;
  while (!stopping_ && ReadControlFrame(fd, frame) == 1) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      calls_.push_back({frame.code, frame.input});
    }
    changed_.notify_all();
    std::vector<uint8_t> output(frame.outLength, 0);
    uint32_t error = 0;
    switch (frame.code) {
      case IOCTL_CONNECT: {
        ConnectionRecord record{};
        std::memcpy(&record, frame.input.data(), std::min(frame.input.size(), sizeof record));
        record.connectionHandle = handle;
        std::memcpy(output.data(), &record, std::min(output.size(), sizeof record));
        error = connectError;
        std::lock_guard<std::mutex> guard(lock_);
        active_ = error == 0;
        break;
      }
      case IOCTL_DISCONNECT: {
        std::lock_guard<std::mutex> guard(lock_);
        active_ = false;
        // The pending loop call ends with 0 bytes, as a suspend does.
        for (int loop : pendingLoops_) WriteControlAnswer(loop, 0, nullptr, 0);
        pendingLoops_.clear();
        std::memcpy(output.data(), frame.input.data(), std::min(output.size(), frame.input.size()));
        break;
      }
      case IOCTL_PING: {
        PingRecord record{};
        std::memcpy(&record, frame.input.data(), std::min(frame.input.size(), sizeof record));
        record.slotHandle = 77;
        std::memcpy(output.data(), &record, std::min(output.size(), sizeof record));
        break;
      }
      case IOCTL_VERSION:
        if (output.size() >= 4) std::memcpy(output.data(), &version, 4);
        break;
      case IOCTL_GET_REQUEST: {
        std::lock_guard<std::mutex> guard(lock_);
        // A loop of an unregistered Connection learns it at once.
        if (!active_) {
          WriteControlAnswer(fd, 0, nullptr, 0);
          continue;
        }
        pendingLoops_.push_back(fd);
        changed_.notify_all();
        continue;
      }
      case 0x1420C4: {
        // As the driver: a command for a Connection whose loop has not asked yet fails.
        std::lock_guard<std::mutex> guard(lock_);
        if (pendingLoops_.empty()) error = 1;
        break;
      }
      default:
        output.clear();
        break;
    }
    if (!WriteControlAnswer(fd, error, output.data(), error == 0 ? static_cast<uint32_t>(output.size()) : 0))
      break;
  }
}

std::vector<ReceivedCall> TestDriver::Calls(uint32_t code) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<ReceivedCall> found;
  for (const ReceivedCall& call : calls_)
    if (call.code == code) found.push_back(call);
  return found;
}

size_t TestDriver::Count(uint32_t code) const { return Calls(code).size(); }

bool TestDriver::WaitFor(uint32_t code, size_t n) const {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, kWait, [&] {
    size_t count = 0;
    for (const ReceivedCall& call : calls_) count += call.code == code;
    return count >= n;
  });
}

bool TestDriver::WaitForLoop() const {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, kWait, [&] { return !pendingLoops_.empty(); });
}

}  // namespace hvm::test
