// Names an SFTP server lists are hostile input: what the drive shows must be
// reachable again under the same bytes, and a listing without end is cut.
#include <gtest/gtest.h>

#include <string>

#include "agent/clients/sftp_names.h"

namespace hvm {
namespace {

TEST(SftpNames, OnlyNamesTheDriveCanOpenAgainAreShown) {
  for (const char* good : {"a", "report.txt", "caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "name with spaces",
                           "...", ".hidden", "a~b", "tab\there", "line\nbreak"})
    EXPECT_TRUE(IsShowableSftpName(good)) << good;
  for (const char* bad : {"", ".", "..", "a/b", "a\\b", "caf\xe9", "\xc3", "\xed\xa0\x80", "\xf8\x88\x80\x80\x80",
                          "ok\xff", "Thumbs.db:encryptable"})
    EXPECT_FALSE(IsShowableSftpName(bad)) << bad;
  EXPECT_FALSE(IsShowableSftpName(std::string("nul\0inside", 10)));
  EXPECT_TRUE(IsShowableSftpName(std::string(kSftpMaxNameBytes, 'n')));
  EXPECT_FALSE(IsShowableSftpName(std::string(kSftpMaxNameBytes + 1, 'n')));
}

TEST(SftpNames, AListingIsCutOnceItsNamesOutgrowTheBudget) {
  SftpListingBudget budget(1000);
  int taken = 0;
  while (budget.Take(36)) ++taken;
  EXPECT_EQ(taken, 10);  // 100 bytes a name with its bookkeeping
  EXPECT_FALSE(budget.Take(0));

  SftpListingBudget huge(1000);
  EXPECT_FALSE(huge.Take(static_cast<size_t>(-1)));  // no wrap-around on an absurd length
  EXPECT_FALSE(huge.Take(1));

  SftpListingBudget counted(1u << 20, 3);
  EXPECT_TRUE(counted.Take(0) && counted.Take(0) && counted.Take(0));
  EXPECT_FALSE(counted.Take(0));

  SftpListingBudget standard;
  size_t names = 0;
  while (standard.Take(100) && names < (size_t{1} << 24)) ++names;
  EXPECT_EQ(names, kSftpMaxListedNames);  // a folder of ordinary names lists up to the count
  SftpListingBudget longest;
  names = 0;
  while (longest.Take(kSftpMaxNameBytes)) ++names;
  EXPECT_GT(names, size_t{50000});
  EXPECT_LT(names, kSftpMaxListedNames);
}

}  // namespace
}  // namespace hvm
