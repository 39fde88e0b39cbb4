// The commands that reach one module: read, write and set-serial, all
// through the one module path (module check, backup, write, read back,
// compare, restore command).
#include <cstdio>
#include <filesystem>

#include "CliPrompt.h"
#include "Commands.h"
#include "Interrupt.h"
#include "Json.h"
#include "LastSearch.h"
#include "Output.h"
#include "framework/ImageText.h"
#include "framework/Job.h"
#include "framework/ModuleIo.h"
#include "families/Registry.h"
#include "framework/Registry.h"

namespace cli {

namespace {

bool NeedFamilyAndModule(const Options& o, const char* cmd, std::string& error) {
    if (!o.family || (!o.module && !o.card)) {
        error = std::string(cmd) + ": --family NAME and --module N (or --card ROW) are required";
        return false;
    }
    if (o.module && o.card) {
        error = std::string(cmd) + ": give --module N or --card ROW, not both";
        return false;
    }
    if (o.mode && !o.card) {
        error = std::string(cmd) + ": --mode goes with --card";
        return false;
    }
    const _DeviceInfo* row = BuiltInFamilies().Find(*o.family);
    if (!row) {
        error = std::string(cmd) + ": unknown family \"" + *o.family + "\"";
        return false;
    }
    // Only the chassis families (those that ask for a target) select cards.
    if (o.card && row->needsTarget != 1) {
        error = std::string(cmd) + ": \"" + *o.family + "\" has no card selection; use --module";
        return false;
    }
    if (o.target && row->needsTarget != 1) {
        error = std::string(cmd) + ": --target: \"" + *o.family + "\" takes no target address";
        return false;
    }
    return true;
}

moduleio::ModuleChoice ChoiceOf(const Options& o) {
    if (o.card) return {*o.card - 1, true};
    return {*o.module, false};
}

// The module as messages name it.
std::string ModuleName(const Options& o) {
    return o.card ? "card " + std::to_string(*o.card) : "module " + std::to_string(*o.module);
}

// A failure carries what the dialog or the family said (a refusal of the card
// selection, a chassis that was not detected, no address to go to).
std::string WithPromptMessage(const Options&, std::string error) {
    if (g_prompt && !g_prompt->LastMessage().empty()) error += " (" + g_prompt->LastMessage() + ")";
    return error;
}

// Where the previous image went and how to put it back, on standard error.
void TellBackup(const char* cmd, const moduleio::WriteResult& result) {
    if (result.backupFile.empty()) return;
    std::fprintf(stderr, "%s: previous image saved to %s\n", cmd, result.backupFile.c_str());
    std::fprintf(stderr, "%s: to put it back: %s\n", cmd, result.restoreCommand.c_str());
}

moduleio::WriteOptions WriteOptionsOf(const Options& o) {
    moduleio::WriteOptions options;
    options.expectSerial = o.expectSerial;
    options.cardMode = o.mode;
    options.aboutToWrite = [command = o.command, expect = !o.expectSerial.empty()](const std::string& module) {
        std::fprintf(stderr, "%s: writing %s%s\n", command.c_str(), module.c_str(),
                     expect ? " (serial number as expected)" : "");
    };
    return options;
}

}  // namespace

int CmdRead(const Options& o) {
    std::string error;
    if (!NeedFamilyAndModule(o, "read", error)) return Fail(kExitUsage, error);
    if (!o.expectSerial.empty()) return Fail(kExitUsage, "read: --expect-serial goes with write and set-serial");
    if (!o.positional.empty()) return Fail(kExitUsage, "read: unexpected argument \"" + o.positional[0] + "\"");
    moduleio::ReadResult result;
    {
        JobScope job(JobKind::Search);
        result = moduleio::ReadImage(BuiltInFamilies(), *o.family, ChoiceOf(o));
    }
    if (cli::Interrupted()) return Fail(cli::kExitInterrupted, "read: stopped; nothing read");
    if (!result.ok) return Fail(kExitFailed, WithPromptMessage(o, "read: " + result.error));
    if (o.output) {
        if (!moduleio::SaveImageFile(*o.output, result.image, error)) return Fail(kExitFailed, "read: " + error);
    }
    if (o.json) {
        std::printf("{\"ok\":true,\"family\":%s,\"%s\":%d,\"serial\":%s,\"image\":\"%s\"}\n",
                    JsonString(*o.family).c_str(), o.card ? "card" : "module", o.card ? *o.card : *o.module,
                    JsonString(SerialNumberOf(result.image)).c_str(), Hex(result.image).c_str());
    } else {
        if (!o.output || o.show) std::fputs(FormatImageView(result.image).c_str(), stdout);
        if (o.output)
            std::fprintf(stderr, "read: %s of %s saved to %s (S/N %s)\n", ModuleName(o).c_str(), o.family->c_str(),
                         o.output->c_str(), PrintableSerial(result.image).c_str());
    }
    return kExitOk;
}

int CmdWrite(const Options& o) {
    std::string error;
    if (!NeedFamilyAndModule(o, "write", error)) return Fail(kExitUsage, error);
    if (o.positional.size() != 1) return Fail(kExitUsage, "write: give exactly one image FILE");
    auto image = moduleio::LoadImageFile(o.positional[0], error);
    if (!image) return Fail(kExitUsage, "write: " + error + "; nothing written");

    // The module being written is not "another" module: a card chosen by its
    // dialog row is the search's module of that list index.
    const std::int32_t itself = o.module ? *o.module : *o.card - 1;
    for (const auto& same : moduleio::SameSerialAs(*image, LoadLastSearch(), *o.family, itself))
        std::fprintf(stderr, "write: warning: serial number \"%s\" is already that of %s module %d\n",
                     Latin1ToUtf8(same.m_serial).c_str(), same.m_model.c_str(), same.m_moduleIndex);

    const auto dir = o.backupDir ? std::filesystem::path(*o.backupDir) : moduleio::DefaultBackupDir();
    moduleio::WriteResult result;
    {
        JobScope job(JobKind::Write);  // Ctrl-C waits for its end
        result = moduleio::WriteImage(BuiltInFamilies(), *o.family, ChoiceOf(o), *image, dir, WriteOptionsOf(o));
    }
    TellBackup("write", result);
    if (!result.ok) {
        const std::string message = WithPromptMessage(o, "write: " + result.error);
        if (!o.json) return Fail(kExitFailed, message);
        std::printf("{\"ok\":false,\"error\":%s,\"step\":%s,\"chunk\":%d,\"chunks\":%d,\"serial\":%s,"
                    "\"backup\":%s,\"restore\":%s}\n",
                    JsonString(message).c_str(), JsonString(moduleio::WriteStepName(result.failedStep)).c_str(),
                    result.failedChunk, result.chunkCount, JsonString(result.moduleSerial).c_str(),
                    JsonString(result.backupFile.string()).c_str(), JsonString(result.restoreCommand).c_str());
        return kExitFailed;
    }
    if (!result.keptBytes.empty())
        std::fprintf(stderr, "write: %s keeps %s of its image as they are: they were not written and not compared\n",
                     o.family->c_str(), result.keptBytes.c_str());
    if (o.json)
        std::printf("{\"ok\":true,\"family\":%s,\"%s\":%d,\"serial\":%s,\"backup\":%s,\"restore\":%s,\"kept\":%s,"
                    "\"kept_differing\":%s}\n",
                    JsonString(*o.family).c_str(), o.card ? "card" : "module", o.card ? *o.card : *o.module,
                    JsonString(SerialNumberOf(*image)).c_str(), JsonString(result.backupFile.string()).c_str(),
                    JsonString(result.restoreCommand).c_str(), JsonString(result.keptBytes).c_str(),
                    JsonString(result.keptDiffering).c_str());
    else if (!result.keptDiffering.empty())
        std::printf("written, but not all of the image: %s %s, S/N %s; it kept %s unchanged although the image "
                    "differs there\n",
                    o.family->c_str(), ModuleName(o).c_str(), Latin1ToUtf8(SerialNumberOf(*image)).c_str(),
                    result.keptDiffering.c_str());
    else
        std::printf("written and verified: %s %s, S/N %s%s\n", o.family->c_str(), ModuleName(o).c_str(),
                    Latin1ToUtf8(SerialNumberOf(*image)).c_str(),
                    result.keptBytes.empty() ? "" : (" (the instrument keeps " + result.keptBytes + ")").c_str());
    return kExitOk;
}

int CmdSetSerial(const Options& o) {
    std::string error;
    if (!NeedFamilyAndModule(o, "set-serial", error)) return Fail(kExitUsage, error);
    if (o.positional.size() != 1) return Fail(kExitUsage, "set-serial: give exactly one new serial number");
    const std::string& serial = o.positional[0];
    if (const auto problem = SerialNumberProblem(serial); !problem.empty())
        return Fail(kExitUsage, "set-serial: " + problem + "; nothing written");

    for (const auto& same : moduleio::SameSerialAs(serial, LoadLastSearch(), *o.family, o.module ? *o.module : *o.card - 1))
        std::fprintf(stderr, "set-serial: warning: serial number \"%s\" is already that of %s module %d\n",
                     same.m_serial.c_str(), same.m_model.c_str(), same.m_moduleIndex);

    const auto dir = o.backupDir ? std::filesystem::path(*o.backupDir) : moduleio::DefaultBackupDir();
    moduleio::WriteResult result;
    {
        JobScope job(JobKind::Write);  // Ctrl-C waits for its end
        result = moduleio::WriteSerialNumber(BuiltInFamilies(), *o.family, ChoiceOf(o), serial, dir, WriteOptionsOf(o));
    }
    TellBackup("set-serial", result);
    const std::string message = WithPromptMessage(o, "set-serial: " + result.error);
    if (o.json) {
        std::string out = std::string("{\"ok\":") + (result.ok ? "true" : "false");
        if (!result.ok)
            out += ",\"error\":" + JsonString(message) + ",\"step\":" +
                   JsonString(moduleio::WriteStepName(result.failedStep));
        out += ",\"family\":" + JsonString(*o.family) + ",\"" + (o.card ? "card" : "module") +
               "\":" + std::to_string(o.card ? *o.card : *o.module);
        // The module's serial number is known once its image was read.
        if (result.ok || result.failedStep >= moduleio::WriteStep::Confirm)
            out += ",\"old_serial\":" + JsonString(result.moduleSerial);
        out += ",\"serial\":" + JsonString(serial);
        if (!result.backupFile.empty())
            out += ",\"backup\":" + JsonString(result.backupFile.string()) +
                   ",\"restore\":" + JsonString(result.restoreCommand);
        if (result.ok) out += ",\"kept_differing\":" + JsonString(result.keptDiffering);
        std::printf("%s}\n", out.c_str());
    } else if (!result.ok) {
        std::fprintf(stderr, "brevane-cli: %s\n", message.c_str());
    } else {
        std::printf("serial number set and verified: %s %s, S/N %s (was %s)%s\n", o.family->c_str(),
                    ModuleName(o).c_str(), serial.c_str(), result.moduleSerial.c_str(),
                    result.keptDiffering.empty()
                        ? ""
                        : ("; it kept " + result.keptDiffering + " unchanged although the image differs there").c_str());
    }
    return result.ok ? kExitOk : kExitFailed;
}

}  // namespace cli
