// Serial port numbering and the Yaltro console protocol, without a port.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <chrono>

#include "families/net/YaltroConsole.h"
#include "platform/SerialPort.h"

using platform::TtyListing;

TEST(SerialPorts, NumberedInKindOrderWithGapsAndPlaceholdersLeftOut) {
    const std::vector<TtyListing> listing = {
        {"ttyACM0", true, -1}, {"ttyUSB3", true, -1}, {"ttyS0", true, 0},  {"ttyS1", true, 4},
        {"ttyS10", true, 4},   {"ttyS2", true, 4},    {"tty0", false, -1}, {"ttyUSB0", true, -1},
        {"ttyUSB1", false, -1}, {"ttyS3", true, -1},  {"ttyAMA0", true, -1}};
    const auto ports = platform::MapSerialPorts(listing);
    std::vector<std::string> got;
    for (const auto& p : ports) got.push_back(p.comName + "=" + p.devicePath);
    EXPECT_EQ(got, (std::vector<std::string>{"COM1=/dev/ttyS1", "COM2=/dev/ttyS2", "COM3=/dev/ttyS10",
                                             "COM4=/dev/ttyUSB0", "COM5=/dev/ttyUSB3", "COM6=/dev/ttyACM0"}));
    std::vector<TtyListing> many;
    for (int i = 0; i < 14; ++i) many.push_back({"ttyUSB" + std::to_string(i), true, -1});
    const auto ten = platform::MapSerialPorts(many);
    ASSERT_EQ(ten.size(), 10u);
    EXPECT_EQ(ten.back().comName, "COM10");
    EXPECT_EQ(ten.back().devicePath, "/dev/ttyUSB9");
}

TEST(SerialPorts, SettingsTexts) {
    auto s = platform::ParseSerialSettings("38400", "None", "8", "1");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->baud, 38400u);
    EXPECT_EQ(s->parity, platform::Parity::None);
    EXPECT_FALSE(platform::ParseSerialSettings("38400", "none", "8", "1"));
    EXPECT_FALSE(platform::ParseSerialSettings("38401", "None", "8", "1"));
}

TEST(YaltroConsole, CommandsAndWordSets) {
    EXPECT_EQ(yaltro::ReadCommand(16), "eeprom read 16\r");
    EXPECT_EQ(yaltro::WriteCommand(77, 0xAB), "eeprom write 77 00AB\r");
    EXPECT_EQ(yaltro::WriteCommand(98, 0xbeef), "eeprom write 98 BEEF\r");
    const auto& read = yaltro::ReadWords();
    const auto& written = yaltro::WrittenWords();
    EXPECT_EQ(read.size(), 38u + 22u);
    EXPECT_EQ(written.size(), 38u + 20u);
    for (int w = 0; w < 128; ++w) {
        const bool inRead = std::find(read.begin(), read.end(), w) != read.end();
        const bool inWritten = std::find(written.begin(), written.end(), w) != written.end();
        EXPECT_EQ(inRead, (w >= 16 && w <= 53) || (w >= 77 && w <= 98)) << w;
        EXPECT_EQ(inWritten, inRead && w != 92 && w != 93) << w;
    }
}

TEST(YaltroConsole, RepliesParsedAfterBlanksAreRemoved) {
    auto r = yaltro::ParseWordReply("eeprom read 16\r\nAddr= 016  value= 4B59\r\nYaltro>");
    EXPECT_EQ(r.kind, yaltro::WordReply::Kind::Word);
    EXPECT_EQ(r.address, 16);
    EXPECT_EQ(r.value, 0x4B59);
    r = yaltro::ParseWordReply("Addr = 9 value = 00ab");
    EXPECT_EQ(r.address, 9);
    EXPECT_EQ(r.value, 0xAB);
    // Missing fields, or fields cut short by the end of the text, parse as nothing.
    EXPECT_EQ(yaltro::ParseWordReply("value= 1234 Yaltro>").kind, yaltro::WordReply::Kind::Malformed);
    EXPECT_EQ(yaltro::ParseWordReply("Addr= 016 Yaltro>").kind, yaltro::WordReply::Kind::Malformed);
    EXPECT_EQ(yaltro::ParseWordReply("Addr= 016 value= 12").kind, yaltro::WordReply::Kind::Malformed);
    EXPECT_EQ(yaltro::ParseWordReply("Addr=").kind, yaltro::WordReply::Kind::Malformed);
    EXPECT_EQ(yaltro::ParseWordReply("").kind, yaltro::WordReply::Kind::Malformed);
}

