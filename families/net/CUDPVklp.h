#pragma once
#include "framework/CCommBase.h"
#include <cstdint>
#include <string>
#include <vector>

#include "LomberEvraProtocol.h"
#include "base/Types.h"
#include "platform/Socket.h"

// The UDP socket of the Evra and Kalder families: broadcast discovery on each
// local interface, then one device's EEPROM through a socket bound to the
// interface that device answered on.
class CUDPVklp {
public:
    static constexpr int kDiscoveryCycles = 3;
    static constexpr int kDiscoveryMisses = 3;
    static constexpr int kReplyPolls = 50;

    explicit CUDPVklp(lomber::Dialect dialect) : m_dialect(dialect) {}
    virtual ~CUDPVklp() = default;

    // Discovery over the given local addresses (the host's by default);
    // true when at least one device answered.
    BOOL Discover();
    BOOL Discover(const std::vector<std::string>& localAddresses);

    std::int32_t Count() const { return static_cast<std::int32_t>(m_found.size()); }
    void SetCurrent(std::int32_t index) { m_current = index; }
    std::int32_t Current() const { return m_current; }
    const std::vector<std::string>& Found() const { return m_found; }
    const std::vector<std::string>& FoundVia() const { return m_local; }
    const std::string& DeviceAddress() const { return m_device; }

    // Binds a fresh socket to the current device's interface.
    BOOL Open();
    void Close();
    void Clear();

    virtual BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) = 0;
    virtual BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) = 0;

protected:
    const char* LogPrefix() const { return m_dialect == lomber::Dialect::Evra ? "evra" : "kalder"; }

    lomber::Dialect m_dialect;
    platform::UdpSocket m_socket;
    std::string m_device;               // the current device's address
    std::vector<std::string> m_found;   // devices in the order they answered
    std::vector<std::string> m_local;   // the interface each device answered on
    std::int32_t m_current = 0;
};

// A family over one such socket (Evra, Kalder): every operation is the
// socket's; the family adds its texts and times.
template <class SocketT>
class CComm_VklpDevice : public CCommBase {
public:
    BOOL Connect() override { return m_socket.Discover(); }
    std::int32_t GetModuleCount() override { return m_socket.Count(); }
    void SetModuleIndex(std::int32_t index) override { m_socket.SetCurrent(index); }
    BOOL OpenModule() override { return m_socket.Open(); }
    void CloseModule() override { m_socket.Close(); }
    BOOL ReadEeprom(std::uint8_t* buffer, std::int32_t length) override { return m_socket.ReadEeprom(buffer, length); }
    BOOL WriteEeprom(const std::uint8_t* buffer, std::int32_t length) override {
        return m_socket.WriteEeprom(buffer, length);
    }
    void Disconnect() override { m_socket.Clear(); }

    SocketT& Socket() { return m_socket; }

protected:
    SocketT m_socket;
};
