// The exported C interface: argument handling and result codes, over the
// device manager, the exchange patterns and the jobs.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DeviceManager.h"
#include "Exchange.h"
#include "Jobs.h"
#include "Timing.h"
#include "Wire.h"
#include "base/Log.h"
#include "platform/VersionNote.h"
#include "tavikapi.h"

using namespace tavik;

namespace {

constexpr const char* kLog = "tavikapi";
constexpr int kDefaultLimitMs = 2000;

// Runs one operation on the selected device with its lock held; 0 without
// any traffic when the selection lies outside the list or the device has no
// open channel.
template <typename F>
uint16_t OnSelected(F&& operation) {
    RecordPtr rec = Manager().Selected();
    if (!rec) return 0;
    std::lock_guard lock(rec->lock);
    if (!rec->channel) return 0;
    Link link{*rec->channel, RealTiming()};
    try {
        return operation(link) ? 1 : 0;
    } catch (const std::exception& e) {  // nothing may cross the C interface
        LOG_ERR(kLog, "exchange: %s", e.what());
        return 0;
    }
}

template <typename Rec>
Bytes BytesOf(const Rec& r) {
    return Bytes(r.bytes, sizeof r.bytes);
}

// A command with no output: request, Deadline of 2000 ms on its code.
uint16_t Simple(const Packet& request) {
    return OnSelected([&](Link link) { return Deadline(link, request, kDefaultLimitMs, ByCode(request[0]), nullptr); });
}

Packet WithPayload(std::uint8_t c, Bytes payload) {
    Packet p = Request(c);
    PutBytes(p, 2, payload);
    return p;
}

// Task upload and download for one model.
template <typename Task>
uint16_t SetTask(const Task& task) {
    return OnSelected([&](Link link) {
        if (!ChunkedUpload(link, TaskUploadRequests(BytesOf(task)))) return false;
        return Raw(link, Request(code::StoreTask), nullptr);
    });
}

template <typename Task>
uint16_t GetTask(Task* out, std::uint32_t a32, std::uint32_t b32) {
    if (!out) return 0;
    const auto a = static_cast<std::uint8_t>(a32), b = static_cast<std::uint8_t>(b32);
    return OnSelected([&](Link link) {
        Task task{};
        const std::size_t size = sizeof task.bytes;
        const unsigned chunks = TaskChunks(size);
        for (unsigned k = 0; k < chunks; ++k) {
            Packet reply{};
            auto match = [&](const Packet& r) { return MatchTask(r, k, a, b); };
            if (!Counted(link, TaskRequest(k, a, b), 6, match, &reply)) return false;
            // Reply bytes 6..63 to record bytes 1 + 58k on, cut at the record end.
            const std::size_t at = 1 + std::size_t{k} * kEepromData;
            std::memcpy(task.bytes + at, reply.data() + 6, std::min(kEepromData, size - at));
        }
        task.bytes[0] = a;
        *out = task;
        return true;
    });
}

// A whole log of `size` bytes in pieces of 60.
uint16_t GetLog(std::uint8_t* out, std::uint32_t number, std::size_t size) {
    if (!out) return 0;
    return OnSelected([&](Link link) {
        const auto pieces = static_cast<unsigned>((size + 59) / 60);
        std::vector<std::uint8_t> assembly(std::size_t{pieces} * 60);
        for (unsigned k = 0; k < pieces; ++k) {
            Packet reply{};
            auto match = [&](const Packet& r) { return MatchLog(r, number); };
            if (!Counted(link, LogPieceRequest(k, number), 6, match, &reply)) return false;
            std::memcpy(assembly.data() + std::size_t{k} * 60, reply.data() + 4, 60);
        }
        std::memcpy(out, assembly.data(), size);
        return true;
    });
}

bool ReadWholeFile(const char* path, std::vector<std::uint8_t>& out) {
    constexpr std::size_t kMaxImage = 16u * 1024 * 1024;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    if (size < 0 || static_cast<std::size_t>(size) > kMaxImage) return false;
    in.seekg(0);
    out.resize(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(out.data()), size);
    return static_cast<bool>(in);
}

// The body of a job: `run` with the device's lock held, then, when it did not
// end well, the failure report once the lock is let go. Whatever happens, the
// job ends with exactly one final report.
template <typename Run>
void RunJob(const RecordPtr& rec, Progress& progress, void (*reportFailed)(Progress&), Run&& run) {
    bool ok = false;
    try {
        std::lock_guard lock(rec->lock);
        if (rec->channel) {
            Link link{*rec->channel, RealTiming()};
            ok = run(link);
        }
    } catch (const std::exception& e) {
        LOG_ERR(kLog, "job: %s", e.what());
        ok = false;
    }
    if (!ok) reportFailed(progress);
}

int32_t StartDownloadChecked(ImageKind kind, const char* path, ProgressCallback cb) {
    DeviceManager& m = Manager();
    if (!m.jobs().TryClaim()) return TAVIK_DOWNLOAD_BUSY;
    // The job works on the bytes checked here: the path is not needed again,
    // and a file changed meanwhile cannot slip past the checks.
    std::vector<std::uint8_t> file;
    if (!path || !ReadWholeFile(path, file)) {
        LOG_INFO(kLog, "image %s not readable", path ? path : "(null)");
        m.jobs().Release();
        return TAVIK_DOWNLOAD_BAD_FILE;
    }
    const std::string why = CheckImage(kind, file, m.Type());
    if (!why.empty()) {
        LOG_INFO(kLog, "image %s refused: %s", path, why.c_str());
        m.jobs().Release();
        return TAVIK_DOWNLOAD_BAD_FILE;
    }
    RecordPtr rec = m.Selected();
    if (!rec || !rec->opened) {
        m.jobs().Release();
        return TAVIK_DOWNLOAD_NOT_OPENED;
    }
    // The job holds the record itself: a new detection meanwhile cannot pull
    // the device out from under it.
    const bool started = m.jobs().Start([rec, kind, cb, file = std::move(file), &m] {
        Progress progress(cb);
        RunJob(rec, progress, ReportDownloadFailed,
               [&](Link link) { return RunDownload(link, kind, file, progress, m.jobs().AbortFlag()); });
    });
    return started ? TAVIK_DOWNLOAD_STARTED : TAVIK_DOWNLOAD_BUSY;
}

int32_t StartDownload(ImageKind kind, const char* path, ProgressCallback cb) {
    try {
        return StartDownloadChecked(kind, path, cb);
    } catch (const std::exception& e) {  // out of memory for the image, say
        LOG_ERR(kLog, "download not started: %s", e.what());
        Manager().jobs().Release();
        return TAVIK_DOWNLOAD_BUSY;
    }
}

}  // namespace

