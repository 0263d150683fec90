// Shared pieces of the WebDAV integration tests: servers started by their
// scripts on loopback, a site with its Connection and client, and a Ui that
// records what the client asks and answers like a cautious person.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "agent/clients/webdav_client.h"
#include "agent/service/connection.h"
#include "platform/ui.h"

#include <gtest/gtest.h>

namespace hvm::test {

// Runs tests/servers/<script> start|stop with a fresh state folder.
class ServerScript {
 public:
  // extra: further words after the state folder (e.g. "tls").
  explicit ServerScript(const std::string& script, const std::string& extra = "");
  ~ServerScript();
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  const std::string& state() const { return state_; }
  std::string Url(const std::string& path) const;
  std::string SecureUrl(const std::string& path) const;
  // The folder the server shares (Apache, lighttpd).
  std::string DataDir() const { return state_ + "/data"; }

 private:
  std::string script_, state_;
  int port_ = 0;
};

class RecordingUi : public Ui {
 public:
  int MessageBox(std::u16string_view text, std::u16string_view caption, DWORD style) override;
  bool AskPassword(std::u16string_view, std::string&) override { return false; }
  std::unique_ptr<ProgressWindow> OpenProgress(std::u16string_view title) override;
  bool ChooseFile(std::u16string_view, std::u16string_view, std::string& path) override;

  std::vector<std::u16string> messages, captions;
  int retryQuestions = 0;
  int progressWindows = 0;
  int answerRetryTimes = 0;  // IDRETRY this many times, then IDCANCEL
  std::string fileToChoose;  // empty: the person declines
  int filesAsked = 0;
};

struct TestSite {
  explicit TestSite(const std::string& url, const std::string& login = "", const std::string& password = "");
  ~TestSite();
  // Cache path of a path below the site ("\\a\\b.txt"); the root for "".
  std::u16string CachePath(std::u16string_view below) const;
  ReplyArea Reply(std::u16string_view below) const;
  FileEntry* Entry(std::u16string_view below) const;
  FileEntry* List(std::u16string_view below = u"", NTSTATUS* status = nullptr);
  // Reads [start, end) through Get as the service would, counting the read.
  NTSTATUS Read(FileEntry* entry, uint64_t start, uint64_t end, std::vector<uint8_t>& out);

  SiteRecord record{};
  Connection connection;
  WebDavClient* client = nullptr;  // owned by the connection
};

// The fixture's byte pattern and file helpers.
std::vector<uint8_t> Pattern(size_t size, size_t start = 0);
void WriteFile(const std::string& path, const std::vector<uint8_t>& data);
std::vector<uint8_t> ReadFile(const std::string& path);
// A temporary local copy holding data, as the service keeps one.
int LocalCopyWith(const std::vector<uint8_t>& data);
// The fixture's request log as JSON text; clearing it.
std::string FixtureLog(const ServerScript& fixture);
void ClearFixtureLog(const ServerScript& fixture);

// The agent's trace lines, on for the life of the object, into the debug log
// named sinkName (in $XDG_STATE_HOME/halvenmoor/).
class TracesOn {
 public:
  explicit TracesOn(const char* sinkName);
  ~TracesOn();
  TracesOn(const TracesOn&) = delete;
  TracesOn& operator=(const TracesOn&) = delete;

 private:
  uint32_t savedLevel_;
  uint32_t savedAllowed_;
};

// A suite sharing one Apache with mod_dav; every test starts from an empty
// folder with a RecordingUi installed.
class ApacheSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;
  std::string Data(const std::string& name) const;

  static ServerScript* server_;
  RecordingUi ui_;
};

}  // namespace hvm::test
