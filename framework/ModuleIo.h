#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CCommBase.h"
#include "DeviceInfo.h"

// Reading and writing the identity image of exactly one module, chosen by
// registry name and module index; shared by both front ends.
class FamilyRegistry;

namespace moduleio {

struct ReadResult {
    bool ok = false;
    std::string error;  // which step failed, e.g. "open module 2: failed"
    IdentityImage image{};
};

// How the module is reached: by its position in the family's list after
// Connect, or through the family's own card selection (SelectCardWithTarget:
// target, connect, card dialog), whose pick becomes the current module; the
// row the family reports as picked then names the card in messages, backup
// names and restore commands (`index` is only the row a caller expects).
struct ModuleChoice {
    std::int32_t index = 0;
    bool viaCardSelection = false;
};

// Creates the family of the registry row, lets it choose its target when it
// needs one, connects, opens module `index` and reads its whole image.
ReadResult ReadImage(const FamilyRegistry& registry, const std::string& familyName, std::int32_t index);
ReadResult ReadImage(const FamilyRegistry& registry, const std::string& familyName, const ModuleChoice& choice);

// Backup reads the current image (and saves it); Confirm checks that the module
// reached is the one meant, before anything is written.
enum class WriteStep { None, Connect, Open, Backup, Confirm, Write, ReadBack, Compare };
const char* WriteStepName(WriteStep step);

struct WriteResult {
    bool ok = false;
    WriteStep failedStep = WriteStep::None;
    std::string error;                    // human-readable, names the failed step
    std::filesystem::path backupFile;     // where the previous image was saved
    std::string moduleSerial;             // serial number read from the module before writing
    // The module as the messages name it ("Gostel - 2160 card 2 (... (Slot 3))"),
    // once it is open: a card is the one its dialog picked.
    std::string module;
    IdentityImage written{};              // the image written (set once the backup is saved)
    // Once the backup is saved: the brevane-cli command that writes it back to
    // the same module (the card its dialog picked, with its mode), only while
    // the module holds the serial number it had or the new one (after a
    // verified write: the new one), with the options the family needs to be
    // reached again.
    std::string restoreCommand;
    // The bytes the family does not write (the instrument keeps them as they
    // are), as text for the user, e.g. "bytes 0-31"; empty when it writes the
    // whole image. Only the written bytes are compared after the write.
    std::string keptBytes;
    // Of those, the bytes the module read back unchanged from before the
    // write although the image asks for other values (e.g. "bytes 0-3, 20"):
    // the module does not hold the whole image. Empty when there are none
    // (bytes the family cannot read are never named here).
    std::string keptDiffering;
    // The chunk at which a write or read-back stopped (from 0), when the family
    // says; -1 otherwise.
    std::int32_t failedChunk = -1;
    std::int32_t chunkCount = 0;
};

struct WriteOptions {
    // When not empty, the module's current serial number must equal one of
    // these, or the write is refused before anything is written: the user
    // meant another unit.
    std::vector<std::string> expectSerial;
    // Operation mode of a card selection (0 initialize, 1 modify), for the
    // restore command; unset: the dialog's preselection.
    std::optional<int> cardMode;
    // Told, after the module is confirmed and its image saved, which module is
    // about to be written ("Tesk - 100 module 0, S/N TK1A000123").
    std::function<void(const std::string& module)> aboutToWrite;
};

// The complement of a family's writable ranges within the image, as text
// ("bytes 0-31", "bytes 0-3, 10, 200-255"); empty when nothing is kept.
std::string KeptBytesText(const std::vector<ByteRange>& writable);
// The first byte inside the writable ranges where the two images differ;
// -1 when they agree there.
int FirstWrittenDifference(const IdentityImage& a, const IdentityImage& b, const std::vector<ByteRange>& writable);
// The bytes outside the writable ranges that the module kept as they were
// (`after` equals `before` there) although `asked` differs, as text
// ("bytes 0-3, 20"); empty when there are none.
std::string KeptDifferencesText(const IdentityImage& asked, const IdentityImage& after, const IdentityImage& before,
                                const std::vector<ByteRange>& writable);
// The longest serial number (with its zero byte, from byte 76) that lies
// wholly inside the writable ranges.
int LongestWritableSerial(const std::vector<ByteRange>& writable);

// Opens exactly the module asked for (never another), saves its current image
// to a new file in backupDir (never overwriting an earlier backup), writes the
// new image, reads it back and compares.
WriteResult WriteImage(const FamilyRegistry& registry, const std::string& familyName, std::int32_t index, const IdentityImage& image,
                       const std::filesystem::path& backupDir);
WriteResult WriteImage(const FamilyRegistry& registry, const std::string& familyName, const ModuleChoice& choice, const IdentityImage& image,
                       const std::filesystem::path& backupDir);
WriteResult WriteImage(const FamilyRegistry& registry, const std::string& familyName, const ModuleChoice& choice, const IdentityImage& image,
                       const std::filesystem::path& backupDir, const WriteOptions& options);

// Gives the module a new serial number: the image read from it (the one saved
// as the backup) with the serial text replaced (ReplaceSerialNumber), written,
// read back and compared as WriteImage does. Refused text fails before the
// module is opened (failedStep None); a serial number longer than the family
// writes fails with nothing written and names the longest it takes.
WriteResult WriteSerialNumber(const FamilyRegistry& registry, const std::string& familyName, const ModuleChoice& choice, const std::string& serial,
                              const std::filesystem::path& backupDir, const WriteOptions& options = {});

// Loads an image file; it must hold exactly 256 bytes.
std::optional<IdentityImage> LoadImageFile(const std::filesystem::path& file, std::string& error);
bool SaveImageFile(const std::filesystem::path& file, const IdentityImage& image, std::string& error);

// The modules of the last search whose serial number equals the image's; used
// to warn before a write makes two modules share one serial number.
std::vector<CDeviceInfo> SameSerialAs(const IdentityImage& image, const std::vector<CDeviceInfo>& lastSearch,
                                      const std::string& familyName, std::int32_t index);
std::vector<CDeviceInfo> SameSerialAs(const std::string& serial, const std::vector<CDeviceInfo>& lastSearch,
                                      const std::string& familyName, std::int32_t index);

// The brevane-cli command that writes `file` to the module of `choice`, every
// argument quoted for a POSIX shell; with `expectSerial`, only while the
// module holds one of those serial numbers; `reach` are further options the
// family needs (ReachOptions).
std::string RestoreCommand(const std::string& familyName, const ModuleChoice& choice, const std::string& target,
                           std::optional<int> cardMode, const std::filesystem::path& backupDir,
                           const std::filesystem::path& file, const std::vector<std::string>& expectSerial = {},
                           const std::vector<std::string>& reach = {});

// Directory for backups: <per-user data dir>/brevane/backups.
std::filesystem::path DefaultBackupDir();

}  // namespace moduleio