/* ---- Frame, detection and selection ---- */

uint16_t Tavik_SetDeviceType(int32_t type) { return Manager().SetType(type) ? 1 : 0; }
uint16_t Tavik_DetectDevice(int32_t type) {
    try {
        return Manager().Detect(type) ? 1 : 0;
    } catch (const std::exception& e) {
        LOG_ERR(kLog, "detection: %s", e.what());
        return 0;
    }
}
int32_t Tavik_GetDeviceNumber(void) { return Manager().Count(); }
uint16_t Tavik_SelectDevice(int32_t index) { return Manager().Select(index) ? 1 : 0; }
uint16_t Tavik_ConnectToDevice(void) {
    try {
        return Manager().Connect() ? 1 : 0;
    } catch (const std::exception& e) {  // the device is left closed
        LOG_ERR(kLog, "connect: %s", e.what());
        return 0;
    }
}
uint16_t Tavik_FindDevice(void) {
    try {
        return Manager().Find() ? 1 : 0;
    } catch (const std::exception& e) {
        LOG_ERR(kLog, "find: %s", e.what());
        return 0;
    }
}
int32_t Tavik_TerminateProcess(void) { return Manager().Terminate(); }

uint16_t Tavik_GetDllVersion(char* buffer) {
    if (!buffer) return 0;
    std::string version;
    try {
        version = platform::ProductVersionOfRunningProgram();
    } catch (const std::exception& e) {
        LOG_ERR(kLog, "version: %s", e.what());
        return 0;
    }
    const std::size_t n = std::min<std::size_t>(version.size(), TAVIK_VERSION_TEXT_SIZE - 1);
    std::memcpy(buffer, version.data(), n);
    buffer[n] = '\0';
    return 1;
}

uint32_t Tavik_GetLibraryVersion(void) { return TAVIKAPI_VERSION; }

/* ---- Traffic, configuration, WLAN, registers ---- */

uint16_t Tavik_StartTx(uint32_t port) { return Simple(PortRequest(code::StartTx, port)); }
uint16_t Tavik_StopTx(uint32_t port) { return Simple(PortRequest(code::StopTx, port)); }
uint16_t Tavik_ClearCounter(uint32_t port) { return Simple(PortRequest(code::ClearCounter, port)); }

