// Failed writes: WRITES identity-image writes through brevane-cli, each in a
// lab of its own with one Tesk-100 instrument; every second one is hit by a
// fault from a random write chunk on (the device vanishes, stores a changed
// byte, or now and then answers wrongly or not at all). Checks for every
// write:
//   - reported done  =>  the instrument holds the new image;
//   - not holding the new image  =>  reported failed with its step (and the
//     chunk, for the write and read-back steps), the backup file and a
//     restore command;
//   - the backup equals the image before the write;
//   - the restore command, run in the lab without the fault, brings the old
//     image back.
// usage: write_fault_bench BIN_DIR [WRITES [PARALLEL [SLOW_EVERY]]]
//   SLOW_EVERY: every SLOW_EVERY-th fault is one that costs the link's whole
//   reply limit (wrong address or length, silence); 0 for none.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kChunks = 5;  // 256 bytes in 60-byte chunks

struct Outcome {
    std::string fault = "none";
    int fromChunk = -1;
    bool reportedOk = false;
    bool holdsNew = false;
    std::string step;
    int chunk = -1;
    bool backupEqual = false;
    bool restored = false;
    bool violation = false;
    std::string why;
    double seconds = 0;
};

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string JsonString(const std::string& json, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + name + "\":\"((?:[^\"\\\\]|\\\\.)*)\""))) return {};
    std::string out;
    const std::string raw = m[1];
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
        out += raw[i];
    }
    return out;
}

int JsonInt(const std::string& json, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + name + "\":(-?[0-9]+)"))) return -999;
    return std::stoi(m[1]);
}

std::string Image(std::mt19937& rng, const std::string& serial) {
    std::string image(256, '\0');
    for (auto& c : image) c = static_cast<char>(rng() & 0xFF);
    for (std::size_t i = 0; i <= serial.size(); ++i) image[76 + i] = i < serial.size() ? serial[i] : '\0';
    return image;
}

std::string LabConfig(const std::string& fault, int fromChunk) {
    std::string cfg =
        "[lab]\nstate-dir=state\n\n[device victim]\nkind=mpusb\nvid=0x2403\npid=0x1688\n"
        "product=Quenlor Tesk-100/200\nport=1\nprotocol=echo8\nserial=VICTIM0001\n";
    if (fault != "none") cfg += "fault=" + fault + "\nfault-from-write=" + std::to_string(fromChunk) + "\n";
    return cfg;
}

