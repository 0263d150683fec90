// The shared section's name per session: systems with runtime folders of
// their own must not meet in one site table, the usual one keeps the plain name.
#include <gtest/gtest.h>

#include <unistd.h>

#include <optional>
#include <string>

#include "agent/service/shared_section.h"
#include "platform/tests/test_support.h"

namespace hvm {
namespace {

using test::EnvOverride;

std::string NameFor(const std::optional<std::string>& runtime) {
  EnvOverride env("HALVENMOOR_RUNTIME_DIR", runtime);
  return SessionSharedSectionName();
}

TEST(SessionSectionName, FollowsTheRuntimeFolder) {
  EXPECT_EQ(NameFor(std::nullopt), kSharedSectionName);
  EXPECT_EQ(NameFor(std::string()), kSharedSectionName);
  // Pinned: the end-to-end harness removes the object under this name.
  EXPECT_EQ(NameFor("/run/test-a"), "Halvenmoor_WebSharedData.8602f7f0197d9d4c");
  EXPECT_NE(NameFor("/run/test-a"), NameFor("/run/test-b"));
  EXPECT_EQ(NameFor("/run/test-b"), NameFor("/run/test-b"));
}

TEST(SessionSectionName, TwoSessionsOfOneUserKeepSeparateBlocks) {
  test::ScratchDir scratch;
  EnvOverride userRegistry("HALVENMOOR_USER_REG", scratch / "user.reg");
  EnvOverride runtime("HALVENMOOR_RUNTIME_DIR", scratch / "run");
  std::string first = NameFor("/tmp/hvm-session-one-" + std::to_string(getpid()));
  std::string second = NameFor("/tmp/hvm-session-two-" + std::to_string(getpid()));
  AgentSharedSection a, b;
  ASSERT_EQ(a.Attach(true, nullptr, first), ERROR_SUCCESS);
  ASSERT_EQ(b.Attach(true, nullptr, second), ERROR_SUCCESS);
  a.UserBlock()->sites[0].url[0] = u'A';
  b.UserBlock()->sites[0].url[0] = u'B';
  EXPECT_EQ(a.UserBlock()->sites[0].url[0], u'A');
  a.Detach();
  b.Detach();
  RemoveSharedSection(first);
  RemoveSharedSection(second);
}

}  // namespace
}  // namespace hvm
