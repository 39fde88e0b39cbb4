#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "CardSelDlg.h"
#include "VornMessages.h"
#include "framework/CCommBase.h"
#include "framework/Wait.h"
#include "outside/vorn/VornApi.h"

// The entries of libVorn-API.so the family calls, loaded by name from the
// program's directory at first use. Tests install their own table.
struct VornEntries {
    decltype(&Zel_Vorn_SYS_GetServer) GetServer;
    decltype(&Zel_Vorn_SYS_Init) Init;
    decltype(&Zel_Vorn_SYS_Connect) Connect;
    decltype(&Zel_Vorn_ReadChassisEeprom) ReadChassisEeprom;
    decltype(&Zel_Vorn_WriteChassisEeprom) WriteChassisEeprom;
    decltype(&Zel_Vorn_Tenq_LockPort) LockPort;
    decltype(&Zel_Vorn_Tenq_ReadEeprom) ReadEeprom;
    decltype(&Zel_Vorn_Tenq_WriteEeprom) WriteEeprom;
    decltype(&Zel_Vorn_SYS_Exit) Exit;
};
inline constexpr const char* kVornLibrary = "libVorn-API.so";
// nullptr when the library or one of its entries is missing.
const VornEntries* VornLibrary();
// Installs a table (not owned); nullptr goes back to the library.
void SetVornEntries(const VornEntries* entries);
// The exit call of the program's way out; harmless when the library is
// missing. Without evenIfUnused it is made only when the library was loaded.
void VornExit(bool evenIfUnused);

// "Ilvane-Jessor Card Select": the Gostel dialog with the Jessor texts.
class CJessorCardSelDlg : public CChassisCardSelDlg {
public:
    static constexpr const char* kNote =
        "If you select Initialize Mode,You MUST insert olny one sub-card in Ilvane - Jessor.";
    static constexpr const char* kInitializeRefusal =
        "Under Initialize mode,You MUST insert olny one sub-card in Ilvane - Jessor.";
    CJessorCardSelDlg(std::vector<ChassisCard> cards, std::uint32_t modeWord);
};

// The Jessor power-over-Ethernet chassis through Vorn-API ("Ilvane - Jessor").
class CComm_Jessor : public CCommBase {
    DECLARE_DYNCREATE(CComm_Jessor)
public:
    static constexpr int kSlotTableSteps = 50;  // of 100 ms
    static constexpr int kReplySteps = 50;      // of 200 ms
    static constexpr int kReadSettleMs = 1000;
    static constexpr const char* kNotDetected = "Can't detect Ilvane - Jessor!";

#pragma pack(push, 1)
    struct PORT {
        std::uint8_t station[6];
        std::uint8_t slot;  // 0xFF: the chassis controller
        std::uint16_t cardType;
    };
#pragma pack(pop)

    CComm_Jessor();
    ~CComm_Jessor() override;

    BOOL ChooseTarget() override;
    BOOL SelectCardWithTarget() override;
    BOOL Connect() override;
    std::int32_t GetModuleCount() override;
    void SetModuleIndex(std::int32_t index) override { m_index = index; }
    BOOL OpenModule() override;
    void CloseModule() override {}
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    void Disconnect() override;
    std::string GetModuleText() override;
    void SetAddress(std::string address) override;
    std::string GetAddress() override { return m_addressText; }
    std::optional<CardChoice> PickedCard() const override { return m_pick; }

    std::uint32_t OperationMode() const { return m_mode; }
    std::vector<PORT> Ports();

    // The library's call-back; reaches the newest Jessor object, if any.
    static void OnMessage(const std::uint8_t* message, std::uint32_t length);

private:
    void Handle(wire::Bytes message);
    BOOL Transfer(std::uint8_t* readBuffer, const std::uint8_t* writeBuffer, std::int32_t length);

    // Written by the library's thread, read by the family's: guarded.
    std::mutex m_lock;
    std::vector<PORT> m_ports;
    std::vector<std::uint8_t> m_reply;  // the last EEPROM reply, at most its fixed size
    std::uint16_t m_awaited = 0;         // the reply code the outstanding transfer waits for; 0: none
    // Raised by the call-back; the waits end on them (paced timing).
    EventFlag m_portsReported;
    EventFlag m_replyArrived;

    std::int32_t m_index = 0;
    std::uint32_t m_mode = 0;       // 0 = Initialize, 1 = Modify
    std::uint32_t m_modeWord = 0;   // non-zero hides the dialog's mode controls
    std::uint32_t m_address = 0;
    std::string m_addressText;
    PORT m_current{};               // the module an OpenModule or the card dialog made current
    bool m_havePick = false;        // the card dialog chose m_current
    ChosenCard m_chosen;
    std::optional<CardChoice> m_pick;  // what the card dialog picked
};
