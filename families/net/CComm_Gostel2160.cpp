#include "CComm_Gostel2160.h"

#include <algorithm>

#include "CardSelDlg.h"
#include "UdpExchange.h"
#include "base/Log.h"
#include "framework/Prompt.h"
#include "framework/TransferNote.h"
#include "framework/Wait.h"

IMPLEMENT_DYNCREATE(CComm_Gostel2160, CCommBase)

namespace {
constexpr const char* kLog = "gostel";
constexpr const char* kNotDetected = "Can't detect Gostel - 2160!";
}  // namespace

BOOL CUDPGostel::Discover() { return Discover(platform::LocalIPv4Addresses()); }

BOOL CUDPGostel::Discover(const std::vector<std::string>& hostAddresses) {
    m_cards.clear();
    const std::vector<std::string> interfaces = m_local.empty() ? hostAddresses : std::vector<std::string>{m_local};
    const std::string target = m_device.empty() ? udpx::kBroadcast : m_device;
    const auto request = gostel::DiscoveryRequest();
    for (const auto& local : interfaces) {
        if (!m_socket.Create(local)) {
            LOG_WARN(kLog, "cannot bind a socket to %s; discovery ends", local.c_str());
            break;
        }
        m_socket.EnableBroadcast();
        for (int cycle = 0; cycle < kDiscoveryCycles && !StopRequested(); ++cycle) {
            if (!m_socket.SendTo(request, target, gostel::kPort))
                LOG_WARN(kLog, "discovery to %s on %s not sent", target.c_str(), local.c_str());
            int misses = 0;
            bool woke = false;  // the last pause ended on a waiting datagram
            for (int polls = 0; misses < kDiscoveryMisses && polls < udpx::kMaxDiscoveryPolls; ++polls) {
                if (StopRequested()) break;
                const bool fromSocket = m_pending.empty();
                auto d = NextDatagram();
                const bool accepted = d && gostel::IsDiscoveryReply(d->bytes);
                if (accepted) {
                    misses = 0;
                    const bool known = std::any_of(m_cards.begin(), m_cards.end(),
                                                   [&](const _card_info& c) { return c.deviceAddress == d->sender; });
                    if (!known) AddChassis(d->sender, local);
                } else {
                    ++misses;
                }
                // The pause lets the next reply arrive; one kept from the
                // slot-table polls is there already (paced timing goes on at
                // once, original timing pauses as ever).
                if (!m_pending.empty() && !OriginalTiming()) {
                    woke = false;
                    continue;
                }
                woke = udpx::PauseAfterPoll(
                    m_socket, udpx::OtherThanAwaited(d.has_value(), accepted, fromSocket && woke));
            }
        }
        if (!m_cards.empty()) break;
    }
    LOG_DBG(kLog, "%zu entries found", m_cards.size());
    m_pending.clear();
    m_socket.Close();
    if (!m_cards.empty()) m_current = 0;
    return m_cards.empty() ? FALSE : TRUE;
}

std::optional<platform::Datagram> CUDPGostel::NextDatagram() {
    if (m_pending.empty()) return m_socket.ReceiveFrom();
    auto d = std::move(m_pending.front());
    m_pending.pop_front();
    return d;
}

// Discovery replies of other chassis that arrive while one chassis is asked
// for its slot table are kept for the discovery loop (bounded).
void CUDPGostel::KeepIfDiscovery(platform::Datagram d) {
    if (gostel::IsDiscoveryReply(d.bytes) && m_pending.size() < kMaxPending) m_pending.push_back(std::move(d));
}

void CUDPGostel::AddChassis(const std::string& chassis, const std::string& local) {
    LOG_INFO(kLog, "chassis %s answered on %s", chassis.c_str(), local.c_str());
    m_cards.push_back({0, gostel::kControllerType, chassis, local});
    // What is waiting now is no slot table (none was asked for yet), but it
    // may be other chassis' discovery replies.
    for (int i = 0; i < 256; ++i) {
        auto d = m_socket.ReceiveFrom();
        if (!d) break;
        KeepIfDiscovery(std::move(*d));
    }
    if (!m_socket.SendTo(gostel::SlotTableRequest(), chassis, gostel::kPort))
        LOG_WARN(kLog, "slot-table request to %s not sent", chassis.c_str());
    std::optional<platform::Datagram> reply;
    bool woke = false;  // the last pause ended on a waiting datagram
    for (int poll = 0; poll < kSlotTablePolls && !reply && !StopRequested(); ++poll) {
        auto d = m_socket.ReceiveFrom();
        if (d && d->sender == chassis && gostel::ParseSlotTable(d->bytes))
            reply = std::move(d);
        else {
            const bool other = udpx::OtherThanAwaited(d.has_value(), false, woke);
            if (d) KeepIfDiscovery(std::move(*d));
            woke = udpx::PauseAfterPoll(m_socket, other);
        }
    }
    if (!reply) {
        LOG_WARN(kLog, "chassis %s: no slot table", chassis.c_str());
        return;
    }
    const auto entries = *gostel::ParseSlotTable(reply->bytes);
    LOG_DBG(kLog, "chassis %s: slot table of %zu entries", chassis.c_str(), entries.size());
    for (const auto& entry : entries)
        if (gostel::IsCardPresent(entry.status)) m_cards.push_back({entry.slot, entry.cardType, chassis, local});
}

