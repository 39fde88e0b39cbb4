#include <gtest/gtest.h>

#include "framework/ConnDev.h"

using namespace conndev;

TEST(ConnDev, CleansBlanksAndLabels) {
    auto r = Clean(" 192.168.1.10 - Gostel chassis");
    EXPECT_EQ(r.verdict, Verdict::Ok);
    EXPECT_EQ(r.address, "192.168.1.10");
    EXPECT_EQ(Clean("010.001.000.255").address, "010.001.000.255");
}

TEST(ConnDev, RefusesMalformedAddresses) {
    for (const char* bad : {"192.168.1", "1.2.3.4.5", "1..2.3", "256.1.1.1", "1.2.3.", ".1.2.3"})
        EXPECT_EQ(Clean(bad).verdict, Verdict::Invalid) << bad;
    // A field not starting with a digit counts as 0 and is accepted.
    EXPECT_EQ(Clean("a.1.1.1").verdict, Verdict::Ok);
    EXPECT_EQ(Clean("99999999999999999999.1.1.1").verdict, Verdict::Invalid);
}

TEST(ConnDev, EmptyEntries) {
    EXPECT_EQ(Clean("-").verdict, Verdict::Empty);
    EXPECT_EQ(Clean("    ").verdict, Verdict::Empty);
    EXPECT_EQ(Clean("").verdict, Verdict::Empty);
}

TEST(ConnDev, InitialChoiceIsAlphabeticallyFirst) {
    EXPECT_EQ(InitialChoice({"10.0.0.9", "10.0.0.10"}), "10.0.0.10");
    EXPECT_EQ(InitialChoice({}), "");
}
