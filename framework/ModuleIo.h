#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "DeviceInfo.h"

// Reading and writing the identity image of exactly one module, chosen by
// registry name and module index; shared by both front ends.
namespace moduleio {

struct ReadResult {
    bool ok = false;
    std::string error;  // which step failed, e.g. "open module 2: failed"
    IdentityImage image{};
};

// How the module is reached: by its position in the family's list after
// Connect, or through the family's own card selection (SelectCardWithTarget:
// target, connect, card dialog), whose pick becomes the current module;
// `index` then names the picked row (from 0) in messages and backup names.
struct ModuleChoice {
    std::int32_t index = 0;
    bool viaCardSelection = false;
};

// Creates the family of the registry row, lets it choose its target when it
// needs one, connects, opens module `index` and reads its whole image.
ReadResult ReadImage(const std::string& familyName, std::int32_t index);
ReadResult ReadImage(const std::string& familyName, const ModuleChoice& choice);

enum class WriteStep { None, Connect, Open, Identity, Backup, Write, ReadBack, Compare };
const char* WriteStepName(WriteStep step);

struct WriteResult {
    bool ok = false;
    WriteStep failedStep = WriteStep::None;
    std::string error;                    // human-readable, names the failed step
    std::filesystem::path backupFile;     // where the previous image was saved
    std::optional<std::string> previousSerial;  // serial number found on the module, once read
    IdentityImage written{};              // the image written (valid once the write step began)
    std::string address;                  // the family's target address, when it has one
};

// What the module must be before anything is written to it.
struct WriteChecks {
    // The serial number the module must hold now (read for the backup); a
    // module with another one is left untouched: the user meant another unit.
    std::optional<std::string> expectSerial;
};

// Opens exactly the module asked for (never another), saves its current image
// to a new file in backupDir (never overwriting an earlier backup), writes the
// new image, reads it back and compares.
WriteResult WriteImage(const std::string& familyName, std::int32_t index, const IdentityImage& image,
                       const std::filesystem::path& backupDir);
WriteResult WriteImage(const std::string& familyName, const ModuleChoice& choice, const IdentityImage& image,
                       const std::filesystem::path& backupDir, const WriteChecks& checks = {});

// Gives the module a new serial number: the image read from it (the one saved
// as the backup) with the serial text replaced (ReplaceSerialNumber), written,
// read back and compared as WriteImage does. Refused text fails before the
// module is opened (failedStep None).
WriteResult WriteSerialNumber(const std::string& familyName, const ModuleChoice& choice, const std::string& serial,
                              const std::filesystem::path& backupDir, const WriteChecks& checks = {});

// Loads an image file; it must hold exactly 256 bytes.
std::optional<IdentityImage> LoadImageFile(const std::filesystem::path& file, std::string& error);
bool SaveImageFile(const std::filesystem::path& file, const IdentityImage& image, std::string& error);

// The modules of the last search whose serial number equals the image's; used
// to warn before a write makes two modules share one serial number.
std::vector<CDeviceInfo> SameSerialAs(const IdentityImage& image, const std::vector<CDeviceInfo>& lastSearch,
                                      const std::string& familyName, std::int32_t index);
std::vector<CDeviceInfo> SameSerialAs(const std::string& serial, const std::vector<CDeviceInfo>& lastSearch,
                                      const std::string& familyName, std::int32_t index);

// The command line that writes `backup` back to the module it came from,
// provided the module still holds `serial` (what the write gave it). `select`
// names the module as brevane-cli does, e.g. {"--module", "2"}; words are
// quoted for a POSIX shell.
std::string RestoreCommand(const std::string& program, const std::string& familyName, const std::string& address,
                           const std::vector<std::string>& select, const std::string& serial,
                           const std::filesystem::path& backup);

// Directory for backups: <per-user data dir>/brevane/backups.
std::filesystem::path DefaultBackupDir();

}  // namespace moduleio
