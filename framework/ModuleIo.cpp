#include "ModuleIo.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>

#include "ImageText.h"
#include "Registry.h"
#include "TransferNote.h"
#include "platform/Shell.h"

namespace moduleio {
namespace {

// A family object connected to its devices, disconnected on every way out.
class Session {
public:
    Session(const FamilyRegistry& registry, const std::string& familyName) : m_registry(registry), m_name(familyName) {}
    ~Session() {
        if (m_open) m_family->CloseModule();
        if (m_connected) m_family->Disconnect();
    }

    // Creates, chooses the target, connects and opens module `index`.
    bool Open(const ModuleChoice& choice, WriteStep& step, std::string& error) {
        const std::int32_t index = choice.index;
        m_reached = choice;
        const _DeviceInfo* row = m_registry.Find(m_name);
        step = WriteStep::Connect;
        if (!row) {
            error = "unknown family \"" + m_name + "\"";
            return false;
        }
        m_family = CreateFamily(row->family);
        if (!m_family) {
            error = "family \"" + m_name + "\" is not available in this build";
            return false;
        }
        if (choice.viaCardSelection) {
            // Target, connect and the card dialog in one; the pick is current.
            m_connected = true;
            if (!m_family->SelectCardWithTarget()) {
                error = "card selection: no card chosen for \"" + m_name + "\"";
                return false;
            }
            // The family says which card its dialog picked.
            if (const auto pick = m_family->PickedCard()) {
                m_reached.index = pick->row;
                m_pick = pick;
            }
            step = WriteStep::Open;
            if (!m_family->OpenModule()) {
                error = "open card " + std::to_string(m_reached.index + 1) + ": failed";
                return false;
            }
            m_open = true;
            return true;
        }
        if (row->needsTarget == 1 && !m_family->ChooseTarget()) {
            error = "no target chosen for \"" + m_name + "\"";
            return false;
        }
        m_connected = true;
        if (!m_family->Connect()) {
            error = "connect: no " + m_name + " device found";
            return false;
        }
        const std::int32_t count = m_family->GetModuleCount();
        step = WriteStep::Open;
        if (index < 0 || index >= count) {
            error = "open module " + std::to_string(index) + ": no such module (" + std::to_string(count) +
                    " found)";
            return false;
        }
        m_family->SetModuleIndex(index);
        if (!m_family->OpenModule()) {
            error = "open module " + std::to_string(index) + ": failed";
            return false;
        }
        m_open = true;
        return true;
    }

    CCommBase& Family() { return *m_family; }
    // The module reached: for a card selection, the row the dialog picked.
    const ModuleChoice& Reached() const { return m_reached; }
    const std::optional<CardChoice>& Pick() const { return m_pick; }

private:
    const FamilyRegistry& m_registry;
    std::string m_name;
    ModuleChoice m_reached;
    std::optional<CardChoice> m_pick;
    std::unique_ptr<CCommBase> m_family;
    bool m_connected = false;
    bool m_open = false;
};

std::string Stamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &tm);
    return text;
}

std::string FileSafe(std::string text) {
    for (auto& c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) c = '_';
    return text;
}

}  // namespace

const char* WriteStepName(WriteStep step) {
    switch (step) {
    case WriteStep::None: return "none";
    case WriteStep::Connect: return "connect";
    case WriteStep::Open: return "open";
    case WriteStep::Backup: return "backup";
    case WriteStep::Confirm: return "confirm module";
    case WriteStep::Write: return "write";
    case WriteStep::ReadBack: return "read back";
    case WriteStep::Compare: return "compare";
    }
    return "?";
}

ReadResult ReadImage(const FamilyRegistry& registry, const std::string& familyName, std::int32_t index) {
    return ReadImage(registry, familyName, ModuleChoice{index, false});
}

