#include "CComm_Hevra5160.h"

#include <algorithm>

#include "CardSelDlg.h"
#include "UdpExchange.h"
#include "base/Log.h"
#include "framework/Prompt.h"
#include "framework/TransferNote.h"
#include "framework/Wait.h"

IMPLEMENT_DYNCREATE(CComm_Hevra5160, CCommBase)

namespace {
constexpr const char* kLog = "hevra";
constexpr const char* kNotDetected = "Can't detect Hevra - 5160!";
}  // namespace

BOOL CHevra5160::Discover() { return Discover(platform::LocalIPv4Addresses()); }

BOOL CHevra5160::Discover(const std::vector<std::string>& hostAddresses) {
    m_cards.clear();
    for (const auto& local : hostAddresses) {
        bool identified = false;
        for (int pass = 0; pass < kPasses && !identified && !StopRequested(); ++pass) identified = Pass(local);
        // One chassis at most: the first that answered.
        if (!m_cards.empty()) break;
    }
    m_tcp.Close();
    if (!m_cards.empty()) m_current = 0;
    return m_cards.empty() ? FALSE : TRUE;
}

bool CHevra5160::Pass(const std::string& local) {
    std::string chassis;
    {
        platform::UdpSocket udp;
        if (!udp.Create(local)) {
            LOG_WARN(kLog, "cannot bind a socket to %s", local.c_str());
            return false;
        }
        udp.EnableBroadcast();
        const std::string target = m_device.empty() ? udpx::kBroadcast : m_device;
        if (!udp.SendTo(hevra::DiscoveryPacket(), target, hevra::kDiscoveryPort))
            LOG_WARN(kLog, "discovery to %s on %s not sent", target.c_str(), local.c_str());
        // One chassis at most: once one is listed (its identify failed in an
        // earlier pass), only it is asked again, never a second one.
        const std::string listed = m_cards.empty() ? std::string{} : m_cards.front().deviceAddress;
        auto reply = udpx::PollForReply(udp, kDiscoveryPolls, [&](const platform::Datagram& d) {
            // The program's own broadcast comes back from the interface's address.
            return d.sender != local && (listed.empty() || d.sender == listed) && hevra::IsDiscoveryReply(d.bytes);
        });
        if (!reply) return false;
        chassis = reply->sender;
    }
    const bool listed = std::any_of(m_cards.begin(), m_cards.end(),
                                    [&](const HEVRA5160_CARD_INFO& c) { return c.deviceAddress == chassis; });
    if (!listed) m_cards.push_back({0, hevra::kControllerType, chassis, local});
    auto controller = std::find_if(m_cards.begin(), m_cards.end(),
                                   [&](const HEVRA5160_CARD_INFO& c) { return c.deviceAddress == chassis; });
    const std::size_t controllerIndex = static_cast<std::size_t>(controller - m_cards.begin());
    LOG_INFO(kLog, "chassis %s answered on %s", chassis.c_str(), local.c_str());

    if (!ConnectTcp(chassis)) {
        LOG_WARN(kLog, "chassis %s: no TCP connection", chassis.c_str());
        m_tcp.Close();
        return false;
    }
    auto identifyReply = Request(hevra::IdentifyRequest(), hevra::kIdentify, 0, false);
    auto identity = identifyReply ? hevra::ParseIdentifyReply(*identifyReply) : std::nullopt;
    if (!identity) {
        LOG_WARN(kLog, "chassis %s: no identify reply", chassis.c_str());
        m_tcp.Close();
        return false;
    }
    m_cards[controllerIndex].chassisId = identity->chassisId;
    m_cards[controllerIndex].station = identity->station;

    auto tableReply = Request(hevra::SlotTableRequest(*identity), hevra::kSlotTable, 0, true);
    auto table = tableReply ? hevra::ParseSlotTable(*tableReply) : std::nullopt;
    if (!table) {
        LOG_WARN(kLog, "chassis %s: no slot table", chassis.c_str());
    } else {
        for (const auto& e : *table)
            if (hevra::IsCardPresent(e.presence))
                m_cards.push_back({e.slot, e.cardType, chassis, local, identity->chassisId, identity->station});
    }
    m_tcp.Close();
    return true;
}

