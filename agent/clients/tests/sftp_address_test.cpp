// Splitting an SFTP site's URL, and server paths of names.
#include <gtest/gtest.h>

#include "agent/clients/sftp_address.h"

namespace hvm {
namespace {

TEST(SftpAddress, HostPortAndFolder) {
  SftpAddress a;
  ASSERT_TRUE(ParseSftpAddress(u"sftp://files.example.org:2222/srv/data/", a));
  EXPECT_EQ(a.host, "files.example.org");
  EXPECT_EQ(a.port, 2222);
  EXPECT_EQ(a.folder, "/srv/data/");
  ASSERT_TRUE(ParseSftpAddress(u"SFTP://host", a));
  EXPECT_EQ(a.host, "host");
  EXPECT_EQ(a.port, 22);
  EXPECT_EQ(a.folder, "/");
  ASSERT_TRUE(ParseSftpAddress(u"sftp://someone@[::1]:2200/x", a));
  EXPECT_EQ(a.host, "::1");
  EXPECT_EQ(a.port, 2200);
  EXPECT_EQ(KnownHostsName(a), "[::1]:2200");
  a.port = 22;
  EXPECT_EQ(KnownHostsName(a), "::1");
}

TEST(SftpAddress, RefusesWhatIsNoAddress) {
  SftpAddress a;
  for (const char16_t* url : {u"sftp://", u"sftp:///folder", u"ftp://host/", u"sftp://host:0/",
                              u"sftp://host:65536/", u"sftp://host:22x/", u"sftp://host:/", u"sftp://[::1/",
                              u"sftp://[::1]x/", u"sftp://ho st/"})
    EXPECT_FALSE(ParseSftpAddress(url, a)) << std::u16string(url).size();
}

TEST(SftpAddress, ServerPathsOfNames) {
  std::string path;
  ASSERT_TRUE(SftpServerPath(u"sftp://h:2222/data/a b/c.txt", path));
  EXPECT_EQ(path, "/data/a b/c.txt");
  ASSERT_TRUE(SftpServerPath(u"sftp://h", path));
  EXPECT_EQ(path, "/");
  ASSERT_TRUE(SftpServerPath(u"/plain\\path", path));
  EXPECT_EQ(path, "/plain/path");
  ASSERT_TRUE(SftpServerPath(u"sftp://h/\u00e4", path));
  EXPECT_EQ(path, "/\xc3\xa4");
  EXPECT_FALSE(SftpServerPath(u"sftp://h/" + std::u16string(767, u'x'), path));
  EXPECT_FALSE(SftpServerPath(std::u16string(u"sftp://h/a\0b", 12), path));
}

}  // namespace
}  // namespace hvm