ReadResult ReadImage(const FamilyRegistry& registry, const std::string& familyName, const ModuleChoice& choice) {
    const std::int32_t index = choice.index;
    ReadResult result;
    Session session(registry, familyName);
    WriteStep step = WriteStep::None;
    if (!session.Open(choice, step, result.error)) return result;
    if (!session.Family().ReadEeprom(result.image.data(), static_cast<std::int32_t>(kImageSize))) {
        result.error = choice.viaCardSelection
                           ? "read card " + std::to_string(session.Reached().index + 1) + ": no complete reply"
                           : "read module " + std::to_string(index) + ": no complete reply";
        return result;
    }
    result.ok = true;
    return result;
}

WriteResult WriteImage(const FamilyRegistry& registry, const std::string& familyName, std::int32_t index, const IdentityImage& image,
                       const std::filesystem::path& backupDir) {
    return WriteImage(registry, familyName, ModuleChoice{index, false}, image, backupDir);
}

namespace {

// Builds the image to write from the one on the module; nullopt and a reason
// refuses the write.
using ImageFromCurrent = std::function<std::optional<IdentityImage>(const IdentityImage& current, std::string& error)>;

// The one write path: open exactly the module, read its image, check it is the
// unit meant, save the backup, write what `make` builds from that same image,
// read back and compare.
WriteResult WriteFromCurrent(const FamilyRegistry& registry, const std::string& familyName, const ModuleChoice& asked, const ImageFromCurrent& make,
                             const std::filesystem::path& backupDir, const WriteOptions& options, bool serialOnly) {
    WriteResult result;
    auto fail = [&](WriteStep step, std::string text) {
        result.failedStep = step;
        result.error = std::string(WriteStepName(step)) + ": " + text;
        return result;
    };

    Session session(registry, familyName);
    WriteStep step = WriteStep::None;
    std::string error;
    if (!session.Open(asked, step, error)) {
        result.failedStep = step;
        result.error = error;
        return result;
    }
    CCommBase& family = session.Family();
    // A card is the one its dialog picked, whatever row the caller expected;
    // its mode is the one chosen there.
    const ModuleChoice choice = session.Reached();
    const std::int32_t index = choice.index;
    std::optional<int> cardMode = options.cardMode;
    std::string place;
    if (const auto& pick = session.Pick()) {
        if (pick->mode) cardMode = pick->mode;
        place = pick->place;
    }
    const std::string module = choice.viaCardSelection
                                   ? familyName + " card " + std::to_string(index + 1) +
                                         (place.empty() ? std::string() : " (" + place + ")")
                                   : familyName + " module " + std::to_string(index);
    result.module = module;

    IdentityImage previous{};
    if (!family.ReadEeprom(previous.data(), static_cast<std::int32_t>(kImageSize)))
        return fail(WriteStep::Backup, "could not read the current image of " + module + "; nothing written");
    result.moduleSerial = SerialNumberOf(previous);
    // The module at this index must be the one chosen, or nothing is written.
    const auto& expect = options.expectSerial;
    if (!expect.empty() && std::find(expect.begin(), expect.end(), result.moduleSerial) == expect.end()) {
        std::string wanted;
        for (std::size_t i = 0; i < expect.size(); ++i)
            wanted += (i ? "\" or \"" : "") + expect[i];
        return fail(WriteStep::Confirm, module + " has serial number \"" + result.moduleSerial + "\", not \"" +
                                            wanted +
                                            "\" as chosen (the modules may have changed since the search); "
                                            "nothing written");
    }
    const auto image = make(previous, error);
    if (!image) return fail(WriteStep::Write, error + "; nothing written");

    // The family may write only part of the image: before anything goes out,
    // the serial number (from byte 76 to its zero byte) must lie wholly in
    // what it writes, or the module would keep another one: refused. (The
    // bytes past the written ones need not even be readable.)
    const auto writable = family.WritableRanges();
    {
        const std::size_t start = kSerialOffset;
        std::size_t end = start;
        while (end < kImageSize && (*image)[end] != 0) ++end;
        const std::size_t last = std::min(end, kImageSize - 1);
        bool inside = true;
        for (std::size_t i = start; i <= last && inside; ++i) {
            bool w = false;
            const auto at = static_cast<std::int32_t>(i);
            for (const auto& r : writable) w = w || (at >= r.first && at < r.end);
            inside = w;
        }
        if (!inside) {
            const int longest = LongestWritableSerial(writable);
            return fail(WriteStep::Write,
                        (serialOnly ? std::string("the serial number is too long: ")
                                    : std::string("the image's serial number reaches byte ") + std::to_string(last) +
                                          ", which " + familyName + " does not write (" + KeptBytesText(writable) +
                                          " are kept); ") +
                            familyName + " takes serial numbers of at most " + std::to_string(longest) +
                            " characters; nothing written");
        }
    }

    std::error_code ec;
    std::filesystem::create_directories(backupDir, ec);
    const std::string which =
        choice.viaCardSelection ? "-card" + std::to_string(index + 1) : "-module" + std::to_string(index);
    const std::string base = FileSafe(familyName) + which + "-" + FileSafe(result.moduleSerial) + "-" + Stamp();
    // Never overwrite an earlier backup: add a counter until the name is new.
    std::filesystem::path file;
    for (int n = 0; n < 1000; ++n) {
        file = backupDir / (base + (n ? "-" + std::to_string(n) : std::string()) + ".bin");
        if (!std::filesystem::exists(file, ec)) break;
    }
    std::string saveError;
    if (std::filesystem::exists(file, ec) || !SaveImageFile(file, previous, saveError))
        return fail(WriteStep::Backup, "could not save " + file.string() + " " + saveError + "; nothing written");
    // The saved file must hold exactly what was read, or the write would
    // leave the user without the old image.
    std::string checkError;
    const auto saved = LoadImageFile(file, checkError);
    if (!saved || *saved != previous)
        return fail(WriteStep::Backup, "the backup " + file.string() + " does not read back equal; nothing written");
    result.backupFile = file;
    result.written = *image;
    const _DeviceInfo* row = registry.Find(familyName);
    const std::string target = row && row->needsTarget == 1 ? family.GetAddress() : std::string();
    // The restore goes only to a module holding the serial number it had, or
    // the new one (a failed write may have changed it already).
    std::vector<std::string> holds{result.moduleSerial};
    if (SerialNumberOf(*image) != result.moduleSerial) holds.push_back(SerialNumberOf(*image));
    const std::vector<std::string> reach = family.ReachOptions();
    result.restoreCommand = RestoreCommand(familyName, choice, target, cardMode, backupDir, file, holds, reach);

    if (options.aboutToWrite) options.aboutToWrite(module + ", S/N " + result.moduleSerial);

    // From here on the module may hold a mix of both images: every failure
    // names the backup and how to put it back.
    const std::string keep = "; the previous image is in " + file.string() + "; restore it with: " +
                             result.restoreCommand;
    // "chunk 2 of 5 " when the family told where its transfer stopped.
    auto chunkText = [&] {
        const transfer::FailedChunk note = transfer::TakeFailedChunk();
        if (!note.known) return std::string();
        result.failedChunk = static_cast<std::int32_t>(note.index);
        result.chunkCount = static_cast<std::int32_t>(note.count);
        return "chunk " + std::to_string(note.index) + " of " + std::to_string(note.count) + " ";
    };

    transfer::TakeFailedChunk();  // nothing left over from the reads above
    if (!family.WriteEeprom(image->data(), static_cast<std::int32_t>(kImageSize)))
        return fail(WriteStep::Write, chunkText() + "not acknowledged by " + module + keep);
    // Bytes a family does not read stay as the image has them, so they are
    // not claimed to differ; written bytes start out different, so one left
    // unread fails the comparison.
    IdentityImage readBack = *image;
    for (const auto& r : writable)
        for (std::int32_t i = std::max(r.first, 0); i < std::min<std::int32_t>(r.end, kImageSize); ++i)
            readBack[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(~(*image)[static_cast<std::size_t>(i)]);
    if (!family.ReadEeprom(readBack.data(), static_cast<std::int32_t>(kImageSize)))
        return fail(WriteStep::ReadBack, chunkText() + "not answered by " + module + keep);
    // Only what the family writes is compared; the bytes the instrument keeps
    // are told to the user instead.
    result.keptBytes = KeptBytesText(writable);
    if (const int at = FirstWrittenDifference(readBack, *image, writable); at >= 0)
        return fail(WriteStep::Compare, "the image read back differs at byte " + std::to_string(at) + keep);
    // The bytes the module kept as they were although the image asks for
    // others: the module does not hold the whole image.
    result.keptDiffering = KeptDifferencesText(*image, readBack, previous, writable);
    result.ok = true;
    result.restoreCommand =
        RestoreCommand(familyName, choice, target, cardMode, backupDir, file, {SerialNumberOf(*image)}, reach);
    return result;
}

}  // namespace

WriteResult WriteImage(const FamilyRegistry& registry, const std::string& familyName, const ModuleChoice& choice, const IdentityImage& image,
                       const std::filesystem::path& backupDir) {
    return WriteImage(registry, familyName, choice, image, backupDir, WriteOptions{});
}

WriteResult WriteImage(const FamilyRegistry& registry, const std::string& familyName, const ModuleChoice& choice, const IdentityImage& image,
                       const std::filesystem::path& backupDir, const WriteOptions& options) {
    return WriteFromCurrent(registry, familyName, choice, [&](const IdentityImage&, std::string&) { return std::optional<IdentityImage>(image); },
        backupDir, options, false);
}

WriteResult WriteSerialNumber(const FamilyRegistry& registry, const std::string& familyName, const ModuleChoice& choice, const std::string& serial,
                              const std::filesystem::path& backupDir, const WriteOptions& options) {
    if (const std::string problem = SerialNumberProblem(serial); !problem.empty()) {
        WriteResult refused;
        refused.error = problem + "; nothing written";
        return refused;
    }
    return WriteFromCurrent(registry, familyName, choice,
        [&](const IdentityImage& current, std::string& error) { return ReplaceSerialNumber(current, serial, error); },
        backupDir, options, true);
}

std::string KeptBytesText(const std::vector<ByteRange>& writable) {
    std::array<bool, kImageSize> written{};
    for (const auto& r : writable)
        for (std::int32_t i = std::max(r.first, 0); i < std::min<std::int32_t>(r.end, kImageSize); ++i)
            written[static_cast<std::size_t>(i)] = true;
    std::string text;
    for (std::size_t i = 0; i < kImageSize;) {
        if (written[i]) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j + 1 < kImageSize && !written[j + 1]) ++j;
        text += (text.empty() ? "" : ", ") + std::to_string(i) + (j > i ? "-" + std::to_string(j) : "");
        i = j + 1;
    }
    if (text.empty()) return text;
    return (text.find_first_of(",-") == std::string::npos ? "byte " : "bytes ") + text;
}

