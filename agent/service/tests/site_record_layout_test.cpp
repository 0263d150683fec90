// The shared block's bytes: what another process reads at each offset.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "agent/service/site_record.h"

namespace hvm {
namespace {

TEST(SiteRecordLayout, FieldsLandOnTheirBytes) {
  auto block = std::make_unique<SharedUserBlock>();
  std::memset(block.get(), 0, sizeof *block);
  SiteRecord& second = block->sites[1];
  second.name[0] = u'S';
  second.url[0] = u'h';
  second.login[0] = 'L';
  second.password[0] = 'P';
  second.drive[0] = 'X';
  second.flags = 0x80;
  second.refreshMinutes = 5;
  second.ignoreCertificateWarning = 1;
  block->proxyPort = 3128;
  block->sid[0] = u'S';
  block->windowMessage = 0xC123;
  const auto* bytes = reinterpret_cast<const uint8_t*>(block.get());
  const size_t base = 1396;
  EXPECT_EQ(bytes[base + 8], 'S');
  EXPECT_EQ(bytes[base + 134], 'h');
  EXPECT_EQ(bytes[base + 654], 'L');
  EXPECT_EQ(bytes[base + 714], 'P');
  EXPECT_EQ(bytes[base + 774], 'X');
  EXPECT_EQ(bytes[base + 776], 0x80);
  EXPECT_EQ(bytes[base + 804], 5);
  EXPECT_EQ(bytes[base + 808], 1);
  EXPECT_EQ(bytes[36596] | bytes[36597] << 8, 3128);
  EXPECT_EQ(bytes[37400], 'S');
  EXPECT_EQ(bytes[39060] | bytes[39061] << 8, 0xC123);
}

}  // namespace
}  // namespace hvm
