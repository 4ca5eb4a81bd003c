#include "platform/common/mobile_device_loader.h"

#include <gtest/gtest.h>

#include "runtime/testing/build_paths.h"

using namespace lumivane;

TEST(FrameworkErrorText, FormatsCodesAsUnsignedUpperCaseHex) {
    Log log = Log::capturing();
    auto api = MobileDevice::open(simulatedProviderPath(), log);
    ASSERT_TRUE(api);
    EXPECT_EQ(api->frameworkErrorText(255), "error (0xFF)");
    EXPECT_EQ(api->frameworkErrorText(0), "kAMDSuccess (0x0)");
    EXPECT_EQ(api->frameworkErrorText(-1), "error (0xFFFFFFFF)");
    EXPECT_EQ(api->frameworkErrorText(static_cast<std::int32_t>(0xE8000084)),
              "kAMDDeviceDisconnectedError (0xE8000084)");
    EXPECT_EQ(api->afcErrorText(12), "Operation timed out");
    EXPECT_EQ(api->afcErrorText(-3), "AFC error -3");
}