int FirstWrittenDifference(const IdentityImage& a, const IdentityImage& b, const std::vector<ByteRange>& writable) {
    int first = -1;
    for (const auto& r : writable)
        for (std::int32_t i = std::max(r.first, 0); i < std::min<std::int32_t>(r.end, kImageSize); ++i)
            if (a[static_cast<std::size_t>(i)] != b[static_cast<std::size_t>(i)] && (first < 0 || i < first)) first = i;
    return first;
}

std::string KeptDifferencesText(const IdentityImage& asked, const IdentityImage& after, const IdentityImage& before,
                                const std::vector<ByteRange>& writable) {
    // The complement of "written, equal to the image, or changed by the write".
    std::vector<ByteRange> rest = writable;
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(kImageSize); ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (after[k] == asked[k] || after[k] != before[k]) rest.push_back({i, i + 1});
    }
    return KeptBytesText(rest);
}

int LongestWritableSerial(const std::vector<ByteRange>& writable) {
    std::array<bool, kImageSize> written{};
    for (const auto& r : writable)
        for (std::int32_t i = std::max(r.first, 0); i < std::min<std::int32_t>(r.end, kImageSize); ++i)
            written[static_cast<std::size_t>(i)] = true;
    std::size_t end = kSerialOffset;
    while (end < kImageSize && written[end]) ++end;
    // The last written byte holds the zero.
    return end > kSerialOffset ? static_cast<int>(end - kSerialOffset - 1) : 0;
}