TEST(YaltroConsole, ScreensAndLayout) {
    EXPECT_EQ(yaltro::Classify("\r\nuser name:"), yaltro::ConsoleScreen::Login);
    EXPECT_EQ(yaltro::Classify("user password:"), yaltro::ConsoleScreen::Login);
    EXPECT_EQ(yaltro::Classify("** Console Program **"), yaltro::ConsoleScreen::ConsoleProgram);
    EXPECT_EQ(yaltro::Classify("Yaltro>"), yaltro::ConsoleScreen::Prompt);
    EXPECT_EQ(yaltro::Classify("garbage"), yaltro::ConsoleScreen::Nothing);

    std::array<std::uint8_t, 256> image{};
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i);
    const auto original = image;
    yaltro::ConsoleToImage(image);
    EXPECT_EQ(image[32], 35);
    EXPECT_EQ(image[35], 32);
    EXPECT_EQ(image[36], 37);
    EXPECT_EQ(image[38], 39);
    EXPECT_EQ(image[76], 76);  // text stays in order
    const std::uint32_t sum = yaltro::WordSum(image);
    EXPECT_EQ(image[184] | (image[185] << 8) | (image[186] << 16) | (static_cast<std::uint32_t>(image[187]) << 24), sum);
    yaltro::ImageToConsole(image);
    for (int b : {32, 33, 34, 35, 36, 37, 38, 39, 76, 100}) EXPECT_EQ(image[static_cast<std::size_t>(b)], original[static_cast<std::size_t>(b)]);
}

// The port is opened exclusive (TIOCEXCL). The flag belongs to the terminal,
// so every way of closing it gives it up again (TIOCNXCL): otherwise, while
// another program still holds the port, every later open is refused ("busy").
// A terminal made exclusive by someone else keeps that owner's flag. A real
// pseudo-terminal, since the lab's tty emulation swallows the requests.
TEST(SerialPorts, ExclusiveUseIsGivenUpOnEveryCloseAndAHangUpEndsThePort) {
    int master = -1, other = -1;  // `other`: another program's open of the port
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &other, name, nullptr, nullptr), 0);
    auto exclusive = [&] {
        int flag = -1;
        return ::ioctl(other, TIOCGEXCL, &flag) == 0 ? flag : -1;
    };
    const platform::SerialSettings settings;
    ASSERT_EQ(exclusive(), 0);
    {
        platform::SerialPort port;
        ASSERT_TRUE(port.Open(name, settings)) << port.Error();
        EXPECT_EQ(exclusive(), 1);
        port.Close();
        EXPECT_EQ(exclusive(), 0) << "Close";
        ASSERT_TRUE(port.Open(name, settings)) << port.Error();
        EXPECT_EQ(exclusive(), 1);
        ASSERT_TRUE(port.Open(name, settings)) << "opened again while open";
        EXPECT_EQ(exclusive(), 1);
        platform::SerialSettings bad;
        bad.baud = 12345;
        EXPECT_FALSE(port.Open(name, bad));
        EXPECT_EQ(exclusive(), 0) << "a failed open";
        ASSERT_TRUE(port.Open(name, settings)) << port.Error();
    }
    EXPECT_EQ(exclusive(), 0) << "the destructor";
    ASSERT_EQ(::ioctl(other, TIOCEXCL), 0);
    {
        platform::SerialPort port;
        port.Open(name, settings);  // refused (EBUSY) unless privileged
    }
    EXPECT_EQ(exclusive(), 1) << "another owner's flag";
    ::ioctl(other, TIOCNXCL);

    // The far side goes away: the port hangs up, a read returns 0 at once and
    // the port says so; writes fail from then on.
    platform::SerialPort port;
    ASSERT_TRUE(port.Open(name, settings)) << port.Error();
    const std::uint8_t hello[] = {'h', 'i'};
    EXPECT_TRUE(port.Write(hello, sizeof hello, 1000));
    EXPECT_FALSE(port.HungUp());
    ::close(master);
    std::array<std::uint8_t, 64> buffer{};
    const auto start = std::chrono::steady_clock::now();
    while (!port.HungUp() && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
        port.Read(buffer.data(), buffer.size(), 1000);
    EXPECT_TRUE(port.HungUp());
    EXPECT_EQ(port.Read(buffer.data(), buffer.size(), 1000), 0u);
    EXPECT_FALSE(port.Write(hello, sizeof hello, 1000));
    port.Close();
    ::close(other);
}

TEST(YaltroConsole, LoginAndConsoleProgramOnOneScreenAreBothSeen) {
    const auto both = yaltro::Screens("** Console Program **\r\nuser name:");
    EXPECT_TRUE(both.login);
    EXPECT_TRUE(both.consoleProgram);
    EXPECT_TRUE(yaltro::Screens("user password:").login);
    EXPECT_FALSE(yaltro::Screens("user password:").consoleProgram);
    EXPECT_FALSE(yaltro::Screens("Yaltro>").login);
    EXPECT_FALSE(yaltro::Screens("Yaltro>").consoleProgram);
}
