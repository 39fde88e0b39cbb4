#include "CComm_Jessor.h"

#include <algorithm>
#include <cstring>

#include "base/Log.h"
#include "framework/Prompt.h"
#include "framework/Wait.h"
#include "platform/DynLib.h"
#include "platform/Socket.h"

IMPLEMENT_DYNCREATE(CComm_Jessor, CCommBase)

namespace {
constexpr const char* kLog = "jessor";
constexpr std::size_t kReplyCapacity = vorn::kDataOffset + vorn::kMaxTransfer;

// The newest Jessor object, for the library's call-back, which carries no
// context. The lock is held for the whole delivery, so an object is never
// destroyed while its call-back runs.
std::mutex g_newestLock;
CComm_Jessor* g_newest = nullptr;

std::mutex g_entriesLock;
const VornEntries* g_installed = nullptr;

struct LoadedVorn {
    platform::DynLib lib;
    VornEntries entries{};
    bool complete = false;
    LoadedVorn() {
        if (!lib.Load(kVornLibrary)) {
            LOG_WARN(kLog, "%s not found beside the program", kVornLibrary);
            return;
        }
        entries = {lib.Entry<decltype(VornEntries::GetServer)>("Zel_Vorn_SYS_GetServer"),
                   lib.Entry<decltype(VornEntries::Init)>("Zel_Vorn_SYS_Init"),
                   lib.Entry<decltype(VornEntries::Connect)>("Zel_Vorn_SYS_Connect"),
                   lib.Entry<decltype(VornEntries::ReadChassisEeprom)>("Zel_Vorn_ReadChassisEeprom"),
                   lib.Entry<decltype(VornEntries::WriteChassisEeprom)>("Zel_Vorn_WriteChassisEeprom"),
                   lib.Entry<decltype(VornEntries::LockPort)>("Zel_Vorn_Tenq_LockPort"),
                   lib.Entry<decltype(VornEntries::ReadEeprom)>("Zel_Vorn_Tenq_ReadEeprom"),
                   lib.Entry<decltype(VornEntries::WriteEeprom)>("Zel_Vorn_Tenq_WriteEeprom"),
                   lib.Entry<decltype(VornEntries::Exit)>("Zel_Vorn_SYS_Exit")};
        complete = entries.GetServer && entries.Init && entries.Connect && entries.ReadChassisEeprom &&
                   entries.WriteChassisEeprom && entries.LockPort && entries.ReadEeprom && entries.WriteEeprom &&
                   entries.Exit;
        if (!complete) LOG_WARN(kLog, "%s lacks entries", kVornLibrary);
    }
};

bool g_loaded = false;  // under g_entriesLock

LoadedVorn& Loaded() {
    {
        std::lock_guard<std::mutex> hold(g_entriesLock);
        g_loaded = true;
    }
    static LoadedVorn* loaded = new LoadedVorn;  // kept loaded to the end: its thread may still call back
    return *loaded;
}
}  // namespace

const VornEntries* VornLibrary() {
    {
        std::lock_guard<std::mutex> hold(g_entriesLock);
        if (g_installed) return g_installed;
    }
    LoadedVorn& l = Loaded();
    return l.complete ? &l.entries : nullptr;
}

void SetVornEntries(const VornEntries* entries) {
    std::lock_guard<std::mutex> hold(g_entriesLock);
    g_installed = entries;
}

void VornExit(bool evenIfUnused) {
    {
        std::lock_guard<std::mutex> hold(g_entriesLock);
        if (!evenIfUnused && !g_loaded) return;
    }
    if (const VornEntries* vorn = VornLibrary()) vorn->Exit();
}

CJessorCardSelDlg::CJessorCardSelDlg(std::vector<ChassisCard> cards, std::uint32_t modeWord)
    : CChassisCardSelDlg("Ilvane-Jessor Card Select", std::move(cards), vorn::kControllerType, vorn::CardTypeText,
                         modeWord == 0, kNote, kInitializeRefusal) {}

CComm_Jessor::CComm_Jessor() {
    m_reply.reserve(kReplyCapacity);
    std::lock_guard<std::mutex> hold(g_newestLock);
    g_newest = this;
}

CComm_Jessor::~CComm_Jessor() {
    std::lock_guard<std::mutex> hold(g_newestLock);
    if (g_newest == this) g_newest = nullptr;
}

void CComm_Jessor::OnMessage(const std::uint8_t* message, std::uint32_t length) {
    if (!message) return;
    std::lock_guard<std::mutex> hold(g_newestLock);
    if (g_newest) g_newest->Handle(wire::Bytes(message, length));
}

