// A second start of the agent hands its command to the running instance over
// the instance socket in the runtime folder: one fixed-size message per
// connection, answered once the running instance has handled it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace hvm {

// Command messages of the running instance.
inline constexpr uint32_t kMessageConnect = 0x807B;
inline constexpr uint32_t kMessageDisconnect = 0x807C;
inline constexpr uint32_t kMessageTrayNotify = 0x807D;
inline constexpr uint32_t kMessageRefresh = 0x807E;
inline constexpr uint32_t kMessageSettings = 0x8087;
// The site manager's "Offline connect" and "Synchronize" buttons, from the command line.
inline constexpr uint32_t kMessageOfflineConnect = 0x8088;
inline constexpr uint32_t kMessageSynchronize = 0x8089;
// A password for the site named, for the connect that follows it: lParam
// bytes of password follow the message (at most kHandOverPasswordBytes).
inline constexpr uint32_t kMessagePassword = 0x8090;
inline constexpr size_t kHandOverPasswordBytes = 59;
// Ends the running instance (a close of its main window).
inline constexpr uint32_t kMessageQuit = 0x0010;
// What a second start without switches sends with kMessageTrayNotify.
inline constexpr uint32_t kTrayIconId = 171;
inline constexpr uint32_t kTrayLeftButtonUp = 0x202;

inline constexpr uint32_t kInstanceMagic = 0x494D5648;  // "HVMI"
inline constexpr size_t kHandOverNameChars = 31;

// What the running agent answers to a connect, disconnect or refresh.
inline constexpr uint32_t kCommandFailed = 0;
inline constexpr uint32_t kCommandDone = 1;
inline constexpr uint32_t kCommandFileOpen = 2;   // disconnect: a file of the drive is open
inline constexpr uint32_t kCommandDriveBusy = 3;  // disconnect: the drive link stays in use
// Sent again and again while a command runs (a synchronisation may take long),
// so the second start can tell a busy agent from one that hangs.
inline constexpr uint32_t kCommandWorking = 0xFFFFFFFF;
inline constexpr int kInstanceSilenceLimitMs = 120000;

#pragma pack(push, 1)
struct InstanceMessage {
  uint32_t magic;      // 0: kInstanceMagic
  uint32_t message;    // 4: kMessage*
  uint32_t wParam;     // 8: a drive letter for kMessageDisconnect, the icon id for the tray
  uint32_t lParam;     // 12
  char siteName[32];   // 16: the site name, ANSI, at most 31 characters and a terminator
};
struct InstanceAnswer {
  uint32_t magic;      // 0: kInstanceMagic
  uint32_t result;     // 4: what the handler returned
};
#pragma pack(pop)

static_assert(sizeof(InstanceMessage) == 48);
static_assert(offsetof(InstanceMessage, message) == 4);
static_assert(offsetof(InstanceMessage, wParam) == 8);
static_assert(offsetof(InstanceMessage, lParam) == 12);
static_assert(offsetof(InstanceMessage, siteName) == 16);
static_assert(sizeof(InstanceAnswer) == 8);

InstanceMessage MakeInstanceMessage(uint32_t message, std::string_view siteName = {},
                                    uint32_t wParam = 0, uint32_t lParam = 0);

// The site name of a command line: the text behind "/name=" or "/NAME=" up
// to the first blank, at most 31 characters; empty without the switch.
std::string HandOverName(std::string_view commandLine);

// The messages a second start hands to the running instance, in order:
// "/set" first, then the command of "/con", "/dis" or "/ref" ("/ref" wins)
// with its site name (nothing without a name), or, for an empty command
// line, the tray notification that brings the instance to the front.
std::vector<InstanceMessage> HandOverMessages(std::string_view commandLine);

// Sends one message to the running instance and waits for its answer, as
// long as the instance keeps saying it is working. False when no instance
// listens or it was silent for silenceLimitMs.
bool SendInstanceMessage(const InstanceMessage& message, uint32_t* result = nullptr,
                         const std::string& socketPath = {}, int silenceLimitMs = kInstanceSilenceLimitMs);

// Sends a password typed at a second start for the site to the running instance.
bool SendInstancePassword(std::string_view siteName, std::string_view password,
                          const std::string& socketPath = {});
// Keeps a password handed over for a site until its connect takes it.
void StashHandedPassword(std::string_view siteName, std::string_view password);
// The password handed over for the site, once; empty when there is none.
std::string TakeHandedPassword(std::string_view siteName);

// The running instance's end: one thread accepts, reads one message, calls
// the handler and answers with its result.
class InstanceChannelServer {
 public:
  using Handler = std::function<uint32_t(const InstanceMessage&)>;

  InstanceChannelServer() = default;
  ~InstanceChannelServer();
  InstanceChannelServer(const InstanceChannelServer&) = delete;
  InstanceChannelServer& operator=(const InstanceChannelServer&) = delete;

  // Listens on socketPath (default: the runtime folder's instance socket),
  // replacing a stale socket. False with errno when that fails.
  bool Start(Handler handler, const std::string& socketPath = {});
  void Stop();

  // While a command runs, the peer hears kCommandWorking this often.
  int keepAliveMs = 10000;

 private:
  void Serve();
  void Answer(int fd);
  uint32_t HandleTellingThePeer(int fd, const InstanceMessage& message, bool& peerListens);

  Handler handler_;
  std::string path_;
  int listenFd_ = -1;
  int wakeFd_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace hvm
