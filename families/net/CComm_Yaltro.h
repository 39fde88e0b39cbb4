#pragma once
#include <string>
#include <vector>

#include "framework/CCommBase.h"
#include "platform/SerialPort.h"

// The Yaltro instrument behind its serial console ("Yaltro"). Connect probes
// every serial port of the machine (COM1..COM10) at once for the console
// prompt; each port that shows it is one module. The EEPROM moves one 16-bit
// word per console command; the image layout is described in YaltroConsole.h.
class CComm_Yaltro : public CCommBase {
    DECLARE_DYNCREATE(CComm_Yaltro)
public:
    ~CComm_Yaltro() override;

    BOOL Connect() override;
    std::int32_t GetModuleCount() override { return static_cast<std::int32_t>(m_found.size()); }
    void SetModuleIndex(std::int32_t index) override;
    BOOL OpenModule() override;
    void CloseModule() override;
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    void Disconnect() override { m_found.clear(); }
    std::string GetModuleText() override { return "Yaltro"; }
    std::int32_t GetReadTime() override { return 14000; }
    std::int32_t GetWriteTime() override { return 28000; }
    std::vector<ByteRange> WritableRanges() const override;
    // "--yaltro-password" while a login text of its own is set.
    std::vector<std::string> ReachOptions() const override;

    // The text answered to the console's "user name" and "user password"
    // prompts, process-wide; an empty text restores the default. Never logged.
    static void SetLoginText(std::string text);
    static std::string LoginText();

private:
    bool SendText(const std::string& text);
    // Collects the console's output until the prompt, at most 1500 ms; false
    // when the prompt never came (or a read was stopped).
    bool WaitCommandEnd(std::string& text, bool stoppable);

    std::vector<platform::SerialPortEntry> m_found;
    platform::SerialPortEntry m_current;
    platform::SerialPort m_port;
};
