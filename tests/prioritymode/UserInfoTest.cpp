#include <gtest/gtest.h>

#include "TestSettings.h"
#include "prioritymode/UserInfo.h"

namespace quellbox {
namespace {

TEST(UserInfo, CountingPacketsAddsToBothWindowsAndWraps) {
    UserInfo info;
    info.setLastPacketSize(1500);
    info.setLastPacketSize(1500);
    EXPECT_EQ(info.totalDownloadSize(), 3000);
    EXPECT_EQ(info.instantaneousRateTotalPacketsSize(), 3000);
    EXPECT_EQ(info.valueForKey("lastPacketSize"), PlistValue(1500));
    info.setLastPacketSize(0);
    EXPECT_EQ(info.totalDownloadSize(), 3000);
    EXPECT_EQ(info.instantaneousRateTotalPacketsSize(), 3000);

    info.setTotalDownloadSize(2147483000);
    info.setLastPacketSize(1000);  // past the largest int32: taken modulo 2^32
    EXPECT_EQ(info.totalDownloadSize(), -2147483296);
}

}  // namespace
}  // namespace quellbox
