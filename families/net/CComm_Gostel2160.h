#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "GostelProtocol.h"
#include "CardSelDlg.h"
#include "framework/CCommBase.h"
#include "platform/Socket.h"

struct _card_info {
    std::uint8_t slot;          // 0-15; the chassis controller entry has 0
    std::uint16_t cardType;
    std::string deviceAddress;  // the chassis
    std::string localAddress;   // the interface through which it answered
};

// The Gostel socket: discovery and slot tables over UDP, then EEPROM chunks to
// the chosen card.
class CUDPGostel {
public:
    static constexpr int kDiscoveryCycles = 3;
    static constexpr int kDiscoveryMisses = 5;
    static constexpr int kSlotTablePolls = 50;
    static constexpr int kEepromPolls = 150;

    // Discovery on the local address when one is set, else on every local
    // interface (the given list, or the host's).
    BOOL Discover();
    BOOL Discover(const std::vector<std::string>& hostAddresses);

    BOOL Open();  // binds to the current entry's interface
    void Close() { m_socket.Close(); }
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length);
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length);

    std::string m_device;  // empty: not chosen (discovery broadcasts)
    std::string m_local;   // empty: every interface
    std::vector<_card_info> m_cards;
    std::int32_t m_current = 0;
    std::uint32_t m_mode = gostel::kModeInitialize;

private:
    static constexpr std::size_t kMaxPending = 64;
    void AddChassis(const std::string& chassis, const std::string& local);
    std::optional<platform::Datagram> NextDatagram();
    void KeepIfDiscovery(platform::Datagram d);
    std::deque<platform::Datagram> m_pending;  // discovery replies not yet handled
    BOOL Transfer(std::uint8_t* readBuffer, const std::uint8_t* writeBuffer, std::int32_t length);
    platform::UdpSocket m_socket;
};

// Gostel-2160 chassis and their cards ("Gostel - 2160").
class CComm_Gostel2160 : public CCommBase {
    DECLARE_DYNCREATE(CComm_Gostel2160)
public:
    BOOL ChooseTarget() override;
    BOOL SelectCardWithTarget() override;
    BOOL Connect() override;
    std::int32_t GetModuleCount() override { return static_cast<std::int32_t>(m_socket.m_cards.size()); }
    void SetModuleIndex(std::int32_t index) override;
    BOOL OpenModule() override;
    void CloseModule() override { m_socket.Close(); }
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override { return m_socket.ReadEeprom(buffer, length); }
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override {
        return m_socket.WriteEeprom(buffer, length);
    }
    void Disconnect() override { m_socket.m_cards.clear(); }
    std::string GetModuleText() override;
    void SetAddress(std::string address) override { m_socket.m_device = std::move(address); }
    std::string GetAddress() override { return m_socket.m_device; }
    std::optional<CardChoice> PickedCard() const override { return m_pick; }

    CUDPGostel& Socket() { return m_socket; }
    std::uint32_t OperationMode() const { return m_mode; }

private:
    CUDPGostel m_socket;
    ChosenCard m_chosen;
    std::optional<CardChoice> m_pick;  // what the card dialog picked
    std::uint32_t m_mode = gostel::kModeInitialize;
    std::uint32_t m_modeWord = 0;  // non-zero hides the dialog's mode controls
};
