#include "CComm_Orvel.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "base/Log.h"
#include "framework/Wait.h"
#include "platform/DynLib.h"
#include "platform/Process.h"
#include "platform/Shell.h"

IMPLEMENT_DYNCREATE(CComm_Orvel, CCommBase)

namespace {
constexpr const char* kLog = "orvel";
constexpr const char* kLocalServer = "127.0.0.1";

// The newest Orvel object, for the library's call-back, which carries no
// context; held for the whole delivery so that no object dies under it.
std::mutex g_newestLock;
CComm_Orvel* g_newest = nullptr;

std::mutex g_entriesLock;
const ZelEntries* g_installed = nullptr;

struct LoadedZel {
    platform::DynLib lib;
    platform::DynLib check;
    ZelEntries entries{};
    bool complete = false;
    LoadedZel() {
        if (!lib.Load(kZelLibrary)) LOG_WARN(kLog, "%s not found beside the program", kZelLibrary);
        if (!check.Load(kZelCheckLibrary)) LOG_WARN(kLog, "%s not found beside the program", kZelCheckLibrary);
        if (!lib.IsLoaded()) return;
        entries.Init = lib.Entry<decltype(entries.Init)>("Zel_SYS_Init");
        entries.ConnectToServer = lib.Entry<decltype(entries.ConnectToServer)>("Zel_SYS_ConnectToServer");
        entries.TerminateProcess = lib.Entry<decltype(entries.TerminateProcess)>("Zel_SYS_TerminateProcess");
        entries.GetVerNum = lib.Entry<decltype(entries.GetVerNum)>("Zel_SYS_GetVerNum");
        entries.LockPortStatus = lib.Entry<decltype(entries.LockPortStatus)>("Zel_LockPortStatus_RdFile");
        entries.UnLockPortStatus = lib.Entry<decltype(entries.UnLockPortStatus)>("Zel_UnLockPortStatus_RdFile");
        if (check.IsLoaded()) entries.DiscoverServer = check.Entry<decltype(entries.DiscoverServer)>("ZelAPI_DiscoverServer");
        entries.Find = [](const char* name) { return Loaded().lib.Symbol(name); };
        complete = entries.Init && entries.ConnectToServer && entries.TerminateProcess && entries.GetVerNum &&
                   entries.LockPortStatus && entries.UnLockPortStatus;
        if (!complete) LOG_WARN(kLog, "%s lacks entries", kZelLibrary);
    }
    static LoadedZel& Loaded() {
        static LoadedZel* loaded = new LoadedZel;  // kept to the end: its thread may still call back
        return *loaded;
    }
};

template <class Fn>
Fn Entry(const ZelEntries& zel, const std::string& name) {
    return name.empty() ? nullptr : reinterpret_cast<Fn>(zel.Find(name.c_str()));
}

std::uint8_t* Buffer(const ZelEntries& zel, const std::string& name) {
    return name.empty() ? nullptr : static_cast<std::uint8_t*>(zel.Find(name.c_str()));
}

// The lock-request file: one per process and write, in the user's own runtime
// directory, so no other user or second instance shares it.
std::filesystem::path LockFileName(const std::filesystem::path& dir) {
    static std::atomic<unsigned> counter{0};
    return dir / ("orvel-lock-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".txt");
}
}  // namespace

const ZelEntries* ZelLibrary() {
    {
        std::lock_guard<std::mutex> hold(g_entriesLock);
        if (g_installed) return g_installed;
    }
    LoadedZel& l = LoadedZel::Loaded();
    return l.complete ? &l.entries : nullptr;
}

void SetZelEntries(const ZelEntries* entries) {
    std::lock_guard<std::mutex> hold(g_entriesLock);
    g_installed = entries;
}

std::string ZelVersionLine() {
    const ZelEntries* zel = ZelLibrary();
    if (!zel) return {};
    char text[256] = {};
    zel->GetVerNum(text);
    text[sizeof text - 1] = '\0';
    return "ZelAPI v" + std::string(text);
}

std::string COrvelCardSelDlg::CardType(const orvel::_portinfo& p) {
    // The traffic generator's sub-item is its port: it has one catalogue entry.
    const orvel::ModelEntry* e = p.model == orvel::kTrafficGenerator ? orvel::FirstWithCode(p.model)
                                                                      : orvel::FirstWithCode(p.model, p.subItem);
    return e ? e->name : "Unknown";
}

std::vector<std::string> COrvelCardSelDlg::Row(int row) const {
    if (row < 0 || row >= RowCount()) return {};
    const auto& p = m_ports[static_cast<std::size_t>(row)];
    return {std::to_string(row + 1), orvel::Identifier(p), CardType(p)};
}

std::string COrvelCardSelDlg::Accept(int row, int) {
    if (row < 0 || row >= RowCount()) return kSelectCard;
    const auto& p = m_ports[static_cast<std::size_t>(row)];
    m_result = Pick{p, row, CardType(p)};
    return {};
}

CComm_Orvel::CComm_Orvel() : m_catalogue(orvel::Catalogue()) {
    std::lock_guard<std::mutex> hold(g_newestLock);
    g_newest = this;
}

CComm_Orvel::~CComm_Orvel() {
    std::lock_guard<std::mutex> hold(g_newestLock);
    if (g_newest == this) g_newest = nullptr;
}

void CComm_Orvel::OnMessage(const std::uint8_t* message, std::uint32_t length) {
    if (!message) return;
    std::lock_guard<std::mutex> hold(g_newestLock);
    if (g_newest) g_newest->Handle(wire::Bytes(message, length));
}

void CComm_Orvel::Handle(wire::Bytes message) {
    const auto code = orvel::MessageCode(message);
    if (!code) return;
    if (*code == orvel::kPortReport) {
        auto list = orvel::ParsePortReport(message);
        if (!list) {
            LOG_WARN(kLog, "port report of %zu bytes ignored", message.size());
            return;
        }
        std::lock_guard<std::mutex> hold(m_lock);
        m_ports = std::move(*list);
        m_portsReported.Raise();
    } else if (*code == orvel::kEepromData) {
        auto data = orvel::ParseEepromData(message);
        if (!data) {
            LOG_WARN(kLog, "EEPROM-data message of %zu bytes ignored", message.size());
            return;
        }
        std::lock_guard<std::mutex> hold(m_lock);
        const orvel::_portinfo& want = m_awaitedPlace;
        if (m_awaiting != Awaiting::Data || data->chassis != want.chassis || data->slot != want.slot ||
            data->port != want.port) {
            LOG_WARN(kLog, "EEPROM data for card (%u, %u, %u) answers no outstanding read: ignored",
                     unsigned{data->chassis}, unsigned{data->slot}, unsigned{data->port});
            return;
        }
        m_reply = *data;
        m_replyArrived.Raise();
    } else if (*code == orvel::kWriteDone) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_awaiting != Awaiting::WriteDone) {
            LOG_WARN(kLog, "write acknowledgement outside a write: ignored");
            return;
        }
        m_replyArrived.Raise();
    }
}

