// The known_hosts rewrite after a changed key is accepted: only the lines of
// that host go, hashed or plain, whatever else the file holds stays.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "agent/clients/sftp_client.h"

namespace hvm {
namespace {

constexpr const char* kKey = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOMqqnkVzrm0SdG6UOoqKLsabgH5C9okWi0dh2l9GKJl";

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class KnownHostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ssh_ = LoadLibSsh();
    if (ssh_ == nullptr) GTEST_SKIP() << "libssh is not installed";
    folder_ = std::filesystem::temp_directory_path() / ("hvm-known-hosts-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    file_ = (folder_ / "known_hosts").string();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  void Write(const std::string& text) { std::ofstream(file_) << text; }

  const LibSsh* ssh_ = nullptr;
  std::filesystem::path folder_;
  std::string file_;
};

TEST_F(KnownHostsTest, RemovesOnlyTheLinesOfThatHost) {
  std::string keep = std::string("# a comment naming [127.0.0.1]:2222\n") + "[127.0.0.1]:2223 " + kKey + "\n" +
                     "127.0.0.10 " + kKey + "\n" + "files.example.org " + kKey + "\n";
  Write(keep + "[127.0.0.1]:2222 " + kKey + "\n" + "other,[127.0.0.1]:2222 " + kKey + "\n");
  ASSERT_TRUE(RemoveKnownHost(*ssh_, file_, "[127.0.0.1]:2222"));
  EXPECT_EQ(Slurp(file_), keep);
  EXPECT_FALSE(std::filesystem::exists(file_ + "cpy"));
}

TEST_F(KnownHostsTest, RemovesHashedLinesToo) {
  Write(std::string("files.example.org ") + kKey + "\n" + "[127.0.0.1]:2222 " + kKey + "\n");
  // OpenSSH's own hashing of the names.
  ASSERT_EQ(std::system(("ssh-keygen -H -f " + file_ + " >/dev/null 2>&1").c_str()), 0);
  std::string hashed = Slurp(file_);
  ASSERT_EQ(hashed.find("example"), std::string::npos);
  ASSERT_TRUE(RemoveKnownHost(*ssh_, file_, "[127.0.0.1]:2222"));
  std::string after = Slurp(file_);
  EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 1) << after;
  ASSERT_TRUE(RemoveKnownHost(*ssh_, file_, "files.example.org"));
  EXPECT_EQ(Slurp(file_), "");
}

TEST_F(KnownHostsTest, AMissingFileIsNotMade) {
  EXPECT_FALSE(RemoveKnownHost(*ssh_, (folder_ / "absent").string(), "host"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "absent"));
}

}  // namespace
}  // namespace hvm
