// Serial sequences: the counter, its end, the file, its lock.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "framework/ProgramReport.h"
#include "framework/SerialProgram.h"
#include "framework/SerialSequence.h"

namespace fs = std::filesystem;
using namespace serialseq;

namespace {

fs::path FreshDir(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("brevane-seq-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string Slurp(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// The counter is the trailing digits, the width stays, the end is refused;
// skipped, returned, failed and given serials go as they should.
TEST(SerialSequence, CountsKeepsWidthAndRefusesToWrap) {
    std::string error;
    EXPECT_FALSE(ParseCounter("TK1A", error));
    EXPECT_NE(error.find("does not end in decimal digits"), std::string::npos) << error;
    EXPECT_FALSE(ParseCounter("X1234567890123456789", error));  // 19 digits
    const auto c = ParseCounter("TK1A000100", error);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->prefix, "TK1A");
    EXPECT_EQ(c->width, 6u);
    EXPECT_EQ(SerialText(*c, 101), "TK1A000101");
    EXPECT_EQ(SerialsLeft(*c), 999900u);
    EXPECT_EQ(SerialsLeft(*ParseCounter("9", error)), 1u);

    auto seq = Sequence::InMemory("TK1A000100", error);
    ASSERT_TRUE(seq);
    // The second serial is held by a module: passed over and said.
    const std::set<std::string> inUse = {"TK1A000101"};
    auto preview = seq->Preview(3, inUse, error);
    ASSERT_EQ(preview.size(), 3u);
    EXPECT_EQ(*preview[1].serial, "TK1A000102");
    EXPECT_EQ(preview[1].skipped, std::vector<std::string>{"TK1A000101"});
    auto a = seq->Take(inUse);
    auto b = seq->Take(inUse);
    ASSERT_TRUE(a.serial && b.serial);
    EXPECT_EQ(*a.serial, "TK1A000100");
    EXPECT_EQ(*b.serial, "TK1A000102");
    EXPECT_EQ(b.skipped, std::vector<std::string>{"TK1A000101"});
    // Not written: handed out again first. Failed: never again.
    EXPECT_TRUE(seq->Settle(*a.serial, Outcome::NotWritten, error)) << error;
    EXPECT_TRUE(seq->Settle(*b.serial, Outcome::Failed, error)) << error;
    EXPECT_FALSE(seq->Settle(*b.serial, Outcome::Verified, error));  // no longer held
    auto again = seq->Take(inUse);
    EXPECT_EQ(*again.serial, "TK1A000100");
    EXPECT_TRUE(seq->Settle(*again.serial, Outcome::Verified, error));
    EXPECT_EQ(*seq->Take({}).serial, "TK1A000103");
    auto st = seq->Current(error);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->given, std::set<std::string>{"TK1A000100"});
    EXPECT_EQ(st->failed, std::set<std::string>{"TK1A000102"});

    // The last number of the width is given, then refused, never wrapped.
    auto end = Sequence::InMemory("SN98", error);
    EXPECT_EQ(*end->Take({}).serial, "SN98");
    EXPECT_EQ(*end->Take({}).serial, "SN99");
    auto over = end->Take({});
    EXPECT_FALSE(over.serial);
    EXPECT_NE(over.error.find("no serial left: SN99 is the last of its 2 digits"), std::string::npos) << over.error;

    // The file text round-trips; a damaged one says where.
    const std::string text = FormatState(*st);
    auto back = ParseState(text, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(FormatState(*back), text);
    EXPECT_FALSE(ParseState(text + "given TK1A000100\n", error));
    EXPECT_NE(error.find("listed twice"), std::string::npos) << error;
    EXPECT_FALSE(ParseState(text + "given TK1A000777\n", error));  // never taken
    EXPECT_FALSE(ParseState("garbage\n", error));
    EXPECT_FALSE(ParseState("", error));
    EXPECT_EQ(programreport::CsvField("a,\"b\""), "\"a,\"\"b\"\"\"");

    // A serial fits when bytes 76 to its zero byte are all written.
    using serialprogram::SerialFitProblem;
    EXPECT_EQ(SerialFitProblem({{0, 256}}, "TK1A000100"), "");
    EXPECT_EQ(SerialFitProblem({{0, 80}, {80, 87}}, "TK1A000100"), "");
    EXPECT_NE(SerialFitProblem({{0, 86}}, "TK1A000100").find("at most 9 characters"), std::string::npos);
    EXPECT_NE(SerialFitProblem({{0, 76}, {77, 256}}, "TK1A000100").find("does not write the serial"), std::string::npos);
    EXPECT_NE(SerialFitProblem({{0, 256}}, std::string(180, 'x')).find("at most 179"), std::string::npos);
}

// A named sequence in its file: created from its start, shared by two users
// without ever giving one serial twice, and refused (clearly) when the file
// is corrupt, the lock stays held, or the lock was left by a program that is gone.
TEST(SerialSequence, FileIsSharedUnderItsLockAndRefusedWhenBroken) {
    const fs::path dir = FreshDir("file");
    std::string error;
    EXPECT_FALSE(Sequence::Open("batch", std::nullopt, error, dir));
    EXPECT_NE(error.find("there is no sequence batch"), std::string::npos) << error;
    EXPECT_FALSE(Sequence::Open("../x", std::string("A1"), error, dir));
    EXPECT_FALSE(Sequence::Open("batch", std::string("NODIGITS"), error, dir));
    EXPECT_FALSE(fs::exists(dir / "batch"));

    auto made = Sequence::Open("batch", std::string("B0000"), error, dir);
    ASSERT_TRUE(made) << error;
    EXPECT_FALSE(Sequence::Open("batch", std::string("B0100"), error, dir));  // another start
    EXPECT_NE(error.find("starts at B0000"), std::string::npos) << error;

    // Two users, each on threads of its own with its own lock descriptor.
    std::vector<std::string> got[2];
    std::thread users[2];
    for (int u = 0; u < 2; ++u)
        users[u] = std::thread([&, u] {
            std::string e;
            auto s = Sequence::Open("batch", std::nullopt, e, dir);
            for (int i = 0; s && i < 40; ++i) {
                auto t = s->Take({});
                if (!t.serial) break;
                if (s->Settle(*t.serial, Outcome::Verified, e)) got[u].push_back(*t.serial);
            }
        });
    for (auto& t : users) t.join();
    std::set<std::string> all(got[0].begin(), got[0].end());
    all.insert(got[1].begin(), got[1].end());
    EXPECT_EQ(got[0].size() + got[1].size(), 80u);
    EXPECT_EQ(all.size(), 80u);  // disjoint
    auto st = made->Current(error);
    ASSERT_TRUE(st) << error;
    EXPECT_EQ(st->given, all);
    EXPECT_EQ(st->taken, 80u);

    // A lock held by a live program: waited for within the limit, then refused.
    {
        const int fd = open((dir / "batch.lock").c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(flock(fd, LOCK_EX), 0);
        made->SetLockWait(200);
        auto t = made->Take({});
        EXPECT_FALSE(t.serial);
        EXPECT_NE(t.error.find("stays locked"), std::string::npos) << t.error;
        close(fd);
    }
    // A lock file that still names a program that is gone.
    std::ofstream(dir / "batch.lock") << "999999999@" << [] {
        char h[256] = {};
        gethostname(h, sizeof h - 1);
        return std::string(h);
    }() << "\n";
    auto stale = made->Take({});
    EXPECT_FALSE(stale.serial);
    EXPECT_NE(stale.error.find("stale lock"), std::string::npos) << stale.error;
    EXPECT_NE(stale.error.find("process 999999999"), std::string::npos) << stale.error;
    EXPECT_NE(stale.error.find("is gone"), std::string::npos) << stale.error;
    EXPECT_FALSE(Sequence::Open("batch", std::nullopt, error, dir));
    fs::remove(dir / "batch.lock");

    // A corrupt file: refused, and left as it is.
    std::ofstream(dir / "batch", std::ios::app) << "given ZZZ\n";
    const std::string corrupt = Slurp(dir / "batch");
    EXPECT_FALSE(Sequence::Open("batch", std::nullopt, error, dir));
    EXPECT_NE(error.find("is corrupt"), std::string::npos) << error;
    auto t = made->Take({});
    EXPECT_FALSE(t.serial);
    EXPECT_NE(t.error.find("is corrupt (line "), std::string::npos) << t.error;
    EXPECT_EQ(Slurp(dir / "batch"), corrupt);
    fs::remove_all(dir);
}
