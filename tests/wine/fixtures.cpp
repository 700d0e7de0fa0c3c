#include "fixtures.h"

void DriverTest::SetUp() {
    ASSERT_EQ(GetModuleHandleW(driverPath().c_str()), nullptr)
        << "the driver is still loaded from an earlier test, so its shared state is not fresh";
    ASSERT_TRUE(driver.load());
    takeNotifications();
}

void DriverTest::TearDown() {
    driver.unload();
    EXPECT_EQ(GetModuleHandleW(driverPath().c_str()), nullptr)
        << "CloseDriver left the driver module loaded";
}

void WireTest::SetUp() {
    DriverTest::SetUp();
    if (!HasFatalFailure()) {
        ASSERT_TRUE(instrument.open());
    }
}