uint16_t Tavik_GetCounter(CounterRecord* record, uint32_t port) {
    if (!record) return 0;
    return OnSelected([&](Link link) {
        std::uint8_t assembly[240];
        for (unsigned k = 0; k < 4; ++k) {
            Packet reply{};
            const Packet request = CounterRequest(k, port);
            auto match = [&](const Packet& r) { return MatchEcho(r, request, 2, 3); };
            if (!Piece(link, request, 8, match, &reply)) return false;
            std::memcpy(assembly + 60 * k, reply.data() + 4, 60);
        }
        std::memcpy(record->bytes, assembly, 220);
        for (int i = 0; i < 4; ++i) record->bytes[220 + i] = static_cast<std::uint8_t>(port >> (8 * i));
        return true;
    });
}

uint16_t Tavik_SetLWTxConfig(TavikLWTxConfig config) { return Simple(WithPayload(code::TxConfig, BytesOf(config))); }
uint16_t Tavik_SetSWTxConfig(TavikSWTxConfig config) { return Simple(WithPayload(code::TxConfig, BytesOf(config))); }
uint16_t Tavik_SetPortProperty(TavikPortProperty p) {
    return Simple(WithPayload(code::PortProperty, BytesOf(p).first(14)));
}
uint16_t Tavik_SetEntryConfig(TavikEntryConfig c) {
    return Simple(WithPayload(code::EntryConfig, BytesOf(c).first(18)));
}
uint16_t Tavik_SetMediaConfig(uint32_t value) { return Simple(MediaConfigRequest(value)); }

uint16_t Tavik_GetMediaConfig(uint8_t* config) {
    if (!config) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!Deadline(link, Request(code::GetMediaConfig), kDefaultLimitMs, ByCode(code::GetMediaConfig), &reply))
            return false;
        std::memcpy(config, reply.data(), 64);
        return true;
    });
}

uint16_t Tavik_GetLinkStatus(uint32_t* status) {
    if (!status) return 0;
    RecordPtr rec = Manager().Selected();
    if (!rec || !rec->opened) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!Deadline(link, Request(code::LinkStatus), kDefaultLimitMs, ByCode(code::LinkStatus), &reply))
            return false;
        std::memcpy(status, reply.data() + 2, 4);
        return true;
    });
}

uint16_t Tavik_SendWlanCommand(TavikWlanCommand command) {
    const Packet request = WlanCommandRequest(BytesOf(command));
    return OnSelected([&](Link link) {
        return Deadline(link, request, WlanCommandLimitMs(request), ByCode(code::WlanCommand), nullptr,
                        kRetryPauseMs);
    });
}

uint16_t Tavik_GetWlanMessageLength(uint16_t* length) {
    if (!length) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!Deadline(link, Request(code::WlanLength), kDefaultLimitMs, ByCode(code::WlanLength), &reply))
            return false;
        std::memcpy(length, reply.data() + 2, 2);
        return true;
    });
}

uint16_t Tavik_GetWlanMessageData(uint8_t* data, uint32_t length32) {
    const std::size_t length = static_cast<std::uint16_t>(length32);
    if (length == 0) return 1;
    if (!data) return 0;
    return OnSelected([&](Link link) {
        const auto pieces = static_cast<unsigned>((length + 59) / 60);
        std::vector<std::uint8_t> assembly(std::size_t{pieces} * 60);  // sized from the length asked for
        for (unsigned j = 0; j < pieces; ++j) {
            Packet reply{};
            auto match = [&](const Packet& r) { return MatchWlanPiece(r, j); };
            if (!Piece(link, WlanPieceRequest(j), 6, match, &reply)) return false;
            std::memcpy(assembly.data() + std::size_t{j} * 60, reply.data() + 4, 60);
        }
        std::memcpy(data, assembly.data(), length);
        return true;
    });
}

uint16_t Tavik_SetWlanAttenuation(uint32_t value) { return Simple(PortRequest(code::SetWlanAtten, value)); }

uint16_t Tavik_GetWlanAttenuation(uint16_t* value) {
    if (!value) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!Deadline(link, Request(code::GetWlanAtten), kDefaultLimitMs, ByCode(code::GetWlanAtten), &reply))
            return false;
        std::memcpy(value, reply.data() + 2, 2);
        return true;
    });
}

uint16_t Tavik_ReadReg(uint32_t address, uint32_t* value) {
    if (!value) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        const Packet request = ReadRegRequest(address);
        auto match = [&](const Packet& r) { return MatchEcho(r, request, 2, 3); };
        if (!Counted(link, request, 3, match, &reply)) return false;
        std::memcpy(value, reply.data() + 4, 4);
        return true;
    });
}

uint16_t Tavik_WriteToReg(uint32_t address, uint32_t value) {
    return OnSelected(
        [&](Link link) { return Counted(link, WriteRegRequest(address, value), 3, ByCode(code::WriteReg), nullptr); });
}