void CComm_Orvel::Await(Awaiting what, const orvel::_portinfo& place) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_awaiting = what;
    m_awaitedPlace = place;
    m_reply.reset();
    m_replyArrived.Clear();
}

void CComm_Orvel::ListCatalogue(std::vector<std::string>& names) const {
    for (const auto& e : m_catalogue) names.push_back(e.name);
}

std::vector<std::string> CComm_Orvel::DiscoverServers() {
    std::vector<std::string> list;
    const ZelEntries* zel = ZelLibrary();
    std::uint8_t area[256] = {};
    if (zel && zel->DiscoverServer && zel->DiscoverServer(area, 1)) {
        std::uint32_t count = 0;
        std::memcpy(&count, area, 4);
        count = std::min<std::uint32_t>(count, 50);  // what the 256-byte area holds
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint8_t* e = area + 4 + 5 * i;
            char text[16];
            std::snprintf(text, sizeof text, "%u.%u.%u.%u", e[0], e[1], e[2], e[3]);
            list.push_back(text);
        }
    }
    list.push_back(kLocalServer);
    return list;
}

BOOL CComm_Orvel::ChooseTarget() {
    const auto servers = DiscoverServers();
    // A search stopped meanwhile asks the user nothing more.
    if (StopRequested()) return FALSE;
    auto chosen = UserPrompt().ChooseAddress(servers);
    if (!chosen) return FALSE;
    SetAddress(*chosen);
    return TRUE;
}