void CComm_Jessor::Handle(wire::Bytes message) {
    const auto code = vorn::MessageCode(message);
    if (!code) return;
    if (*code == vorn::kSlotTable) {
        const auto table = vorn::ParseSlotTable(message);
        if (!table) {
            LOG_WARN(kLog, "slot table of %zu bytes ignored (needs %zu)", message.size(), vorn::kSlotTableSize);
            return;
        }
        std::lock_guard<std::mutex> hold(m_lock);
        PORT controller{};
        std::copy(table->station.begin(), table->station.end(), controller.station);
        controller.slot = vorn::kControllerSlot;
        controller.cardType = vorn::kControllerType;
        m_ports.push_back(controller);
        for (const auto& card : table->cards) {
            PORT p = controller;
            p.slot = card.slot;
            p.cardType = card.cardType;
            m_ports.push_back(p);
        }
        m_portsReported.Raise();
        return;
    }
    if (vorn::IsEepromReply(*code)) {
        std::lock_guard<std::mutex> hold(m_lock);
        // Only the reply the outstanding transfer asked for is taken: another
        // one (a late answer to an earlier transfer) must not end its wait.
        if (*code != m_awaited) {
            LOG_WARN(kLog, "EEPROM reply 0x%02X answers no outstanding transfer: ignored", unsigned{*code});
            return;
        }
        // The buffer holds the largest reply a transfer asks for; a longer
        // message keeps only that much.
        m_reply.assign(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(
                                                              std::min(message.size(), kReplyCapacity)));
        m_replyArrived.Raise();
    }
}

BOOL CComm_Jessor::ChooseTarget() {
    std::vector<std::string> addresses;
    std::uint32_t list[10] = {};
    const VornEntries* vorn = VornLibrary();
    if (vorn && vorn->GetServer(list))
        for (std::uint32_t a : list) {
            if (!a) break;
            const std::string text = platform::FormatIpv4(a);
            if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.push_back(text);
        }
    // A search stopped meanwhile asks the user nothing more.
    if (StopRequested()) return FALSE;
    auto chosen = UserPrompt().ChooseAddress(addresses);
    if (!chosen) return FALSE;
    SetAddress(*chosen);
    return TRUE;
}

void CComm_Jessor::SetAddress(std::string address) {
    m_address = platform::ParseIpv4(address).value_or(0);
    m_addressText = std::move(address);
}

BOOL CComm_Jessor::Connect() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_ports.clear();
    }
    const VornEntries* vorn = VornLibrary();
    if (!vorn) return FALSE;
    vorn->Init(&CComm_Jessor::OnMessage, 0, 1475);
    m_portsReported.Clear();
    if (!vorn->Connect(m_address)) {
        LOG_WARN(kLog, "connect to %s refused by the library", m_addressText.c_str());
        return FALSE;
    }
    // Steps of 100 ms, each ended by the slot table (paced timing).
    for (int step = 0; step < kSlotTableSteps && !m_portsReported.Raised() && !StopRequested(); ++step)
        PaceFor(m_portsReported, 100);
    if (!m_portsReported.Raised()) LOG_WARN(kLog, "%s: no slot table within 5 s", m_addressText.c_str());
    return GetModuleCount() > 0 ? TRUE : FALSE;
}

std::int32_t CComm_Jessor::GetModuleCount() {
    std::lock_guard<std::mutex> hold(m_lock);
    return static_cast<std::int32_t>(m_ports.size());
}

std::vector<CComm_Jessor::PORT> CComm_Jessor::Ports() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_ports;
}

BOOL CComm_Jessor::OpenModule() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_index >= 0 && m_index < static_cast<std::int32_t>(m_ports.size())) {
        m_current = m_ports[static_cast<std::size_t>(m_index)];
        m_havePick = false;
        return TRUE;
    }
    // After the card dialog the list is gone; its pick stays reachable.
    return m_havePick ? TRUE : FALSE;
}

void CComm_Jessor::Disconnect() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_ports.clear();
}

BOOL CComm_Jessor::SelectCardWithTarget() {
    if (!ChooseTarget()) return FALSE;
    if (!Connect()) {
        UserPrompt().ShowMessage(kNotDetected, "Brevane");
        CloseModule();
        Disconnect();
        return FALSE;
    }
    const std::vector<PORT> ports = Ports();
    std::vector<ChassisCard> cards;
    for (const auto& p : ports) cards.push_back({p.slot, p.cardType});
    CJessorCardSelDlg dlg(cards, m_modeWord);
    BOOL ok = FALSE;
    if (UserPrompt().ChooseCard(dlg) && dlg.Result()) {
        const CardPick& pick = *dlg.Result();
        const PORT& p = ports[static_cast<std::size_t>(pick.row)];
        m_chosen.Take(pick, p.slot);
        m_mode = pick.mode;
        m_index = pick.row;
        m_current = p;
        m_havePick = true;
        m_pick = CardChoice{pick.row, m_chosen.ModuleText(), static_cast<int>(pick.mode)};
        ok = TRUE;
    }
    CloseModule();
    Disconnect();
    return ok;
}