uint16_t Tavik_GetFrame(uint8_t c, FrameRecord* frame) {
    if (!frame) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!BusyDeadline(link, Request(c), 0, kDefaultLimitMs, ByCode(c), &reply)) return false;
        frame->bytes[0] = c;
        frame->bytes[1] = reply[1];
        std::memcpy(frame->bytes + 4, reply.data() + 2, 62);
        return true;
    });
}

uint16_t Tavik_SendFrame(TavikRawFrame frame) {
    Packet request{};
    std::memcpy(request.data(), frame.bytes, 64);
    return OnSelected([&](Link link) { return Raw(link, request, nullptr); });
}

/* ---- Test runs, tasks, logs, system information, EEPROM ---- */

uint16_t Tavik_SetRGTestConfig(TavikRGTestConfig config) {
    const Packet request = RGTestConfigRequest(BytesOf(config));
    return OnSelected([&](Link link) { return ChunkedUpload(link, {request}); });
}

uint16_t Tavik_StartRGTest(void) {
    return OnSelected([](Link link) { return Raw(link, Request(code::RGTestStart), nullptr); });
}

uint16_t Tavik_StopRGTest(void) {
    return OnSelected([](Link link) { return Raw(link, Request(code::RGTestStop), nullptr); });
}

uint16_t Tavik_GetRGTestStatus(uint8_t* status) {
    if (!status) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!BusyDeadline(link, RGTestStatusRequest(), 0, 1500, ByCode(code::RGTestStatus), &reply)) return false;
        std::memcpy(status, reply.data() + 2, TAVIK_RG_TEST_STATUS_SIZE);
        return true;
    });
}

uint16_t Alda_SetTask(AldaTaskRecord task) { return SetTask(task); }
uint16_t Brisa_SetTask(BrisaTaskRecord task) { return SetTask(task); }
uint16_t Cygna_SetTask(CygnaTaskRecord task) { return SetTask(task); }
uint16_t Alda_GetTask(AldaTaskRecord* task, uint32_t a, uint32_t b) { return GetTask(task, a, b); }
uint16_t Brisa_GetTask(BrisaTaskRecord* task, uint32_t a, uint32_t b) { return GetTask(task, a, b); }
uint16_t Cygna_GetTask(CygnaTaskRecord* task, uint32_t a, uint32_t b) { return GetTask(task, a, b); }

uint16_t Tavik_GetLogNum(uint16_t* count) {
    if (!count) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!Counted(link, Request(code::LogNum), 6, ByCode(code::LogNum), &reply)) return false;
        std::memcpy(count, reply.data() + 2, 2);
        return true;
    });
}

uint16_t Tavik_GetLog_Piece(uint8_t* out, uint32_t log, uint32_t piece) {
    if (!out) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        auto match = [&](const Packet& r) { return MatchLog(r, log); };
        if (!Deadline(link, LogPieceRequest(piece, log), 5000, match, &reply)) return false;
        std::memcpy(out + 4, reply.data() + 4, 60);
        return true;
    });
}

uint16_t Alda_GetLog(uint8_t* log, uint32_t number) { return GetLog(log, number, TAVIK_ALDA_LOG_SIZE); }
uint16_t Brisa_GetLog(uint8_t* log, uint32_t number) { return GetLog(log, number, TAVIK_BRISA_LOG_SIZE); }
uint16_t Cygna_GetLog(uint8_t* log, uint32_t number) { return GetLog(log, number, TAVIK_CYGNA_LOG_SIZE); }

uint16_t Tavik_SetRunName(TavikRunName name) {
    const Packet request = WithPayload(code::SetRunName, BytesOf(name));
    return OnSelected([&](Link link) { return Counted(link, request, 6, ByCode(code::SetRunName), nullptr); });
}

uint16_t Tavik_GetRunName(uint8_t* name) {
    if (!name) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!Counted(link, Request(code::GetRunName), 6, ByCode(code::GetRunName), &reply)) return false;
        std::memcpy(name, reply.data() + 2, TAVIK_RUN_NAME_SIZE);
        return true;
    });
}

uint16_t Tavik_SetSysConfig(TavikSysConfig config) {
    const Packet request = WithPayload(code::SetSysConfig, BytesOf(config).first(TAVIK_SYS_CONFIG_SIZE));
    return OnSelected([&](Link link) { return Counted(link, request, 6, ByCode(code::SetSysConfig), nullptr); });
}

uint16_t Tavik_GetSysConfig(uint8_t* config) {
    if (!config) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!Counted(link, Request(code::GetSysConfig), 6, ByCode(code::GetSysConfig), &reply)) return false;
        std::memcpy(config, reply.data() + 2, TAVIK_SYS_CONFIG_SIZE);
        return true;
    });
}

