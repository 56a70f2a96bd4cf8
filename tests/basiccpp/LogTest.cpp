// The log sink and ReportAssert.
#include "basiccpp/Log.h"

#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

namespace {

using Reports = WithLog;

TEST_F(Reports, FailedCheckReachesTheInstalledLog) {
    ReportAssert(0, "..\\plugin-lexigrove", 293);
    ASSERT_EQ(log.asserts.size(), 1u);
    EXPECT_EQ(log.asserts[0].message, u"Assert Failed!!!");
    EXPECT_EQ(log.asserts[0].file, u"..\\plugin-lexigrove");
    EXPECT_EQ(log.asserts[0].line, 293);
    EXPECT_TRUE(log.entries.empty());
}

TEST_F(Reports, CheckThatHeldReportsNothing) {
    ReportAssert(1, ".\\BasicString", 1472);
    ReportAssert(-5, ".\\BasicString", 1472);
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(Reports, ReplacedOrRemovedLogGetsNothingMore) {
    EXPECT_EQ(basiccpp::GetLog(), &log);
    RecordingLog second;
    basiccpp::SetLog(&second);
    ReportAssert(0, "basiccpp\\BasicString", 382);
    EXPECT_TRUE(log.asserts.empty());
    ASSERT_EQ(second.asserts.size(), 1u);
    EXPECT_EQ(second.asserts[0].file, u"basiccpp\\BasicString");

    basiccpp::SetLog(nullptr);
    EXPECT_EQ(basiccpp::GetLog(), nullptr);
    ReportAssert(0, "..\\plugin-lexigrove", 293); // dropped
    EXPECT_EQ(second.asserts.size(), 1u);
}

} // namespace
