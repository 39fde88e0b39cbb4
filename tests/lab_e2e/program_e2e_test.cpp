// brevane-cli program end to end in the lab: serials from a sequence over
// several Tesk modules, with a serial already held, a write that fails, the
// report and the sequence file; two runs sharing one sequence.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "LabRun.h"

namespace fs = std::filesystem;

namespace {

std::string Tesk(const std::string& name, const std::string& serial, int port, const std::string& extra = "") {
    return "[device " + name + "]\nkind=mpusb\nvid=0x2403\npid=0x1688\nproduct=Quenlor Tesk-100/200\nport=" +
           std::to_string(port) + "\nprotocol=echo8\nserial=" + serial + "\n" + extra + "\n";
}

// brevane-cli in the lab with its per-user data (the sequences) in `data`.
LabRun Cli(const LabDir& lab, const fs::path& data, std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/env", "XDG_DATA_HOME=" + data.string(), CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunInLab(lab, argv);
}

std::string SerialIn(const fs::path& state) {
    const std::string image = ReadFile(state);
    if (image.size() != 256) return "(no image)";
    return std::string(image.c_str() + 76);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

std::string States(const LabDir& lab) {
    std::string all;
    for (const char* d : {"a", "b", "c", "d"}) all += ReadFile(lab.state / (std::string(d) + ".bin"));
    return all;
}

}  // namespace

// Four modules, the second holding the sequence's second serial, the third
// vanishing during its write: refusals first, then the dry run, then the run.
TEST(ProgramLab, SequenceOverFourTeskModulesWithHeldSerialAndFailedWrite) {
    LabDir lab("program-four");
    lab.WriteConfig("[lab]\nstate-dir=state\n\n" + Tesk("a", "OLDA000001", 1) + Tesk("b", "TK1A000101", 2) +
                    Tesk("c", "OLDC000003", 3, "fault=vanish\nfault-from-write=2\n") + Tesk("d", "OLDD000004", 4));
    const fs::path data = lab.path / "data";
    const fs::path seqFile = data / "brevane" / "sequences" / "batch";
    const fs::path report = lab.path / "report.csv";
    const fs::path backups = lab.path / "backups";
    // The modules get their images on first contact; make them exist first.
    ASSERT_EQ(Cli(lab, data, {"discover", "Tesk - 100"}).status, 0);
    const std::string before = States(lab);

    // Bad input: refused with status 2 and nothing written.
    struct Bad {
        std::vector<std::string> args;
        const char* says;
    };
    for (const Bad& bad : {Bad{{"--serial-from", "TK1A"}, "does not end in decimal digits"},
                           Bad{{"--serial-from", "TK98", "--count", "3"}, "holds only 2 more serials of 2 digits"},
                           Bad{{"--serial-from", std::string(175, 'x') + "00001"}, "at most 179"},
                           Bad{{"--serial-from", "TK1A000100", "--report", (lab.path / "no/such/dir.csv").string()},
                               "cannot be written"},
                           Bad{{"--sequence", "batch"}, "there is no sequence batch"}}) {
        std::vector<std::string> args = {"program", "--family", "tesk100", "--backup-dir", backups.string()};
        args.insert(args.end(), bad.args.begin(), bad.args.end());
        auto r = Cli(lab, data, args);
        EXPECT_EQ(r.status, 2) << bad.says << "\n" << r.err;
        EXPECT_NE(r.err.find(bad.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing written"), std::string::npos) << r.err;
    }

    // The plan: the held serial is skipped; nothing is written, no file made.
    auto dry = Cli(lab, data, {"program", "--json", "--dry-run", "--family", "tesk100", "--sequence", "batch",
                               "--serial-from", "TK1A000100", "--report", report.string()});
    ASSERT_EQ(dry.status, 0) << dry.out << dry.err;
    EXPECT_EQ(JsonField(dry.out, "old_serial"),
              (std::vector<std::string>{"OLDA000001", "TK1A000101", "OLDC000003", "OLDD000004"}));
    EXPECT_EQ(JsonField(dry.out, "serial"),
              (std::vector<std::string>{"TK1A000100", "TK1A000102", "TK1A000103", "TK1A000104"}));
    EXPECT_EQ(States(lab), before);
    EXPECT_FALSE(fs::exists(seqFile));
    EXPECT_FALSE(fs::exists(report));
    EXPECT_FALSE(fs::exists(backups));

    auto run = Cli(lab, data, {"program", "--json", "--family", "tesk100", "--sequence", "batch", "--serial-from",
                               "TK1A000100", "--report", report.string(), "--backup-dir", backups.string()});
    EXPECT_EQ(run.status, 1) << run.out << run.err;  // one module failed
    EXPECT_EQ(run.out.rfind("{\"ok\":false,", 0), 0u) << run.out;
    EXPECT_EQ(JsonField(run.out, "result"),
              (std::vector<std::string>{"programmed", "programmed", "failed", "programmed"}));
    EXPECT_EQ(JsonField(run.out, "serial"),
              (std::vector<std::string>{"TK1A000100", "TK1A000102", "TK1A000103", "TK1A000104"}));
    EXPECT_EQ(JsonField(run.out, "step"), std::vector<std::string>{"write"}) << run.out;
    EXPECT_NE(run.out.find("\"chunk\":2,\"chunks\":5"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("skipped TK1A000101 (held by a module of the search)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("module 3 is not where the search found it; searching again"), std::string::npos)
        << run.err;
    // The modules hold what was said.
    EXPECT_EQ(SerialIn(lab.state / "a.bin"), "TK1A000100");
    EXPECT_EQ(SerialIn(lab.state / "b.bin"), "TK1A000102");
    EXPECT_EQ(SerialIn(lab.state / "d.bin"), "TK1A000104");
    const auto backup = JsonField(run.out, "backup");
    ASSERT_EQ(backup.size(), 4u);
    EXPECT_EQ(SerialIn(backup[2]), "OLDC000003");
    // The sequence: given only what was verified; the failed one never again.
    EXPECT_EQ(ReadFile(seqFile),
              "brevane serial sequence 1\nstart TK1A000100\ntaken 5\ngiven TK1A000100\ngiven TK1A000102\n"
              "given TK1A000104\nfailed TK1A000103\n");
    // The report: the column names, then one line per module.
    const auto lines = Lines(ReadFile(report));
    ASSERT_EQ(lines.size(), 5u) << ReadFile(report);
    EXPECT_EQ(lines[0], "time,host,family,module,old serial,new serial,result,failed step,chunk,backup file,note");
    const std::vector<std::string> expect = {
        ",Tesk - 100,module 0,OLDA000001,TK1A000100,programmed,,," + backup[0] + ",",
        ",Tesk - 100,module 1,TK1A000101,TK1A000102,programmed,,," + backup[1] +
            ",skipped TK1A000101 (held by a module of the search)",
        ",Tesk - 100,module 2,OLDC000003,TK1A000103,failed,write,2 of 5," + backup[2] + ",write: chunk 2 of 5",
        // The module that left shifted the last one to index 2: found again by its serial.
        ",Tesk - 100,module 2,OLDD000004,TK1A000104,programmed,,," + backup[3] + ","};
    for (std::size_t i = 0; i < expect.size(); ++i) EXPECT_NE(lines[i + 1].find(expect[i]), std::string::npos) << lines[i + 1];

    // The next run goes on after the failed serial; the report grows.
    lab.WriteConfig("[lab]\nstate-dir=state\n\n" + Tesk("c", "OLDC000003", 3));
    auto next = Cli(lab, data, {"program", "--family", "tesk100", "--sequence", "batch", "--report", report.string(),
                                "--backup-dir", backups.string()});
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_EQ(SerialIn(lab.state / "c.bin"), "TK1A000105");
    EXPECT_EQ(Lines(ReadFile(report)).size(), 6u);

    // A damaged sequence file and a lock left by a program that is gone: refused, nothing written.
    const std::string good = ReadFile(seqFile);
    std::ofstream(seqFile, std::ios::app) << "given ELSEWHERE1\n";
    auto corrupt = Cli(lab, data, {"program", "--family", "tesk100", "--sequence", "batch"});
    EXPECT_EQ(corrupt.status, 2) << corrupt.err;
    EXPECT_NE(corrupt.err.find("is corrupt (line 9"), std::string::npos) << corrupt.err;
    std::ofstream(seqFile, std::ios::trunc) << good;
    std::ofstream(seqFile.string() + ".lock") << "999999999@" << ReadFile("/proc/sys/kernel/hostname");
    auto stale = Cli(lab, data, {"program", "--family", "tesk100", "--sequence", "batch"});
    EXPECT_EQ(stale.status, 2) << stale.err;
    EXPECT_NE(stale.err.find("stale lock"), std::string::npos) << stale.err;
    EXPECT_EQ(ReadFile(seqFile), good);
    EXPECT_EQ(SerialIn(lab.state / "c.bin"), "TK1A000105");
}

// Two runs on one sequence at the same time, each over modules of its own:
// the serials they give are disjoint and all of them are counted as given.
TEST(ProgramLab, TwoRunsOnOneSequenceGiveDisjointSerials) {
    LabDir one("program-one"), two("program-two");
    const fs::path data = one.path / "shared-data";
    one.WriteConfig("[lab]\nstate-dir=state\n\n" + Tesk("a", "ONE0000001", 1) + Tesk("b", "ONE0000002", 2) +
                    Tesk("c", "ONE0000003", 3));
    two.WriteConfig("[lab]\nstate-dir=state\n\n" + Tesk("a", "TWO0000001", 1) + Tesk("b", "TWO0000002", 2) +
                    Tesk("c", "TWO0000003", 3));
    // The sequence exists before either run starts.
    fs::create_directories(data / "brevane" / "sequences");
    std::ofstream(data / "brevane" / "sequences" / "shared") << "brevane serial sequence 1\nstart S00\ntaken 0\n";
    LabRun r1, r2;
    std::thread t1([&] { r1 = Cli(one, data, {"program", "--json", "--family", "tesk100", "--sequence", "shared"}); });
    std::thread t2([&] { r2 = Cli(two, data, {"program", "--json", "--family", "tesk100", "--sequence", "shared"}); });
    t1.join();
    t2.join();
    ASSERT_EQ(r1.status, 0) << r1.out << r1.err;
    ASSERT_EQ(r2.status, 0) << r2.out << r2.err;
    std::set<std::string> all;
    for (const auto* r : {&r1, &r2})
        for (const auto& s : JsonField(r->out, "serial")) all.insert(s);
    EXPECT_EQ(all, (std::set<std::string>{"S00", "S01", "S02", "S03", "S04", "S05"}));
    std::set<std::string> held;
    for (const auto* lab : {&one, &two})
        for (const char* d : {"a", "b", "c"}) held.insert(SerialIn(lab->state / (std::string(d) + ".bin")));
    EXPECT_EQ(held, all);
    EXPECT_EQ(ReadFile(data / "brevane" / "sequences" / "shared"),
              "brevane serial sequence 1\nstart S00\ntaken 6\ngiven S00\ngiven S01\ngiven S02\ngiven S03\ngiven "
              "S04\ngiven S05\n");
}

// The station in the lab: one module is there from the start (left alone),
// three arrive while it waits, one after the other: the first is programmed,
// the second leaves during its write (reported with step, chunk and backup;
// the station goes on), and Ctrl-C during the third one's write ends the
// station after that write, verified.
TEST(ProgramLab, StationProgramsArrivalsReportsOneThatLeavesAndEndsAfterTheWriteOnCtrlC) {
    LabDir lab("station");
    const fs::path go = lab.path / "go";
    lab.WriteConfig("[lab]\nstate-dir=state\n\n" + Tesk("a", "OLDA000001", 1) +
                    Tesk("b", "OLDB000002", 2, "arrive-on=go-b\n") +
                    Tesk("c", "OLDC000003", 3, "arrive-on=go-c\nfault=vanish\nfault-from-write=2\n") +
                    Tesk("d", "OLDD000004", 4, "arrive-on=go-d\nfault=late\nlate-ms=150\n"));
    const fs::path data = lab.path / "data";
    const fs::path report = lab.path / "report.csv";
    const fs::path err = lab.path / "station.err";
    const fs::path backups = lab.path / "backups";

    // Refused: a family whose arrivals the kernel does not tell.
    auto net = Cli(lab, data, {"station", "--family", "Gostel - 2160", "--sequence", "st", "--serial-from", "ST0100"});
    EXPECT_EQ(net.status, 2) << net.err;
    EXPECT_NE(net.err.find("is not reached over USB, HID or a serial port"), std::string::npos) << net.err;

    // Standard error goes to a file the test reads while the station runs.
    const std::vector<std::string> argv = {
        "/bin/sh", "-c", "exec \"$@\" 2>\"$0\"", err.string(), "/usr/bin/env", "XDG_DATA_HOME=" + data.string(),
        CliPath(), "station", "--family", "tesk100", "--sequence", "st", "--serial-from", "ST0100", "--report",
        report.string(), "--backup-dir", backups.string()};
    int step = 0;
    auto has = [&](const std::string& text) { return ReadFile(err).find(text) != std::string::npos; };
    auto reportLines = [&] { return Lines(ReadFile(report)).size(); };
    // A station that never gets there is stopped after a generous while (and the checks below fail).
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto when = [&] {
        if (std::chrono::steady_clock::now() > giveUp) return true;
        // Each instrument arrives once the station has dealt with the one before.
        if (step == 0 && has("waiting for new ones")) {
            std::ofstream(lab.path / "go-b") << "";
            ++step;
        } else if (step == 1 && reportLines() == 2) {
            std::ofstream(lab.path / "go-c") << "";
            ++step;
        } else if (step == 2 && reportLines() == 3) {
            std::ofstream(lab.path / "go-d") << "";
            ++step;
        } else if (step == 3 && has("station: writing Tesk - 100 module 2, S/N OLDD000004")) {
            return true;  // Ctrl-C while its write runs
        }
        return false;
    };
    auto r = RunInLabInterrupted(lab, argv, when);
    const std::string said = ReadFile(err);
    EXPECT_EQ(r.status, 130) << r.out << said;
    EXPECT_EQ(step, 3) << said;
    EXPECT_NE(said.find("1 Tesk - 100 module(s) present, left as they are"), std::string::npos) << said;
    EXPECT_NE(said.find("a write is never stopped half-way"), std::string::npos) << said;
    EXPECT_NE(said.find("station: stopped by Ctrl-C; 2 module(s) programmed, 1 failed"), std::string::npos) << said;
    EXPECT_NE(said.find("write: chunk 2 of 5 not acknowledged by Tesk - 100 module 2"), std::string::npos) << said;

    EXPECT_EQ(SerialIn(lab.state / "a.bin"), "OLDA000001");
    EXPECT_EQ(SerialIn(lab.state / "b.bin"), "ST0100");
    EXPECT_EQ(SerialIn(lab.state / "d.bin"), "ST0102");
    const auto lines = Lines(ReadFile(report));
    ASSERT_EQ(lines.size(), 4u) << ReadFile(report);
    EXPECT_NE(lines[1].find(",module 1,OLDB000002,ST0100,programmed,,,"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(",module 2,OLDC000003,ST0101,failed,write,2 of 5," + backups.string()), std::string::npos)
        << lines[2];
    EXPECT_NE(lines[3].find(",module 2,OLDD000004,ST0102,programmed,,,"), std::string::npos) << lines[3];
    EXPECT_EQ(ReadFile(data / "brevane" / "sequences" / "st"),
              "brevane serial sequence 1\nstart ST0100\ntaken 3\ngiven ST0100\ngiven ST0102\nfailed ST0101\n");
}
