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

}  // namespace
}  // namespace hvm::driver
