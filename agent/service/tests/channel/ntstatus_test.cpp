#include <gtest/gtest.h>

#include <string>

#include "agent/service/ntstatus.h"

namespace hvm {
namespace {

std::u16string Name(NTSTATUS s) { return NtStatusName(s); }
std::u16string Op(uint32_t major) { return MajorFunctionName(major); }

TEST(StatusNames, KnownValuesAcrossTheTableAndFallback) {
  // Both ends and the middle of the sorted table, and the agent's private value.
  EXPECT_EQ(Name(STATUS_SUCCESS), u"STATUS_SUCCESS");
  EXPECT_EQ(Name(STATUS_PENDING), u"STATUS_PENDING");
  EXPECT_EQ(Name(STATUS_OBJECT_NAME_EXISTS), u"STATUS_OBJECT_NAME_EXISTS");
  EXPECT_EQ(Name(STATUS_BUFFER_OVERFLOW), u"STATUS_BUFFER_OVERFLOW");
  EXPECT_EQ(Name(STATUS_OBJECT_NAME_NOT_FOUND), u"STATUS_OBJECT_NAME_NOT_FOUND");
  EXPECT_EQ(Name(STATUS_FILE_LOCK_CONFLICT), u"STATUS_FILE_LOCK_CONFLICT");
  EXPECT_EQ(Name(STATUS_FILE_CORRUPT_ERROR), u"STATUS_FILE_CORRUPT_ERROR");
  EXPECT_EQ(Name(STATUS_FILE_DELETED), u"STATUS_FILE_DELETED");
  EXPECT_EQ(Name(STATUS_NO_FREE_USER_SLOT), u"STATUS_NO_FREE_USER_SLOT");
  EXPECT_EQ(Name(0xC0DEC0DE), u"NTSTATSTR_UNKNOWN_STATUS");
  EXPECT_EQ(Name(0x00000001), u"NTSTATSTR_UNKNOWN_STATUS");
  EXPECT_EQ(Name(0xFFFFFFFF), u"NTSTATSTR_UNKNOWN_STATUS");
}

TEST(OperationNames, TableOrderAndFallback) {
  EXPECT_EQ(Op(0), u"MJ_CREATE");
  EXPECT_EQ(Op(5), u"QUERY_INFORMATION");
  EXPECT_EQ(Op(7), u"MJ_RY_EA");
  EXPECT_EQ(Op(15), u"MJ_INTERNAL_DEVICE_CONTROL");
  EXPECT_EQ(Op(18), u"MJ_CLEANUP");
  EXPECT_EQ(Op(22), u"MJ_POWER");
  EXPECT_EQ(Op(27), u"MJ_PNP");
  EXPECT_EQ(Op(28), u"MJ_UNKNOWN");
  EXPECT_EQ(Op(0xFFFFFFFF), u"MJ_UNKNOWN");
}

}  // namespace
}  // namespace hvm
