#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OrvelMessages.h"
#include "OrvelModels.h"
#include "framework/CCommBase.h"
#include "framework/Prompt.h"
#include "framework/Wait.h"

// The entries of libZelAPI.so and libZelAPI-HardwareCheck.so the family
// calls, loaded by name from the program's directory at first use. The
// per-model entries and their exported buffers are found by name (`Find`).
// Tests install their own table.
using ZEL_CALLBACK = void (*)(const std::uint8_t* message, std::uint32_t length);
struct ZelEntries {
    std::int32_t (*Init)(ZEL_CALLBACK callback, std::int32_t mask);
    std::int32_t (*ConnectToServer)(const char* address);
    void (*TerminateProcess)();
    void (*GetVerNum)(char* text);
    std::uint16_t (*LockPortStatus)(const char* file);
    std::uint16_t (*UnLockPortStatus)(const char* file);
    std::uint8_t (*DiscoverServer)(std::uint8_t* area, std::int32_t flag);  // HardwareCheck
    void* (*Find)(const char* name);
};
inline constexpr const char* kZelLibrary = "libZelAPI.so";
inline constexpr const char* kZelCheckLibrary = "libZelAPI-HardwareCheck.so";
inline constexpr const char* kZelServerName = "ZelServerAP";
const ZelEntries* ZelLibrary();
void SetZelEntries(const ZelEntries* entries);
// "ZelAPI v<version>" for the about box; empty when the library is missing.
std::string ZelVersionLine();

// Per-model entry signatures.
using ZelRead3 = std::int32_t (*)(std::uint16_t chassis, std::uint8_t slot, std::uint8_t port);
using ZelWrite3 = std::int32_t (*)(std::uint16_t chassis, std::uint8_t slot, std::uint8_t port, std::uint16_t start,
                                   std::uint16_t words);
using ZelRead4 = std::int32_t (*)(std::uint16_t chassis, std::uint8_t slot, std::uint8_t port, std::uint16_t sub);
using ZelWrite4 = std::int32_t (*)(std::uint16_t chassis, std::uint8_t slot, std::uint8_t port, std::uint16_t sub,
                                   std::uint16_t start, std::uint16_t words);
using ZelBlock = std::int32_t (*)(std::uint16_t chassis, std::uint8_t slot, std::uint8_t port, const std::uint8_t* block);

// "Orvel Series Card Select".
class COrvelCardSelDlg : public ICardSelection {
public:
    static constexpr const char* kSelectCard = "Please select a card!";
    explicit COrvelCardSelDlg(std::vector<orvel::_portinfo> ports) : m_ports(std::move(ports)) {}

    std::string Title() const override { return "Orvel Series Card Select"; }
    std::vector<std::string> Columns() const override { return {"No.", "ID(Chassis,Slot)", "Card Type"}; }
    std::vector<int> ColumnWidths() const override { return {45, 125, 195}; }
    int RowCount() const override { return static_cast<int>(m_ports.size()); }
    std::vector<std::string> Row(int row) const override;
    bool ShowsModeControls() const override { return false; }
    std::string ModeNote() const override { return {}; }
    int InitialMode() const override { return 1; }
    std::string Accept(int row, int mode) override;

    struct Pick {
        orvel::_portinfo port;
        int row;
        std::string typeText;
    };
    const std::optional<Pick>& Result() const { return m_result; }
    static std::string CardType(const orvel::_portinfo& p);

private:
    std::vector<orvel::_portinfo> m_ports;
    std::optional<Pick> m_result;
};

// Orvel chassis cards through the chassis server ("Orvel Series Card").
class CComm_Orvel : public CCommBase {
    DECLARE_DYNCREATE(CComm_Orvel)
public:
    static constexpr int kReportSteps = 30;    // of 50 ms
    static constexpr int kReplySteps = 60;     // of 50 ms
    static constexpr int kReadSettleMs = 1000;
    static constexpr int kServerStartMs = 10000;
    static constexpr int kServerAttempts = 30; // 500 ms apart
    static constexpr int kServerProbeMs = 20;  // paced: between looks for a server that is starting

    CComm_Orvel();
    ~CComm_Orvel() override;

    BOOL ChooseTarget() override;
    BOOL SelectCardWithTarget() override;
    BOOL SelectCard() override;
    BOOL Connect() override;
    std::int32_t GetModuleCount() override;
    void SetModuleIndex(std::int32_t index) override { m_index = index; }
    BOOL OpenModule() override;
    void CloseModule() override {}
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    void Disconnect() override;
    std::string GetModuleText() override;
    void SetAddress(std::string address) override { m_server = std::move(address); }
    std::string GetAddress() override { return m_server; }
    std::optional<CardChoice> PickedCard() const override { return m_pick; }
    std::int32_t GetReadTime() override { return 2000; }
    std::int32_t GetWriteTime() override { return 2000; }

    // Every catalogue display name, in catalogue order.
    void ListCatalogue(std::vector<std::string>& names) const;
    // The server addresses the connection dialog offers.
    std::vector<std::string> DiscoverServers();
    std::vector<orvel::_portinfo> Ports();

    static void OnMessage(const std::uint8_t* message, std::uint32_t length);

private:
    // What the outstanding request waits for: EEPROM data of one place, or the
    // acknowledgement of a write. Messages that answer nothing outstanding are
    // dropped (a late answer for an earlier card is not this card's image).
    enum class Awaiting { Nothing, Data, WriteDone };

    void Handle(wire::Bytes message);
    BOOL Pick(bool withTarget);
    BOOL WaitForReport(std::optional<int> serverPid);
    bool ConnectToStartedServer(const ZelEntries& zel, int serverPid);
    void Await(Awaiting what, const orvel::_portinfo& place);

    std::mutex m_lock;  // the port list and the reply, written by the library's thread
    std::vector<orvel::_portinfo> m_ports;
    std::optional<orvel::EepromData> m_reply;
    Awaiting m_awaiting = Awaiting::Nothing;
    orvel::_portinfo m_awaitedPlace{};
    // Raised by the call-back; the waits end on them (paced timing).
    EventFlag m_portsReported;
    EventFlag m_replyArrived;

    orvel::_portinfo m_current{};
    bool m_havePick = false;
    std::optional<CardChoice> m_pick;  // what the card dialog picked
    std::string m_moduleName;
    std::string m_server = "127.0.0.1";
    std::int32_t m_index = 0;
    std::vector<orvel::ModelEntry> m_catalogue;
};
