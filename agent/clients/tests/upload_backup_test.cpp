// The backup copy of a failed upload: every file the drive can hold gets one.
#include "agent/clients/upload_backup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/tests/test_support.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Names near the drive's limit are longer than a local file name may be once
// the time stamp is added: the copy's name is cut, the copy is still made.
TEST(UploadBackup, NamesAtTheDrivesLimitStillGetACopy) {
  test::ScratchDir data;
  test::EnvOverride home("XDG_DATA_HOME", data.path());
  int fd = open(data.path().c_str(), O_TMPFILE | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "written", 7), 7);

  std::u16string ascii(243, u'a');
  std::u16string umlauts(200, u'\u00e4');  // 400 bytes in UTF-8
  std::string first = WriteUploadBackup(fd, u"demo", ascii);
  std::string second = WriteUploadBackup(fd, u"demo", ascii);
  std::string wide = WriteUploadBackup(fd, u"demo", umlauts);
  close(fd);
  for (const std::string& path : {first, second, wide}) {
    ASSERT_FALSE(path.empty());
    EXPECT_LE(BaseName(path).size(), 255u) << path;
    EXPECT_EQ(test::ReadWholeFile(path), "written");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
  }
  EXPECT_NE(first, second);
  EXPECT_EQ(BaseName(first).substr(0, 200), std::string(200, 'a'));
  // Cut between whole characters: the name is still valid UTF-8.
  std::string kept = BaseName(wide).substr(0, BaseName(wide).find('.'));
  EXPECT_EQ(Utf8ToUtf16(kept), std::u16string(kept.size() / 2, u'\u00e4'));
}

}  // namespace
}  // namespace hvm