std::optional<IdentityImage> LoadImageFile(const std::filesystem::path& file, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot open " + file.string();
        return std::nullopt;
    }
    IdentityImage image{};
    in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    const auto got = in.gcount();
    char extra = 0;
    const bool longer = static_cast<bool>(in.read(&extra, 1));
    if (static_cast<std::size_t>(got) != kImageSize || longer) {
        error = file.string() + " is not a " + std::to_string(kImageSize) + "-byte image";
        return std::nullopt;
    }
    return image;
}

bool SaveImageFile(const std::filesystem::path& file, const IdentityImage& image, std::string& error) {
    const std::filesystem::path temp = file.string() + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot create " + temp.string();
            return false;
        }
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        out.flush();
        if (!out) {
            error = "cannot write " + temp.string();
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        error = "cannot rename to " + file.string() + ": " + ec.message();
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

std::vector<CDeviceInfo> SameSerialAs(const IdentityImage& image, const std::vector<CDeviceInfo>& lastSearch,
                                      const std::string& familyName, std::int32_t index) {
    return SameSerialAs(SerialNumberOf(image), lastSearch, familyName, index);
}

std::vector<CDeviceInfo> SameSerialAs(const std::string& serial, const std::vector<CDeviceInfo>& lastSearch,
                                      const std::string& familyName, std::int32_t index) {
    std::vector<CDeviceInfo> same;
    for (const auto& info : lastSearch) {
        const bool itself = FamilyRegistry::Covers(info.m_model, familyName) && info.m_moduleIndex == index;
        if (!itself && info.m_serial == serial) same.push_back(info);
    }
    return same;
}

namespace {

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

std::string RestoreCommand(const std::string& familyName, const ModuleChoice& choice, const std::string& target,
                           std::optional<int> cardMode, const std::filesystem::path& backupDir,
                           const std::filesystem::path& file, const std::vector<std::string>& expectSerial,
                           const std::vector<std::string>& reach) {
    // The command line program beside the running one (both are installed
    // together), else the one on the PATH.
    std::error_code ec;
    const std::filesystem::path beside = platform::ProgramDirectory() / "brevane-cli";
    const std::string program = std::filesystem::exists(beside, ec) ? ShellQuote(beside.string()) : "brevane-cli";
    std::string cmd = program + " write --family " + ShellQuote(familyName);
    if (choice.viaCardSelection) {
        cmd += " --card " + std::to_string(choice.index + 1);
        if (cardMode) cmd += *cardMode == 0 ? " --mode initialize" : " --mode modify";
    } else {
        cmd += " --module " + std::to_string(choice.index);
    }
    if (!target.empty()) cmd += " --target " + ShellQuote(target);
    for (const auto& serial : expectSerial) cmd += " --expect-serial " + ShellQuote(serial);
    for (const auto& option : reach) cmd += " " + ShellQuote(option);
    cmd += " --backup-dir " + ShellQuote(std::filesystem::absolute(backupDir, ec).string()) + " " +
           ShellQuote(std::filesystem::absolute(file, ec).string());
    return cmd;
}

std::filesystem::path DefaultBackupDir() { return platform::UserDataDirectory() / "backups"; }

}  // namespace moduleio
