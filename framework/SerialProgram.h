#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CCommBase.h"
#include "DeviceInfo.h"
#include "ModuleIo.h"
#include "ProgramReport.h"
#include "SerialSequence.h"

// Production programming of one module: the next serial of a sequence,
// written through the one write path (moduleio::WriteSerialNumber: backup,
// module check by its current serial, write, read back, compare), settled in
// the sequence by what the write did, and one line in the report. Shared by
// brevane-cli program and station.
namespace serialprogram {

struct ModuleResult {
    std::string family;
    std::int32_t moduleIndex = 0;
    std::string oldSerial;                // as the search read it
    std::string serial;                   // the new serial; empty when none could be taken
    std::vector<std::string> skipped;     // serials passed over, each with why: "TK1 (held by a module ...)"
    moduleio::WriteResult write;          // what the write path said (when it ran)
    bool programmed = false;              // written, verified and counted as given
    std::string error;                    // why not, in words (take, write, settle or report)
    const char* Result() const { return programmed ? "programmed" : "failed"; }
};

// Why `serial` does not fit into the bytes a family writes (bytes 76 onward
// and its zero byte must all be writable); empty when it fits. Also refuses
// what SerialNumberProblem refuses.
std::string SerialFitProblem(const std::vector<ByteRange>& writable, const std::string& serial);
// The same for the registry family `familyName` (its WritableRanges).
std::string FamilySerialFitProblem(const FamilyRegistry& registry, const std::string& familyName, const std::string& serial);

// Where a module of the search is now: its module index, found again by its
// serial number (a module that left before it shifts those after it);
// nullopt when it is not found, or not once.
using Relocate = std::function<std::optional<std::int32_t>(const CDeviceInfo& module)>;

// Programs `module` (one found by the search, reached by its module index)
// with the next serial of `sequence`, skipping the serials in `inUse`.
// `options.expectSerial` is set to the module's serial from the search. When
// the module is not at its index any more (open or module check failed,
// nothing written), `relocate` (if given) is asked where it is and the write
// is tried there once, with the same serial.
ModuleResult ProgramModule(const FamilyRegistry& registry, const std::string& familyName, const CDeviceInfo& module, serialseq::Sequence& sequence,
                           const std::set<std::string>& inUse, const std::filesystem::path& backupDir,
                           programreport::Report* report, moduleio::WriteOptions options = {},
                           const Relocate& relocate = {});

}  // namespace serialprogram