BOOL CComm_Jessor::Transfer(std::uint8_t* readBuffer, const std::uint8_t* writeBuffer, std::int32_t length) {
    const VornEntries* vorn = VornLibrary();
    if (!vorn || length < 0) return FALSE;
    const bool write = writeBuffer != nullptr;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), vorn::kMaxTransfer);
    VORN_LOCATION_DATA block{};
    std::copy(m_current.station, m_current.station + 6, block.where.station);
    block.where.one = 1;
    block.where.start = 0;
    block.where.count = static_cast<std::uint16_t>(n);
    if (write && n) std::memcpy(block.data, writeBuffer, n);

    const bool controller = m_current.cardType == vorn::kControllerType;
    const std::uint16_t expected = controller ? (write ? vorn::kWriteController : vorn::kReadController)
                                              : (write ? vorn::kWriteCard : vorn::kReadCard);
    const VORN_PORT port{{m_current.station[0], m_current.station[1], m_current.station[2], m_current.station[3],
                          m_current.station[4], m_current.station[5]},
                         m_current.slot,
                         m_current.cardType};
    const std::uint32_t slotType = VORN_SLOT_TYPE(m_current.slot, m_current.cardType);
    const bool modify = m_mode != 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_awaited = expected;
        m_reply.clear();
        m_replyArrived.Clear();
    }
    // No reply is awaited any more once this transfer ends, however it ends.
    struct Done {
        CComm_Jessor& self;
        ~Done() {
            std::lock_guard<std::mutex> hold(self.m_lock);
            self.m_awaited = 0;
        }
    } done{*this};
    if (controller) {
        if (!(write ? vorn->WriteChassisEeprom(block) : vorn->ReadChassisEeprom(block.where))) return FALSE;
    } else {
        if (modify && !vorn->LockPort(&port, slotType, 1, 0)) return FALSE;
        const std::int32_t sent = write ? vorn->WriteEeprom(&port, slotType, 1, block, modify ? 0 : 1)
                                        : vorn->ReadEeprom(&port, slotType, 1, block.where, modify ? 0 : 1);
        if (!sent) return FALSE;
        if (modify && !vorn->LockPort(&port, slotType, 1, 1)) return FALSE;
    }
    // Steps of 200 ms, each ended by the reply (paced timing). A read may end
    // early when the search is stopped; a write runs to its end.
    for (int step = 0; step < kReplySteps && !m_replyArrived.Raised() && (write || !StopRequested()); ++step)
        PaceFor(m_replyArrived, 200, !write);
    // The extra second after a read. Only the answer to this transfer raises
    // the flag, and the call-back copies the whole message before raising it:
    // once raised, nothing more can come, so paced timing ends here; a reply
    // still missing is waited for up to the full second.
    if (!write) PaceFor(m_replyArrived, kReadSettleMs);
    if (!m_replyArrived.Raised()) {
        LOG_WARN(kLog, "%s slot %u: no %s reply within 10 s", m_addressText.c_str(), m_current.slot,
                 write ? "write" : "read");
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    const wire::Bytes reply(m_reply);
    if (vorn::MessageCode(reply) != expected) {
        LOG_WARN(kLog, "slot %u: reply 0x%02X to a request for 0x%02X", m_current.slot,
                 vorn::MessageCode(reply).value_or(0), expected);
        return FALSE;
    }
    if (write) return TRUE;
    const auto data = vorn::ReplyData(reply, n);
    if (!data) {
        LOG_WARN(kLog, "slot %u: read reply of %zu bytes is short of %zu data bytes", m_current.slot, reply.size(), n);
        return FALSE;
    }
    std::copy(data->begin(), data->end(), readBuffer);
    return TRUE;
}

BOOL CComm_Jessor::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    if (length > 0 && !buffer) return FALSE;
    return Transfer(buffer, nullptr, length);
}

BOOL CComm_Jessor::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    if (length > 0 && !buffer) return FALSE;
    static const std::uint8_t none = 0;
    return Transfer(nullptr, buffer ? buffer : &none, length);
}

std::string CComm_Jessor::GetModuleText() {
    const PORT p = m_current;
    if (p.cardType == vorn::kControllerType) return vorn::CardTypeText(p.cardType) + " ";
    return vorn::CardTypeText(p.cardType) + " (Slot " + std::to_string(static_cast<unsigned>(p.slot) + 2u) + ")";
}
