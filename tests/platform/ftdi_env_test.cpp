// ftdi_env_test.cpp - the backend and device list the FTDI layer takes from the
// environment at first use. Registered several times with different
// environments; KX_EXPECT_BACKEND and KX_EXPECT_DEVICES say what each expects.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ftdi.h"

namespace {

TEST(FtdiEnvironment, FirstUseFollowsTheEnvironment)
{
    const char *backend = std::getenv("KX_EXPECT_BACKEND");
    const char *devices = std::getenv("KX_EXPECT_DEVICES");
    ASSERT_TRUE(backend && devices);
    uint32_t n = 99;
    ASSERT_EQ(ftdi::FtCountDevices(&n), ftdi::FT_OK);
    EXPECT_STREQ(ftdi::FtBackendName(), backend);
    std::string list;
    for (uint32_t i = 0; i < n; ++i) {
        char d[ftdi::kTextSize], s[ftdi::kTextSize];
        ASSERT_EQ(ftdi::FtGetDescriptionByIndex(i, d), ftdi::FT_OK);
        ASSERT_EQ(ftdi::FtGetSerialByIndex(i, s), ftdi::FT_OK);
        list += (i ? "," : "") + std::string(d) + "/" + s;
    }
    EXPECT_EQ(list, devices);
    if (std::string(backend) == "none") {
        ftdi::FtHandle h = nullptr;
        EXPECT_NE(ftdi::FtOpenBySerial("SIM0001", &h), ftdi::FT_OK);
        uint32_t a, b, c;
        EXPECT_NE(ftdi::FtQueryStatus(h, &a, &b, &c), ftdi::FT_OK);
    }
}

}   // namespace
