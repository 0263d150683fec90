// Finding the mount's device number in /proc/self/mountinfo, whose read-ahead
// window the driver widens.
#include <gtest/gtest.h>

#include "driver/fuse_session.h"

namespace hvm::driver {
namespace {

constexpr const char* kMountinfo =
    "22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "40 22 0:35 / /run/halvenmoor/mnt rw,nosuid,nodev - fuse.quenlode quenlode rw,user_id=0\n"
    "41 22 0:36 / /tmp/a\\040b/mnt rw - fuse.quenlode quenlode rw\n"
    "42 40 0:37 / /run/halvenmoor/mnt rw - fuse.quenlode quenlode rw\n";

TEST(ReadAheadDevice, TheMountOnTopWinsAndEscapesAreRead) {
  // Mounted twice at one place: the later line is the mount that serves.
  EXPECT_EQ(MountDeviceNumber(kMountinfo, "/run/halvenmoor/mnt"), "0:37");
  EXPECT_EQ(MountDeviceNumber(kMountinfo, "/tmp/a b/mnt"), "0:36");
  EXPECT_EQ(MountDeviceNumber(kMountinfo, "/"), "254:1");
}

TEST(ReadAheadDevice, NothingForAnUnknownPointOrBrokenLines) {
  EXPECT_EQ(MountDeviceNumber(kMountinfo, "/run/halvenmoor"), "");
  EXPECT_EQ(MountDeviceNumber(kMountinfo, "/tmp/a\\040b/mnt"), "");
  EXPECT_EQ(MountDeviceNumber("", "/x"), "");
  EXPECT_EQ(MountDeviceNumber("1 2 0:9", "/x"), "");
  // A device field that is no number pair never becomes part of a sysfs path.
  EXPECT_EQ(MountDeviceNumber("1 2 ../../x / /x rw - fuse q rw\n", "/x"), "");
  EXPECT_EQ(MountDeviceNumber("1 2 0:9 / /x\\0 rw\n", "/x\\0"), "0:9");
}

TEST(FuseConnection, NamedByTheKernelsDeviceNumber) {
  EXPECT_EQ(FuseConnectionName("0:41"), "41");
  EXPECT_EQ(FuseConnectionName("8:1"), std::to_string((8u << 20) | 1));
  EXPECT_EQ(FuseConnectionName("4095:1048575"), std::to_string(0xFFFFFFFFu));
  // Anything else never becomes part of a sysfs path.
  for (const char* text : {"", ":", "0:", ":41", "41", "0:41:1", "0:4a", "-1:41", "0:-41", "4096:1",
                           "0:1048576", "0:99999999999999999999999", "../0:1", "0:41/abort"})
    EXPECT_EQ(FuseConnectionName(text), "") << text;
}

}  // namespace
}  // namespace hvm::driver