bool CHevra5160::WaitReadableFor(int milliseconds, bool stoppable) {
    return WaitReadableUntil(m_tcp.Descriptor(), WaitClock::now() + std::chrono::milliseconds(milliseconds), stoppable);
}

// The wait after a connect lets the connection come up: paced timing ends it
// once the connect has ended (either way), original timing sits it out. The
// connection is then taken only if it is up.
bool CHevra5160::ConnectTcp(const std::string& address) {
    if (!m_tcp.StartConnect(address, hevra::kTcpPort)) return false;
    if (OriginalTiming()) {
        FixedWait(kConnectWaitMs);
    } else {
        // Short slices, each a blocking wait on the socket, so that a stop is
        // seen within one.
        constexpr auto kStopSlice = std::chrono::milliseconds(20);
        const auto deadline = WaitClock::now() + std::chrono::milliseconds(kConnectWaitMs);
        for (;;) {
            if (StopRequested()) break;  // as a stopped fixed wait: the connection is taken if up
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - WaitClock::now());
            if (left.count() <= 0) break;
            if (m_tcp.ConnectEnded(static_cast<int>(std::min(left, kStopSlice).count()))) break;
        }
    }
    return m_tcp.WaitConnected(0);
}

std::optional<std::vector<std::uint8_t>> CHevra5160::Request(const std::vector<std::uint8_t>& request,
                                                             std::uint16_t requestCode, std::uint16_t byteCount,
                                                             bool partialTableAllowed) {
    const std::uint16_t expected = hevra::ReplyCode(requestCode);
    const std::size_t needed = hevra::NeededReplyLength(requestCode, byteCount);
    // A stop ends the wait for a search's reply, never a write's: a write
    // runs to its end.
    const bool write = requestCode == hevra::kWriteController || requestCode == hevra::kWriteCard;
    const bool stoppable = !write;
    const int fd = m_tcp.Descriptor();
    // Whatever is still waiting belongs to an earlier request.
    m_tcp.Drain();
    if (!m_tcp.Send(request)) return std::nullopt;
    // The pauses before the attempts let the reply arrive: paced timing ends
    // them once reply bytes wait (PaceReadable), original timing sits them out.
    if (requestCode == hevra::kIdentify || requestCode == hevra::kSlotTable)
        PaceReadable(fd, kIdentifyPauseMs, stoppable);
    std::vector<std::uint8_t> pending;
    // A slot table shorter than sixteen entries is whole once it ends on an
    // entry boundary and nothing more follows within one readable wait.
    const auto wholeTable = [&] {
        return partialTableAllowed && hevra::CodeOf(pending) == expected && hevra::HoldsWholeSlotEntries(pending);
    };
    // After a reply other than the awaited one, the next attempt comes after
    // the full pause in both timings: a chassis that keeps sending other
    // replies is read at the old pace.
    bool other = false;
    for (int attempt = 0; attempt < kReplyAttempts; ++attempt) {
        if (stoppable && StopRequested()) break;
        if (other)
            FixedWait(kAttemptPauseMs, stoppable);
        else
            PaceReadable(fd, kAttemptPauseMs, stoppable);
        other = false;
        // The wait for the receive event ends when data waits, in both timings.
        if (!WaitReadableFor(kReadableWaitMs, stoppable)) {
            if (wholeTable()) return pending;
            PaceReadable(fd, udpx::kPollPauseMs, stoppable);
            continue;
        }
        bool closed = false;
        auto got = m_tcp.ReceiveAvailable(hevra::kReceiveLimit - pending.size(), closed);
        if (closed && got.empty()) {
            LOG_WARN(kLog, "connection closed while waiting for reply 0x%04X", expected);
            break;
        }
        // A reply split by the stream gathers over the next attempts.
        switch (hevra::GatherReply(pending, got, expected, needed)) {
        case hevra::Gathered::Complete: return pending;
        case hevra::Gathered::Dropped:
            LOG_DBG(kLog, "a reply other than 0x%04X ignored", expected);
            other = true;
            break;
        case hevra::Gathered::NeedMore:
            if (wholeTable() && !WaitReadableFor(kReadableWaitMs, stoppable)) return pending;
            break;
        }
    }
    if (partialTableAllowed && hevra::CodeOf(pending) == expected) return pending;
    return std::nullopt;
}