std::int32_t CComm_Orvel::GetModuleCount() {
    std::lock_guard<std::mutex> hold(m_lock);
    return static_cast<std::int32_t>(m_ports.size());
}

std::vector<orvel::_portinfo> CComm_Orvel::Ports() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_ports;
}

// Steps of 50 ms, each ended by the report (paced timing), at most 30.
BOOL CComm_Orvel::WaitForReport(std::optional<int> serverPid) {
    for (int step = 0; step < kReportSteps && !m_portsReported.Raised() && !StopRequested(); ++step) {
        if (serverPid && !platform::ProcessAlive(*serverPid)) {
            LOG_WARN(kLog, "the chassis server ended while waiting for its report");
            return FALSE;
        }
        PaceFor(m_portsReported, 50);
    }
    return TRUE;
}

// Paced timing's wait for a server this family has just started: the server
// is ready once it takes a connection, so it is asked every few milliseconds
// until it does, its start-up time (the fixed wait of original timing) has
// passed, it has ended or the search is stopped. True when connected.
bool CComm_Orvel::ConnectToStartedServer(const ZelEntries& zel, int serverPid) {
    const auto deadline = WaitClock::now() + std::chrono::milliseconds(kServerStartMs);
    const int ended = platform::OpenExitHandle(serverPid);  // readable once the server has ended
    bool connected = false;
    while (!StopRequested() && platform::ProcessAlive(serverPid)) {
        if (zel.ConnectToServer(m_server.c_str()) == 1) {
            connected = true;
            break;
        }
        const auto now = WaitClock::now();
        if (now >= deadline) break;
        WaitReadableUntil(ended, std::min(deadline, now + std::chrono::milliseconds(kServerProbeMs)));
    }
    if (ended >= 0) ::close(ended);
    return connected;
}

BOOL CComm_Orvel::Connect() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_ports.clear();
    }
    const ZelEntries* zel = ZelLibrary();
    if (!zel) return FALSE;
    std::optional<int> started;
    if (m_server == kLocalServer && !platform::FindProcess(kZelServerName)) {
        // Beside the program, or in the installed programs' private directory.
        const auto program = platform::OutsideProgramPath(kZelServerName);
        const auto pid = platform::StartProgram(program, program.parent_path());
        if (!pid) {
            LOG_WARN(kLog, "cannot start %s", program.c_str());
        } else {
            LOG_INFO(kLog, "started the local chassis server (process %d)", static_cast<int>(*pid));
            started = static_cast<int>(*pid);
            // Paced timing waits for the server itself, after the call-back
            // is registered (ConnectToStartedServer).
            if (OriginalTiming()) WaitPumping(kServerStartMs);
        }
    }
    zel->Init(&CComm_Orvel::OnMessage, 255);
    m_portsReported.Clear();
    if (started) {
        // A server not ready within its start-up time gets the 30 attempts.
        bool connected = !OriginalTiming() && ConnectToStartedServer(*zel, *started);
        for (int attempt = 0; attempt < kServerAttempts && !connected && !StopRequested(); ++attempt) {
            if (attempt) FixedWait(500);
            if (!platform::ProcessAlive(*started)) {
                LOG_WARN(kLog, "the chassis server ended during the connection attempts");
                return FALSE;
            }
            connected = zel->ConnectToServer(m_server.c_str()) == 1;
        }
        if (!connected || !WaitForReport(started)) return FALSE;
    } else {
        if (zel->ConnectToServer(m_server.c_str()) != 1) {
            LOG_WARN(kLog, "chassis server %s unreachable", m_server.c_str());
            return FALSE;
        }
        WaitForReport(std::nullopt);
    }
    return GetModuleCount() > 0 ? TRUE : FALSE;
}

BOOL CComm_Orvel::OpenModule() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_index >= 0 && m_index < static_cast<std::int32_t>(m_ports.size())) {
        m_current = m_ports[static_cast<std::size_t>(m_index)];
        m_moduleName = COrvelCardSelDlg::CardType(m_current);
        m_havePick = false;
        return TRUE;
    }
    // After the card dialog the list is gone; its pick stays reachable.
    return m_havePick ? TRUE : FALSE;
}

void CComm_Orvel::Disconnect() {
    if (const ZelEntries* zel = ZelLibrary()) zel->TerminateProcess();
    std::lock_guard<std::mutex> hold(m_lock);
    m_ports.clear();
    m_ports.shrink_to_fit();
}