BOOL CUDPGostel::Open() {
    if (m_current < 0 || m_current >= static_cast<std::int32_t>(m_cards.size())) return FALSE;
    const _card_info& card = m_cards[static_cast<std::size_t>(m_current)];
    m_local = card.localAddress;
    m_device = card.deviceAddress;
    if (!m_socket.Create(m_local)) return FALSE;
    m_socket.EnableBroadcast();
    return TRUE;
}

BOOL CUDPGostel::Transfer(std::uint8_t* readBuffer, const std::uint8_t* writeBuffer, std::int32_t length) {
    if (m_current < 0 || m_current >= static_cast<std::int32_t>(m_cards.size())) return FALSE;
    if (length > udpx::kMaxWordAddressedLength || (length > 0 && !readBuffer && !writeBuffer)) return FALSE;
    const _card_info card = m_cards[static_cast<std::size_t>(m_current)];
    const bool write = writeBuffer != nullptr;
    // The card dialog allows Initialize only for its first two rows (the
    // controller and one card); a card further down the list, made current
    // by index rather than through the dialog, is written in Modify mode.
    const std::uint32_t mode =
        write && m_mode == gostel::kModeInitialize && m_current >= 2 ? gostel::kModeModify : m_mode;
    const std::uint16_t sub = gostel::SubCommand(card.cardType, mode, write);
    const std::size_t chunks = wire::ChunkCount(length, gostel::kChunk);
    for (std::size_t k = 0; k < chunks; ++k) {
        // A read of a stopped search ends between chunks; a write never does.
        if (!write && StopRequested()) return FALSE;
        const std::size_t n = wire::ChunkLength(length, gostel::kChunk, k);
        const std::size_t offset = k * gostel::kChunk;
        const auto request = gostel::EepromRequest(
            sub, card.slot, static_cast<std::uint16_t>(offset / 2), static_cast<std::uint16_t>(n),
            write ? wire::Bytes(writeBuffer + offset, n) : wire::Bytes{});
        const auto word = static_cast<std::uint16_t>(offset / 2);
        auto reply = udpx::Exchange(m_socket, request, m_device, gostel::kPort, kEepromPolls,
                                    [&](const platform::Datagram& d) {
                                        return d.sender == m_device && gostel::IsEepromReply(d.bytes, sub, word);
                                    },
                                    !write);  // a write's polls are never cut
        if (!reply) {
            LOG_WARN(kLog, "%s %s slot %u chunk %zu: no reply", write ? "write" : "read", m_device.c_str(),
                     card.slot, k);
            transfer::NoteFailedChunk(k, chunks);
            return FALSE;
        }
        // Only the bytes the caller asked for reach its buffer.
        if (!write) std::copy_n(gostel::EepromData(reply->bytes, sub)->begin(), n, readBuffer + offset);
    }
    return TRUE;
}

BOOL CUDPGostel::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    if (length > 0 && !buffer) return FALSE;
    return Transfer(buffer, nullptr, length);
}

BOOL CUDPGostel::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    if (length > 0 && !buffer) return FALSE;
    static const std::uint8_t none = 0;
    return Transfer(nullptr, buffer ? buffer : &none, length);
}

BOOL CComm_Gostel2160::ChooseTarget() { return ChooseChassisTarget<CUDPGostel>(*this); }

BOOL CComm_Gostel2160::Connect() { return m_socket.Discover(); }

BOOL CComm_Gostel2160::SelectCardWithTarget() {
    const auto chosen = RunCardSelection(*this, kNotDetected, [&] {
        std::vector<ChassisCard> cards;  // what the search found
        for (const auto& c : m_socket.m_cards) cards.push_back({c.slot, c.cardType});
        return std::make_unique<CGostelCardSelDlg>(cards, m_modeWord);
    });
    if (!chosen) return FALSE;
    m_chosen.Take(*chosen, m_socket.m_cards[static_cast<std::size_t>(chosen->row)].slot);
    m_mode = chosen->mode;
    m_socket.m_current = chosen->row;
    m_pick = CardChoice{chosen->row, m_chosen.ModuleText(), static_cast<int>(chosen->mode)};
    return TRUE;
}

void CComm_Gostel2160::SetModuleIndex(std::int32_t index) {
    m_socket.m_current = index;
    m_chosen.index = index;
    // The module text follows the entry made current.
    if (index >= 0 && index < GetModuleCount()) {
        const auto& c = m_socket.m_cards[static_cast<std::size_t>(index)];
        m_chosen.Take(index, c.slot, c.cardType, gostel::CardTypeText(c.cardType));
    }
}

BOOL CComm_Gostel2160::OpenModule() {
    m_socket.m_current = m_chosen.index;
    m_socket.m_mode = m_mode;
    return m_socket.Open();
}

std::string CComm_Gostel2160::GetModuleText() { return m_chosen.ModuleText(); }
