#include <gtest/gtest.h>

#include "framework/ConnDev.h"

using namespace conndev;

TEST(ConnDev, CleansBlanksAndLabels) {
    auto r = Clean(" 192.168.1.10 - Gostel chassis");
    EXPECT_EQ(r.verdict, Verdict::Ok);
    EXPECT_EQ(r.address, "192.168.1.10");
    // Leading zeros go, so that the address reaches the socket layer intact.
    EXPECT_EQ(Clean("010.001.000.255").verdict, Verdict::Ok);
    EXPECT_EQ(Clean("010.001.000.255").address, "10.1.0.255");
    EXPECT_EQ(Clean("0.00.000.0000").address, "0.0.0.0");
}

TEST(ConnDev, RefusesMalformedAddresses) {
    for (const char* bad : {"192.168.1", "1.2.3.4.5", "1..2.3", "256.1.1.1", "1.2.3.", ".1.2.3"})
        EXPECT_EQ(Clean(bad).verdict, Verdict::Invalid) << bad;
    // Anything but digits in a field is refused, wherever it stands.
    for (const char* bad : {"a.1.1.1", "1.2.3.4abc", "1.2.+3.4", "1.2.3.0x4"})
        EXPECT_EQ(Clean(bad).verdict, Verdict::Invalid) << bad;
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