// Offsets and lengths travel as 16-bit word numbers: an odd value, or an
// offset whose word number does not fit, would move other bytes than asked.
bool EepromRangeValid(std::uint32_t offset, std::uint32_t length) {
    return length <= kEepromData && offset % 2 == 0 && length % 2 == 0 && offset / 2 <= 0xFFFFu;
}

// An EEPROM exchange whose reply must echo the request's word address and
// word count. The 50 ms after a write request stays in both pacings: it may
// be the device's time to write its EEPROM.
bool EepromExchange(Link link, const Packet& request, int limitMs, Packet* reply) {
    const PauseFor purpose = request[0] == code::SetEeprom ? PauseFor::Settle : PauseFor::Reply;
    return BusyDeadline(link, request, 50, limitMs, [&](const Packet& r) { return MatchEcho(r, request, 2, 5); },
                        reply, purpose);
}

uint16_t Tavik_GetSystemInfo(SystemInfoRecord* info) {
    if (!info) return 0;
    RecordPtr rec = Manager().Selected();
    if (!rec || !rec->opened || Manager().jobs().Busy()) return 0;
    // A job claims the busy flag before it takes the lock: taking the lock
    // only while no job is claimed, and looking again once held, leaves no
    // window in which this runs beside or waits behind a job.
    for (;;) {
        if (Manager().jobs().Busy()) return 0;
        if (rec->lock.try_lock()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard held(rec->lock, std::adopt_lock);
    if (Manager().jobs().Busy()) return 0;
    return OnSelected([&](Link link) {
        Packet a{}, e32{}, b{}, e52{};
        if (!Counted(link, Request(code::SysInfoA), 6, ByCode(code::SysInfoA), &a)) return false;
        if (!EepromExchange(link, EepromReadRequest(32, 16), 2000, &e32)) return false;
        if (!Counted(link, Request(code::SysInfoB), 6, ByCode(code::SysInfoB), &b)) return false;
        if (!EepromExchange(link, EepromReadRequest(52, 6), 2000, &e52)) return false;
        const auto rec166 = AssembleSystemInfo(a, e32, b, e52);
        std::memcpy(info->bytes, rec166.data(), rec166.size());
        return true;
    });
}

uint16_t Tavik_SetEeprom(uint32_t offset, uint32_t length, EepromChunk chunk) {
    if (!EepromRangeValid(offset, length)) return 0;  // one report carries at most 58 bytes
    const Packet request = EepromWriteRequest(offset, length, BytesOf(chunk));
    return OnSelected([&](Link link) { return EepromExchange(link, request, 5000, nullptr); });
}

uint16_t Tavik_GetEeprom(uint32_t offset, uint32_t length, EepromChunk* chunk) {
    if (!chunk || !EepromRangeValid(offset, length)) return 0;
    return OnSelected([&](Link link) {
        Packet reply{};
        if (!EepromExchange(link, EepromReadRequest(offset, length), 2000, &reply)) return false;
        std::memcpy(chunk->bytes + 4, reply.data() + 6, kEepromData);
        return true;
    });
}

/* ---- Background jobs ---- */

int32_t Tavik_DownloadFirmware(const char* path, ProgressCallback progress) {
    return StartDownload(ImageKind::Firmware, path, progress);
}
int32_t Tavik_DownloadFPGA(const char* path, ProgressCallback progress) {
    return StartDownload(ImageKind::Fpga, path, progress);
}
int32_t Tavik_DownloadVessa(const char* path, ProgressCallback progress) {
    return StartDownload(ImageKind::PadData, path, progress);
}

namespace {

uint16_t StartClearLog(ProgressCallback cb) {
    DeviceManager& m = Manager();
    if (!m.jobs().TryClaim()) return 0;
    RecordPtr rec = m.Selected();
    if (!rec || !rec->opened) {
        m.jobs().Release();
        return 0;
    }
    const bool started = m.jobs().Start([rec, cb, &m] {
        Progress progress(cb);
        RunJob(rec, progress, ReportClearFailed, [&](Link link) {
            return RunClearLog(link, progress, m.jobs().AbortFlag(), [&] { return rec->opened.load(); });
        });
    });
    return started ? 1 : 0;
}

}  // namespace

uint16_t Tavik_ClearLog(ProgressCallback cb) {
    try {
        return StartClearLog(cb);
    } catch (const std::exception& e) {
        LOG_ERR(kLog, "log clearing not started: %s", e.what());
        Manager().jobs().Release();
        return 0;
    }
}
