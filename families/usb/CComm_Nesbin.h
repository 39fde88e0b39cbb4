#pragma once
#include <string>
#include <vector>

#include "NesbinFrames.h"
#include "framework/CCommBase.h"
#include "platform/PacketCapture.h"

// One usable network interface.
struct NIC_INFO_T {
    std::string description;  // libpcap's description, or the interface name when it gives none
    std::string name;         // what libpcap opens
    nesbin::Mac mac{};
};

// The interfaces worth trying, in libpcap's order: physical Ethernet ones
// whose description (or name) names no virtual adapter. Pure.
std::vector<NIC_INFO_T> UsableInterfaces(const std::vector<platform::CaptureInterface>& listed);

// Raw Ethernet link to the Nesbin instrument: the interface list, the one
// selected, its capture, and the two MAC addresses.
class EtherLink {
public:
    BOOL ListInterfaces();
    BOOL OpenCapture();
    void CloseCapture() { m_capture.Close(); }
    BOOL SendFrame(std::span<const std::uint8_t> frame);
    BOOL Discover();
    BOOL ReadBlock(std::uint16_t address, std::uint16_t length, std::uint8_t* destination);
    BOOL WriteBlock(std::uint16_t address, std::uint16_t length, const std::uint8_t* source);
    BOOL FindInstrument();

    const std::vector<NIC_INFO_T>& Interfaces() const { return m_interfaces; }
    int Selected() const { return m_selected; }
    // The last FindInstrument could open no interface, for lack of the capture capability.
    bool CaptureRefused() const { return m_captureRefused; }

private:
    // Up to `attempts` captured frames, with a 50 ms wait after each miss;
    // the first frame `accept` takes (looked at up to 1048 bytes).
    template <class Accept>
    bool Poll(int attempts, bool stoppable, Accept accept);
    // The paced wait after an attempt that captured nothing: until a frame is
    // captured (into `frame`, true) or `milliseconds` have passed.
    bool AwaitFrame(std::vector<std::uint8_t>& frame, int milliseconds, bool stoppable);

    std::vector<NIC_INFO_T> m_interfaces;
    int m_selected = -1;
    platform::PacketCapture m_capture;
    nesbin::Mac m_interfaceMac{};
    nesbin::Mac m_instrumentMac{};
    bool m_permissionDenied = false;  // the last OpenCapture was refused for lack of the capability
    bool m_captureRefused = false;
};

// The OEM instrument Nesbin on the local Ethernet segment ("OEM - Nesbin").
class CComm_Nesbin : public CCommBase {
    DECLARE_DYNCREATE(CComm_Nesbin)
public:
    BOOL Connect() override;
    std::int32_t GetModuleCount() override { return 1; }
    void SetModuleIndex(std::int32_t) override {}
    BOOL OpenModule() override { return m_link.FindInstrument(); }
    void CloseModule() override { m_link.CloseCapture(); }
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override;
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override;
    std::string GetModuleText() override { return "OEM - Nesbin"; }
    std::string SearchProblem() const override;

private:
    EtherLink m_link;
};
