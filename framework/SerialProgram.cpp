#include "SerialProgram.h"

#include "ImageText.h"
#include "Registry.h"

namespace serialprogram {

std::string SerialFitProblem(const std::vector<ByteRange>& writable, const std::string& serial) {
    if (std::string problem = SerialNumberProblem(serial); !problem.empty()) return problem;
    // The same bound the write path holds each write to.
    const int longest = moduleio::LongestWritableSerial(writable);
    if (static_cast<int>(serial.size()) <= longest) return {};
    if (longest == 0) return "the family does not write the serial number's bytes";
    return "\"" + serial + "\" is too long: the family takes serial numbers of at most " + std::to_string(longest) +
           " characters";
}

std::string FamilySerialFitProblem(const FamilyRegistry& registry, const std::string& familyName, const std::string& serial) {
    const _DeviceInfo* row = registry.Find(familyName);
    auto family = row ? CreateFamily(row->family) : nullptr;
    if (!family) return "family \"" + familyName + "\" is not available in this build";
    return SerialFitProblem(family->WritableRanges(), serial);
}

ModuleResult ProgramModule(const FamilyRegistry& registry, const std::string& familyName, const CDeviceInfo& module, serialseq::Sequence& sequence,
                           const std::set<std::string>& inUse, const std::filesystem::path& backupDir,
                           programreport::Report* report, moduleio::WriteOptions options,
                           const Relocate& relocate) {
    ModuleResult r;
    r.family = familyName;
    r.moduleIndex = module.m_moduleIndex;
    r.oldSerial = module.m_serial;
    programreport::Line line;
    line.family = familyName;
    line.module = "module " + std::to_string(module.m_moduleIndex);
    line.oldSerial = module.m_serial;

    auto taken = sequence.Take(inUse);
    for (const auto& s : taken.skipped)
        r.skipped.push_back(s + (inUse.count(s) ? " (held by a module of the search)" : " (already given or failed)"));
    if (!taken.serial) {
        r.error = taken.error;
        line.result = "failed";
        line.failedStep = "sequence";
    } else {
        r.serial = *taken.serial;
        options.expectSerial = {module.m_serial};
        r.write = moduleio::WriteSerialNumber(registry, familyName, moduleio::ModuleChoice{module.m_moduleIndex, false},
                                              r.serial, backupDir, options);
        const bool elsewhere = !r.write.ok && r.write.backupFile.empty() &&
                               (r.write.failedStep == moduleio::WriteStep::Open ||
                                r.write.failedStep == moduleio::WriteStep::Confirm);
        if (elsewhere && relocate) {
            if (const auto now = relocate(module); now && *now != module.m_moduleIndex) {
                r.moduleIndex = *now;
                line.module = "module " + std::to_string(*now);
                r.write = moduleio::WriteSerialNumber(registry, familyName, moduleio::ModuleChoice{*now, false}, r.serial,
                                                      backupDir, options);
            }
        }
        // A write that never began gives its serial back; one that began and
        // did not verify may have left part of it in the module.
        const bool begun = r.write.failedStep >= moduleio::WriteStep::Write && !r.write.backupFile.empty();
        const auto outcome = r.write.ok ? serialseq::Outcome::Verified
                                        : (begun ? serialseq::Outcome::Failed : serialseq::Outcome::NotWritten);
        std::string settleError;
        const bool settled = sequence.Settle(r.serial, outcome, settleError);
        r.programmed = r.write.ok && settled;
        if (!r.write.ok)
            r.error = r.write.error;
        else if (!settled)
            r.error = "written and verified, but not counted in the sequence: " + settleError;
        line.newSerial = r.serial;
        line.result = r.Result();
        if (!r.write.ok) {
            line.failedStep = moduleio::WriteStepName(r.write.failedStep);
            line.failedChunk = r.write.failedChunk;
            line.chunkCount = r.write.chunkCount;
        } else if (!settled) {
            line.failedStep = "sequence";
        }
        line.backupFile = r.write.backupFile.string();
    }
    for (const auto& s : r.skipped) line.note += (line.note.empty() ? "skipped " : "; skipped ") + s;
    if (!r.error.empty()) line.note += (line.note.empty() ? "" : "; ") + r.error;
    if (report) {
        std::string reportError;
        if (!report->Append(line, reportError)) {
            r.programmed = false;
            r.error += (r.error.empty() ? "" : "; ") + reportError;
        }
    }
    return r;
}

}  // namespace serialprogram