BOOL CComm_Orvel::Pick(bool withTarget) {
    if (withTarget && !ChooseTarget()) return FALSE;
    const BOOL connected = Connect();
    if (withTarget && !connected) {
        UserPrompt().ShowMessage("Can't connect to ZelServer!", "Brevane");
        CloseModule();
        Disconnect();
        return FALSE;
    }
    if (!withTarget) OpenModule();
    const auto ports = Ports();
    if (withTarget && ports.empty()) {
        UserPrompt().ShowMessage("No active ports!", "Brevane");
        CloseModule();
        Disconnect();
        return FALSE;
    }
    COrvelCardSelDlg dlg(ports);
    CloseModule();
    // The server connection stays open for the transfer that follows the pick.
    if (!UserPrompt().ChooseCard(dlg) || !dlg.Result()) {
        Disconnect();
        return FALSE;
    }
    m_current = dlg.Result()->port;
    m_index = dlg.Result()->row;
    m_moduleName = dlg.Result()->typeText;
    m_havePick = true;
    m_pick = CardChoice{m_index, m_moduleName + " (chassis " + std::to_string(m_current.chassis) + ", slot " +
                                     std::to_string(m_current.slot) + ", port " + std::to_string(m_current.port) + ")",
                        std::nullopt};
    std::lock_guard<std::mutex> hold(m_lock);
    m_ports.clear();
    return TRUE;
}

BOOL CComm_Orvel::SelectCardWithTarget() { return Pick(true); }
BOOL CComm_Orvel::SelectCard() { return Pick(false); }

BOOL CComm_Orvel::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    const ZelEntries* zel = ZelLibrary();
    if (!zel || length < 0 || length > 256 || (length > 0 && !buffer)) return FALSE;
    const orvel::_portinfo c = m_current;
    Await(Awaiting::Data, c);
    const orvel::ModelEntry* first = orvel::FirstWithCode(c.model);
    if (first && first->sharedModule) {
        const auto shared = orvel::SharedPair();
        auto read = Entry<ZelRead3>(*zel, shared.read);
        if (std::uint8_t* b = Buffer(*zel, shared.buffer)) std::memset(b, 0, 256);
        if (read) read(c.chassis, c.slot, c.port);
    }
    const auto pair = orvel::PairOf(c.model);
    if (!pair.read.empty()) {
        if (std::uint8_t* b = Buffer(*zel, pair.buffer)) std::memset(b, 0, 256);
        switch (pair.kind) {
        case orvel::PairKind::StandAlone:
            if (auto f = Entry<ZelRead3>(*zel, pair.read)) f(c.chassis, c.slot, c.port);
            break;
        case orvel::PairKind::ChassisPart:
            if (auto f = Entry<ZelRead4>(*zel, pair.read)) f(c.chassis, c.slot, c.port, c.subItem);
            break;
        case orvel::PairKind::LocationBlock: {
            std::uint8_t block[20];
            std::memset(block, 0xFF, sizeof block);
            block[0] = static_cast<std::uint8_t>(c.chassis >> 8);
            block[1] = static_cast<std::uint8_t>(c.chassis);
            block[2] = c.slot;
            block[3] = c.port;
            if (auto f = Entry<ZelBlock>(*zel, pair.read)) f(c.chassis, c.slot, c.port, block);
            break;
        }
        default: break;
        }
        // Kept in both modes: it may be the traffic generator's own time.
        if (c.model == orvel::kTrafficGenerator) FixedWait(200);
    }
    for (int step = 0; step < kReplySteps && !m_replyArrived.Raised() && !StopRequested(); ++step)
        PaceFor(m_replyArrived, 50);
    // The extra second after the polls. Only the answer to this request
    // raises the flag, and the call-back hands it over whole before raising
    // it: once raised, nothing more can come, so paced timing ends here; a
    // reply still missing is waited for up to the full second.
    PaceFor(m_replyArrived, kReadSettleMs);
    std::lock_guard<std::mutex> hold(m_lock);
    m_awaiting = Awaiting::Nothing;
    if (!m_replyArrived.Raised() || !m_reply) {
        LOG_WARN(kLog, "card %s: no EEPROM data within 4 s", orvel::Identifier(c).c_str());
        return FALSE;
    }
    std::copy_n(m_reply->bytes.begin(), length, buffer);
    return TRUE;
}

