// The answers the driver gives without the agent: volume figures, local
// information classes, file-system controls and the directory query text.
#include <gtest/gtest.h>

#include <cstring>

#include "agent/service/ntstatus.h"
#include "driver/fixed_answers.h"
#include "driver/status_errno.h"

namespace hvm::driver {
namespace {

uint32_t Word(const LocalAnswer& answer, size_t offset) {
  uint32_t value;
  memcpy(&value, answer.buffer.data() + offset, 4);
  return value;
}
uint64_t Quad(const LocalAnswer& answer, size_t offset) {
  uint64_t value;
  memcpy(&value, answer.buffer.data() + offset, 8);
  return value;
}
std::u16string WideAt(const LocalAnswer& answer, size_t offset, size_t bytes) {
  std::u16string text(bytes / 2, u'\0');
  memcpy(text.data(), answer.buffer.data() + offset, bytes);
  return text;
}

TEST(VolumeQueries, SizesComeFromTheConnectionOrTheDefaults) {
  auto sized = QueryVolume(3, 24, u"\\QUENLODE\\docs\\a", 100, 50);
  EXPECT_EQ(sized.status, STATUS_SUCCESS);
  EXPECT_EQ(sized.information, 24u);
  EXPECT_EQ(Quad(sized, 0), 150u);
  EXPECT_EQ(Quad(sized, 8), 50u);
  EXPECT_EQ(Word(sized, 16), 8u);
  EXPECT_EQ(Word(sized, 20), 512u);
  auto defaults = QueryVolume(7, 32, u"", 0, 0);  // the control device
  EXPECT_EQ(Quad(defaults, 0), 1000000u);
  EXPECT_EQ(Quad(defaults, 8), 500000u);
  EXPECT_EQ(Quad(defaults, 16), 500000u);
  EXPECT_EQ(QueryVolume(3, 23, u"", 0, 0).status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(QueryVolume(3, 23, u"", 0, 0).information, 0u);
  auto device = QueryVolume(4, 8, u"", 0, 0);
  EXPECT_EQ(Word(device, 0), 7u);
  EXPECT_EQ(Word(device, 4), 0x10u);
  EXPECT_EQ(QueryVolume(2, 100, u"", 0, 0).status, STATUS_INVALID_PARAMETER);
}

TEST(VolumeQueries, AttributeNameAndLabelShrinkWithTheBuffer) {
  auto attributes = QueryVolume(5, 22, u"\\QUENLODE\\docs", 0, 0);
  EXPECT_EQ(attributes.status, STATUS_SUCCESS);
  EXPECT_EQ(Word(attributes, 0), 3u);
  EXPECT_EQ(Word(attributes, 4), 254u);
  EXPECT_EQ(Word(attributes, 8), 8u);
  EXPECT_EQ(WideAt(attributes, 12, 8), u"TARN");
  auto cut = QueryVolume(5, 20, u"\\QUENLODE\\docs", 0, 0);
  EXPECT_EQ(cut.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(cut.information, 20u);
  EXPECT_EQ(Word(cut, 8), 6u);
  EXPECT_EQ(WideAt(cut, 12, 6), u"TAR");
  auto tooSmall = QueryVolume(5, 10, u"\\QUENLODE\\docs", 0, 0);
  EXPECT_EQ(tooSmall.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(tooSmall.information, 0u);

  auto label = QueryVolume(1, 64, u"\\QUENLODE\\docs\\a\\b.txt", 0, 0);
  EXPECT_EQ(label.status, STATUS_SUCCESS);
  EXPECT_EQ(label.information, 30u);
  EXPECT_EQ(Word(label, 8), 0x19720318u);
  EXPECT_EQ(Word(label, 12), 8u);
  EXPECT_EQ(WideAt(label, 18, 8), u"docs");
  auto shortName = QueryVolume(1, 64, u"\\Q", 0, 0);  // no label, never a negative length
  EXPECT_EQ(Word(shortName, 12), 0u);
}

TEST(InformationQueries, LocalClassesAndTheNameQuery) {
  auto name = QueryInformationLocally(9, 64, u"\\QUENLODE\\docs\\a\\b.txt");
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(name->status, STATUS_SUCCESS);
  EXPECT_EQ(name->information, 16u);
  EXPECT_EQ(Word(*name, 0), 10u);
  EXPECT_EQ(WideAt(*name, 4, 10), u"b.txt");
  auto tight = QueryInformationLocally(9, 15, u"\\QUENLODE\\docs\\a\\b.txt");
  EXPECT_EQ(tight->status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(tight->information, 15u);
  EXPECT_EQ(Word(*tight, 0), 0u);  // nothing filled
  for (uint32_t refused : {6u, 14u, 22u, 28u})
    EXPECT_EQ(QueryInformationLocally(refused, 64, u"\\QUENLODE\\d\\x")->status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(QueryInformationLocally(7, 4, u"\\QUENLODE\\d\\x")->information, 4u);
  EXPECT_FALSE(QueryInformationLocally(34, 56, u"\\QUENLODE\\d\\x").has_value());  // the agent answers
  auto device = QueryInformationLocally(34, 12, u"");
  EXPECT_EQ(device->information, 12u);
}

TEST(ControlRequests, OplocksRefusedMountQueryAnsweredLocksAlwaysSucceed) {
  for (uint32_t code : {0x90000u, 0x90004u, 0x90008u, 0x9000Cu, 0x90010u, 0x90014u, 0x90050u, 0x9005Cu})
    EXPECT_EQ(FileSystemControl(0, code), STATUS_OPLOCK_NOT_GRANTED) << std::hex << code;
  EXPECT_EQ(FileSystemControl(0, 0x90028), STATUS_SUCCESS);
  EXPECT_EQ(FileSystemControl(0, 0x90018), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(FileSystemControl(1, 0x90028), STATUS_INVALID_DEVICE_REQUEST);  // mount, verify ...
  EXPECT_EQ(DirectoryControlMinor(1), STATUS_SUCCESS);
  EXPECT_EQ(DirectoryControlMinor(2), STATUS_NOT_IMPLEMENTED);  // change notification
  EXPECT_EQ(LockRequest().status, STATUS_SUCCESS);
  EXPECT_EQ(DummyRequest(7, 0).information, 0u);
}

TEST(ControlRequests, DirectoryQueryTextCarriesThePatternAfterAStar) {
  EXPECT_EQ(DirectoryQueryText(u"\\QUENLODE\\docs\\a", u"*.txt"), u"\\QUENLODE\\docs\\a**.txt");
  EXPECT_EQ(DirectoryQueryText(u"\\QUENLODE\\docs\\a", u"*"), u"\\QUENLODE\\docs\\a");
  EXPECT_EQ(DirectoryQueryText(u"\\QUENLODE\\docs\\a", u""), u"\\QUENLODE\\docs\\a");
}

}  // namespace
}  // namespace hvm::driver