Outcome OneWrite(const fs::path& bin, const fs::path& dir, int n, const std::string& fault, int fromChunk) {
    Outcome o;
    o.fault = fault;
    o.fromChunk = fromChunk;
    std::mt19937 rng(static_cast<unsigned>(n) * 7919u + 17u);
    fs::remove_all(dir);
    fs::create_directories(dir / "state");
    char serial[32];
    std::snprintf(serial, sizeof serial, "OLD%06d", n);
    const std::string before = Image(rng, serial);
    std::snprintf(serial, sizeof serial, "NEW%06d", n);
    const std::string after = Image(rng, serial);
    WriteFile(dir / "state" / "victim.bin", before);
    WriteFile(dir / "new.bin", after);
    WriteFile(dir / "lab.ini", LabConfig(fault, fromChunk));

    const auto t0 = std::chrono::steady_clock::now();
    const std::string lab = Quote((bin / "brevane-lab").string()) + " run --config " + Quote((dir / "lab.ini").string());
    const int status = Shell(lab + " -- " + Quote((bin / "brevane-cli").string()) +
                             " write --json --family 'Tesk - 100' --module 0 --backup-dir " +
                             Quote((dir / "backups").string()) + " " + Quote((dir / "new.bin").string()) + " >" +
                             Quote((dir / "out.json").string()) + " 2>" + Quote((dir / "err.txt").string()));
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::string json = ReadFile(dir / "out.json");
    o.reportedOk = status == 0 && json.rfind("{\"ok\":true", 0) == 0;
    o.holdsNew = ReadFile(dir / "state" / "victim.bin") == after;
    const std::string backup = JsonString(json, "backup");
    o.backupEqual = !backup.empty() && ReadFile(backup) == before;
    auto violate = [&](const std::string& why) {
        o.violation = true;
        o.why += (o.why.empty() ? "" : "; ") + why;
    };
    if (o.reportedOk && !o.holdsNew) violate("reported done, but the instrument does not hold the new image");
    if (o.reportedOk && status != 0) violate("reported done with exit status " + std::to_string(status));
    if (!backup.empty() && !o.backupEqual) violate("backup differs from the image before the write");
    if (!o.reportedOk) {
        o.step = JsonString(json, "step");
        o.chunk = JsonInt(json, "chunk");
        const std::string restore = JsonString(json, "restore");
        if (json.rfind("{\"ok\":false", 0) != 0) violate("failure without a JSON failure report: " + json);
        if (o.step.empty()) violate("failure without its step");
        if ((o.step == "write" || o.step == "read back") && (o.chunk < 0 || o.chunk >= kChunks))
            violate("failure at step " + o.step + " without its chunk");
        if (backup.empty() || restore.empty()) violate("failure without backup file or restore command");
        if (!o.holdsNew && o.step == "none") violate("unknown step");
        if (!restore.empty()) {
            // The restore command as printed, in the lab without the fault.
            WriteFile(dir / "lab.ini", LabConfig("none", 0));
            const int r = Shell(lab + " -- sh -c " + Quote(restore) + " >/dev/null 2>>" +
                                Quote((dir / "err.txt").string()));
            o.restored = r == 0 && ReadFile(dir / "state" / "victim.bin") == before;
            if (!o.restored) violate("restore command did not bring the old image back");
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: write_fault_bench BIN_DIR [WRITES [PARALLEL [SLOW_EVERY]]]\n");
        return 2;
    }
    const fs::path bin = fs::absolute(argv[1]);
    const int writes = argc > 2 ? std::atoi(argv[2]) : 200;
    const int parallel = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const int slowEvery = argc > 4 ? std::atoi(argv[4]) : 25;
    const fs::path work = fs::temp_directory_path() / ("brevane-write-fault-bench-" + std::to_string(getpid()));

    // The plan: every second write faulted, fault and chunk at random.
    std::mt19937 rng(20261208);
    std::vector<std::pair<std::string, int>> plan(static_cast<std::size_t>(writes), {"none", -1});
    const char* fast[] = {"vanish", "garble"};
    const char* slow[] = {"wrong-address", "wrong-length", "silent"};
    int faulted = 0;
    for (int i = 1; i < writes; i += 2) {
        ++faulted;
        const bool isSlow = slowEvery > 0 && faulted % slowEvery == 0;
        plan[static_cast<std::size_t>(i)] = {isSlow ? slow[rng() % 3] : fast[rng() % 2], static_cast<int>(rng() % kChunks)};
    }

    std::vector<Outcome> outcomes(static_cast<std::size_t>(writes));
    std::atomic<int> next{0};
    std::mutex print;
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < parallel; ++w)
        workers.emplace_back([&, w] {
            for (int i; (i = next++) < writes;) {
                const auto& [fault, chunk] = plan[static_cast<std::size_t>(i)];
                outcomes[static_cast<std::size_t>(i)] =
                    OneWrite(bin, work / ("w" + std::to_string(w)), i, fault, chunk);
                const Outcome& o = outcomes[static_cast<std::size_t>(i)];
                std::lock_guard g(print);
                std::printf("%3d %-13s from chunk %2d: %-6s step %-9s chunk %2d backup %s restore %s %5.1f s%s%s\n", i,
                            o.fault.c_str(), o.fromChunk, o.reportedOk ? "done" : "failed", o.step.c_str(), o.chunk,
                            o.reportedOk ? "-" : (o.backupEqual ? "equal" : "DIFF"),
                            o.reportedOk ? "-" : (o.restored ? "ok" : "FAILED"), o.seconds,
                            o.violation ? "  VIOLATION: " : "", o.why.c_str());
                std::fflush(stdout);
            }
        });
    for (auto& t : workers) t.join();
    fs::remove_all(work);

    int done = 0, failed = 0, faultedDone = 0, cleanFailed = 0, backupsEqual = 0, restores = 0, violations = 0;
    for (const auto& o : outcomes) {
        (o.reportedOk ? done : failed)++;
        if (o.reportedOk && o.fault != "none") ++faultedDone;
        if (!o.reportedOk && o.fault == "none") ++cleanFailed;
        if (!o.reportedOk && o.backupEqual) ++backupsEqual;
        if (!o.reportedOk && o.restored) ++restores;
        if (o.violation) ++violations;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("writes %d (faulted %d): reported done %d (of them faulted %d), reported failed %d (of them "
                "unfaulted %d); failed with backup equal to the old image %d, restored by the printed command %d; "
                "violations %d; %.0f s\n",
                writes, faulted, done, faultedDone, failed, cleanFailed, backupsEqual, restores, violations, wall);
    return violations == 0 ? 0 : 1;
}