BOOL CComm_Orvel::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    const ZelEntries* zel = ZelLibrary();
    if (!zel || length < 0 || length > 256 || (length > 0 && !buffer)) return FALSE;
    const orvel::_portinfo c = m_current;
    const orvel::ModelEntry* first = orvel::FirstWithCode(c.model);
    std::filesystem::path lockFile;
    if (first && first->portModule) {
        const auto dir = platform::RuntimeDirectory();
        if (dir.empty()) {
            LOG_WARN(kLog, "no private runtime directory for the lock request");
            return FALSE;
        }
        lockFile = LockFileName(dir);
        {
            std::ofstream f(lockFile, std::ios::binary | std::ios::trunc);
            f << c.chassis << ',' << unsigned{c.slot} << ',' << unsigned{c.port} << "\r\n";
        }
        if (zel->LockPortStatus(lockFile.c_str()) == 0) {
            LOG_WARN(kLog, "card %s: the server refused the lock", orvel::Identifier(c).c_str());
            std::error_code ec;
            std::filesystem::remove(lockFile, ec);
            return FALSE;
        }
    }
    Await(Awaiting::WriteDone, c);
    std::uint8_t data[256] = {};
    std::copy_n(buffer, length, data);
    if (first && first->sharedModule) {
        const auto shared = orvel::SharedPair();
        if (std::uint8_t* b = Buffer(*zel, shared.buffer)) std::memcpy(b, data, 256);
        if (auto f = Entry<ZelWrite3>(*zel, shared.write)) f(c.chassis, c.slot, c.port, 0, 128);
    }
    const auto pair = orvel::PairOf(c.model);
    if (!pair.write.empty()) {
        if (std::uint8_t* b = Buffer(*zel, pair.buffer)) std::memcpy(b, data, 256);
        switch (pair.kind) {
        case orvel::PairKind::StandAlone:
            if (auto f = Entry<ZelWrite3>(*zel, pair.write)) f(c.chassis, c.slot, c.port, 0, 128);
            break;
        case orvel::PairKind::ChassisPart:
            if (auto f = Entry<ZelWrite4>(*zel, pair.write)) f(c.chassis, c.slot, c.port, c.subItem, 0, 128);
            break;
        case orvel::PairKind::LocationBlock: {
            std::uint8_t block[262] = {static_cast<std::uint8_t>(c.chassis >> 8), static_cast<std::uint8_t>(c.chassis),
                                       c.slot, c.port, 0x00, 0x80};
            std::memcpy(block + 6, data, 256);
            if (auto f = Entry<ZelBlock>(*zel, pair.write)) f(c.chassis, c.slot, c.port, block);
            break;
        }
        case orvel::PairKind::SharedExtra: {
            std::uint8_t block[68] = {static_cast<std::uint8_t>(c.chassis >> 8), static_cast<std::uint8_t>(c.chassis),
                                      c.slot, c.port};
            std::memset(block + 4, 0xFF, 16);
            if (auto f = Entry<ZelBlock>(*zel, pair.write)) f(c.chassis, c.slot, c.port, block);
            break;
        }
        case orvel::PairKind::None: break;
        }
        // Kept in both modes: it may be the traffic generator's own time.
        if (c.model == orvel::kTrafficGenerator) FixedWait(3000, false);
    }
    // A write runs to its end: Stop does not cut these waits short.
    for (int step = 0; step < kReplySteps && !m_replyArrived.Raised(); ++step) PaceFor(m_replyArrived, 50, false);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_awaiting = Awaiting::Nothing;
    }
    if (!lockFile.empty()) {
        zel->UnLockPortStatus(lockFile.c_str());
        std::error_code ec;
        std::filesystem::remove(lockFile, ec);
    }
    const bool acknowledged = m_replyArrived.Raised();
    if (!acknowledged) LOG_WARN(kLog, "card %s: no write acknowledgement within 3 s", orvel::Identifier(c).c_str());
    return acknowledged ? TRUE : FALSE;
}

std::string CComm_Orvel::GetModuleText() {
    if (m_moduleName.empty()) return {};
    return m_moduleName + orvel::Identifier(m_current);
}
