#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "HevraProtocol.h"
#include "CardSelDlg.h"
#include "framework/CCommBase.h"
#include "platform/Socket.h"

struct HEVRA5160_CARD_INFO {
    std::uint8_t slot;  // the controller entry has 0
    std::uint16_t cardType;
    std::string deviceAddress;
    std::string localAddress;
    std::uint16_t chassisId = 0;     // from the identify reply
    hevra::Station station{};        // from the identify reply
};

// The Hevra socket: UDP discovery of one chassis, then a TCP connection for
// its slot table and every EEPROM chunk.
class CHevra5160 {
public:
    static constexpr int kPasses = 3;
    static constexpr int kDiscoveryPolls = 60;
    static constexpr int kConnectWaitMs = 1000;
    static constexpr int kIdentifyPauseMs = 500;
    static constexpr int kReplyAttempts = 50;
    static constexpr int kAttemptPauseMs = 100;
    static constexpr int kReadableWaitMs = 200;

    BOOL Discover();
    BOOL Discover(const std::vector<std::string>& hostAddresses);

    BOOL Open();  // the TCP connection to the current entry's chassis
    void Close() { m_tcp.Close(); }
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length);
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length);

    std::string m_device;  // empty: discovery broadcasts
    std::vector<HEVRA5160_CARD_INFO> m_cards;
    std::int32_t m_current = 0;

private:
    // One pass of discovery on an interface; true when the chassis was
    // identified (and its slot table asked for).
    bool Pass(const std::string& local);
    bool ConnectTcp(const std::string& address);
    // Up to `milliseconds` for reply bytes on the connection; a stop ends a
    // stoppable wait.
    bool WaitReadableFor(int milliseconds, bool stoppable);
    // Sends a request and waits for the reply with the given request code.
    std::optional<std::vector<std::uint8_t>> Request(const std::vector<std::uint8_t>& request,
                                                     std::uint16_t requestCode, std::uint16_t byteCount,
                                                     bool partialTableAllowed);
    BOOL Transfer(std::uint8_t* readBuffer, const std::uint8_t* writeBuffer, std::int32_t length);
    platform::TcpSocket m_tcp;
};

// Hevra-5160 chassis and their cards ("Hevra - 5160").
class CComm_Hevra5160 : public CCommBase {
    DECLARE_DYNCREATE(CComm_Hevra5160)
public:
    BOOL ChooseTarget() override;
    BOOL SelectCardWithTarget() override;
    BOOL Connect() override { return m_socket.Discover(); }
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
    std::int32_t GetReadTime() override { return 800; }
    std::int32_t GetWriteTime() override { return 1600; }
    void SetAddress(std::string address) override { m_socket.m_device = std::move(address); }
    std::string GetAddress() override { return m_socket.m_device; }
    std::optional<CardChoice> PickedCard() const override { return m_pick; }

    CHevra5160& Socket() { return m_socket; }

private:
    CHevra5160 m_socket;
    ChosenCard m_chosen;
    std::optional<CardChoice> m_pick;  // what the card dialog picked
};