BOOL CHevra5160::Open() {
    if (m_current < 0 || m_current >= static_cast<std::int32_t>(m_cards.size())) return FALSE;
    if (!ConnectTcp(m_cards[static_cast<std::size_t>(m_current)].deviceAddress)) {
        m_tcp.Close();
        return FALSE;
    }
    return TRUE;
}

BOOL CHevra5160::Transfer(std::uint8_t* readBuffer, const std::uint8_t* writeBuffer, std::int32_t length) {
    if (m_current < 0 || m_current >= static_cast<std::int32_t>(m_cards.size()) || !m_tcp.IsOpen()) return FALSE;
    if (length > udpx::kMaxWordAddressedLength) return FALSE;
    const HEVRA5160_CARD_INFO card = m_cards[static_cast<std::size_t>(m_current)];
    const bool write = writeBuffer != nullptr;
    const std::uint16_t code = hevra::EepromCode(card.cardType, write);
    const std::size_t chunks = wire::ChunkCount(length, hevra::kChunk);
    for (std::size_t k = 0; k < chunks; ++k) {
        // A read of a stopped search ends between chunks; a write never does.
        if (!write && StopRequested()) return FALSE;
        const std::size_t n = wire::ChunkLength(length, hevra::kChunk, k);
        const std::size_t offset = k * hevra::kChunk;
        const auto request =
            hevra::EepromRequest(card.cardType, write, card.station, card.slot, static_cast<std::uint16_t>(offset / 2),
                                 static_cast<std::uint16_t>(n), write ? wire::Bytes(writeBuffer + offset, n) : wire::Bytes{});
        auto reply = Request(request, code, static_cast<std::uint16_t>(n), false);
        if (!reply) {
            LOG_WARN(kLog, "%s %s slot %u chunk %zu: no reply", write ? "write" : "read", card.deviceAddress.c_str(),
                     card.slot, k);
            transfer::NoteFailedChunk(k, chunks);
            return FALSE;
        }
        if (!write) {
            // The chunk's bytes, and only those that arrived.
            auto data = hevra::ReadReplyData(*reply, code, static_cast<std::uint16_t>(n));
            if (!data) return FALSE;
            std::copy(data->begin(), data->end(), readBuffer + offset);
        }
    }
    return TRUE;
}

BOOL CHevra5160::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    if (length > 0 && !buffer) return FALSE;
    return Transfer(buffer, nullptr, length);
}

BOOL CHevra5160::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    if (length > 0 && !buffer) return FALSE;
    static const std::uint8_t none = 0;
    return Transfer(nullptr, buffer ? buffer : &none, length);
}

BOOL CComm_Hevra5160::ChooseTarget() { return ChooseChassisTarget<CHevra5160>(*this); }

BOOL CComm_Hevra5160::SelectCardWithTarget() {
    const auto chosen = RunCardSelection(*this, kNotDetected, [&] {
        std::vector<ChassisCard> cards;  // what the search found
        for (const auto& c : m_socket.m_cards) cards.push_back({c.slot, c.cardType});
        return std::make_unique<CHevraCardSelDlg>(cards);
    });
    if (!chosen) return FALSE;
    m_chosen.Take(*chosen, m_socket.m_cards[static_cast<std::size_t>(chosen->row)].slot);
    m_socket.m_current = chosen->row;
    m_pick = CardChoice{chosen->row, GetModuleText(), std::nullopt};  // no mode controls
    return TRUE;
}

void CComm_Hevra5160::SetModuleIndex(std::int32_t index) {
    m_socket.m_current = index;
    m_chosen.index = index;
    // The module text follows the entry made current.
    if (index >= 0 && index < GetModuleCount()) {
        const auto& c = m_socket.m_cards[static_cast<std::size_t>(index)];
        m_chosen.Take(index, c.slot, c.cardType, hevra::CardTypeText(c.cardType));
    }
}

BOOL CComm_Hevra5160::OpenModule() {
    m_socket.m_current = m_chosen.index;
    m_socket.Close();
    return m_socket.Open();
}

std::string CComm_Hevra5160::GetModuleText() {
    if (m_chosen.cardType == hevra::kControllerType) return m_chosen.typeText + " ";
    return m_chosen.ModuleText();
}
