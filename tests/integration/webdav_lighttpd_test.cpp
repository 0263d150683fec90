// The WebDAV client against lighttpd's WebDAV module on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>

#include "tests/integration/webdav_test_support.h"

namespace hvm::test {
namespace {

namespace fs = std::filesystem;

class LighttpdWebDav : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new ServerScript("lighttpd_webdav.sh"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->ok()) << "lighttpd did not start";
    SetCurrentUi(&ui_);
  }
  void TearDown() override { SetCurrentUi(nullptr); }
  static ServerScript* server_;
  RecordingUi ui_;
};
ServerScript* LighttpdWebDav::server_ = nullptr;

TEST_F(LighttpdWebDav, ListsUploadsAndRefreshesFilesWithHead) {
  WriteFile(server_->DataDir() + "/r.bin", Pattern(1000));
  TestSite site(server_->Url("/dav/"));
  NTSTATUS status = 1;
  site.List(u"", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  FileEntry* e = site.Entry(u"\\r.bin");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->size, 1000u);
  std::vector<uint8_t> piece;
  ASSERT_EQ(site.Read(e, 100, 200, piece), STATUS_SUCCESS);
  EXPECT_EQ(piece, Pattern(100, 100));

  // A file on lighttpd is refreshed with HEAD: the new time arrives.
  utimbuf times{1000000000, 1000000000};
  utime((server_->DataDir() + "/r.bin").c_str(), &times);
  FileTime before = e->lastWriteTime;
  ASSERT_EQ(site.client->ListDirectory(site.Reply(u"\\r.bin").serverPath, e, nullptr), STATUS_SUCCESS);
  EXPECT_NE(e->lastWriteTime, before);
  EXPECT_EQ(e->lastWriteTime, 1000000000ull * kFileTimeTicksPerSecond + kFileTimeUnixEpoch);

  FileEntry* up = site.connection.entries.NewEntry(site.CachePath(u"\\up load.txt"));
  up->localCopy = LocalCopyWith(Pattern(70000));
  up->flags |= kEntryWrittenLocally;
  OpenHandle handle;
  handle.entry = up;
  ReplyArea reply = site.Reply(u"\\up load.txt");
  ASSERT_EQ(site.client->CloseAfterWrite(&handle, reply, 1, 0), STATUS_SUCCESS);
  EXPECT_EQ(ReadFile(server_->DataDir() + "/up load.txt"), Pattern(70000));
}

}  // namespace
}  // namespace hvm::test
