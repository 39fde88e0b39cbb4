#pragma once
// The process-wide device manager: device types, the devices of each type
// found by the last detection, the selection, and the MPUSB library.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Channel.h"
#include "Jobs.h"
#include "platform/DynLib.h"

namespace tavik {

// One detected device. Its lock serialises every exchange with it; the
// channel is only touched with the lock held.
struct DeviceRecord {
    std::recursive_timed_mutex lock;
    std::int32_t instance = -1;  // MPUSB instance, or index in the HID enumeration
    bool pathMode = false;       // HID node opened by path
    std::string path;            // lower-cased node path (HID only)
    std::string description;     // USB product string of the type
    std::uint32_t vid = 0;
    std::uint32_t pid = 0;
    std::unique_ptr<Channel> channel;
    std::atomic<bool> opened{false};
};
using RecordPtr = std::shared_ptr<DeviceRecord>;

struct TypeIdentity {
    const char* productString;
    std::uint32_t hidPid;
    std::uint32_t secondVid;  // 0 when the type has no second library-mode pair
    std::uint32_t secondPid;
};
// Identity of a device type; nullptr outside 1..4.
const TypeIdentity* IdentityOf(int type);

class DeviceManager {
public:
    DeviceManager();
    ~DeviceManager();
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    bool SetType(int type);
    int Type();
    bool Detect(int type);
    int Count();
    bool Select(int index);
    // The selected record of the current type; null when the selected index
    // lies outside the list. Holding the pointer keeps the record alive
    // across a new detection.
    RecordPtr Selected();
    bool Connect();
    bool Find();
    // Closes the record's channels (lock held meanwhile).
    static void Close(DeviceRecord& record);
    std::int32_t Terminate();

    Jobs& jobs() { return m_jobs; }

private:
    std::mutex m_mutex;  // lists, selection, type
    std::array<std::vector<RecordPtr>, 5> m_devices;
    std::array<int, 5> m_selected{};
    int m_type = 1;
    std::mutex m_searchMutex;  // the USB searches are not re-entrant
    platform::DynLib m_mpusbLib;
    MpusbEntries m_mp;
    Jobs m_jobs;
};

DeviceManager& Manager();

}  // namespace tavik
