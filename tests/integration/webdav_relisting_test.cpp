// Server changes that a re-listing finds reach the shell notification queue,
// and from there the kernel; what the kernel never saw causes no notice.
#include <gtest/gtest.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "agent/app/shell_notify.h"
#include "tests/integration/webdav_test_support.h"

namespace hvm::test {
namespace {

namespace fs = std::filesystem;

class Relisting : public ApacheSuite {
 protected:
  void SetUp() override {
    ApacheSuite::SetUp();
    if (HasFatalFailure()) return;
    ShellNotice stale;
    while (AgentShellNotifyQueue().Take(stale)) {
    }
  }
  static std::vector<std::pair<std::u16string, uint16_t>> Queued() {
    std::vector<std::pair<std::u16string, uint16_t>> out;
    ShellNotice notice;
    while (AgentShellNotifyQueue().Take(notice)) out.emplace_back(notice.drivePath, notice.event);
    return out;
  }
};

TEST_F(Relisting, ChangedVanishedAndNewChildrenAreQueuedOnlyOnceSeen) {
  fs::create_directory(Data("sub"));
  WriteFile(Data("sub/same.txt"), Pattern(3));
  WriteFile(Data("sub/grows.txt"), Pattern(3));
  WriteFile(Data("sub/goes.txt"), Pattern(3));
  WriteFile(Data("sub/~$lock.txt"), Pattern(3));
  TestSite site(server_->Url("/dav/"));
  site.connection.hooks.serverChanged = QueueShellNotify;
  site.List();
  Queued();
  NTSTATUS status = 1;
  site.List(u"\\sub", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(Queued().empty()) << "a first listing shows nothing the kernel has seen";

  WriteFile(Data("sub/grows.txt"), Pattern(10));
  WriteFile(Data("sub/~$lock.txt"), Pattern(10));
  fs::remove(Data("sub/goes.txt"));
  WriteFile(Data("sub/new.txt"), Pattern(1));
  site.List(u"\\sub", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  auto queued = Queued();
  using Notice = std::pair<std::u16string, uint16_t>;
  EXPECT_EQ(queued, (std::vector<Notice>{{u"X:\\sub\\grows.txt", SHCNE_UPDATEITEM},
                                         {u"X:\\sub\\goes.txt", SHCNE_DELETE},
                                         {u"X:\\sub", SHCNE_UPDATEDIR}}));
  ASSERT_NE(site.Entry(u"\\sub\\grows.txt"), nullptr);
  EXPECT_EQ(site.Entry(u"\\sub\\grows.txt")->size, 10u);

  // Nothing changed since: nothing to tell.
  site.List(u"\\sub", &status);
  EXPECT_TRUE(Queued().empty());
}

}  // namespace
}  // namespace hvm::test
