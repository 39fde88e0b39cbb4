#include "CComm_Tesk.h"

IMPLEMENT_DYNCREATE(CComm_Tesk, CCommBase)
IMPLEMENT_DYNCREATE(CComm_Tesk100, CComm_Tesk)
IMPLEMENT_DYNCREATE(CComm_Tesk200, CComm_Tesk)

UsbLinkParams CComm_Tesk::LinkParams() {
    return {"{DFEE6909-CA08-4BF6-9BD7-12C3511DE4AE}",
            {{UsbSearchStage::Pipe},
             {UsbSearchStage::Walk, 0x2403, 0x1688, "Quenlor Tesk-100/200", "vid_2403&pid_1688"}}};
}

CComm_Tesk::CComm_Tesk() : m_link(LinkParams()) {}

BOOL CComm_Tesk::Connect() {
    BOOL found = m_link.FindDevices();
    if (found) m_link.SetSelected(0);
    return found;
}

std::int32_t CComm_Tesk::GetModuleCount() { return static_cast<std::int32_t>(m_link.DeviceCount()); }

void CComm_Tesk::SetModuleIndex(std::int32_t index) { m_link.SetSelected(index); }

BOOL CComm_Tesk::OpenModule() { return m_link.Open(); }

void CComm_Tesk::CloseModule() { m_link.Close(); }

BOOL CComm_Tesk::ReadEeprom(std::uint8_t* buffer, std::int32_t length) {
    return m_link.ReadBlock(echo::kTeskLayout, buffer, length);
}

BOOL CComm_Tesk::WriteEeprom(const std::uint8_t* buffer, std::int32_t length) {
    return m_link.WriteBlock(echo::kTeskLayout, buffer, length);
}

void CComm_Tesk::Disconnect() { m_link.ClearDevices(); }

std::string CComm_Tesk::GetModuleText() { return m_subModel == 0 ? "Tesk - 100" : "Tesk - 200"; }
