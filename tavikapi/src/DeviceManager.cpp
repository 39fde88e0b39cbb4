#include "DeviceManager.h"

#include "Timing.h"
#include "base/Log.h"
#include "platform/UsbSearch.h"

namespace tavik {
namespace {

constexpr const char* kLog = "tavikapi";
constexpr std::uint32_t kVendor = 0x2403;
constexpr std::uint32_t kLibraryPid = 0x1688;

constexpr TypeIdentity kTypes[4] = {
    {"Quenlor Pembrix-Alda", 0x1701, 0x10C4, 0x1101},
    {"Quenlor Pembrix-Brisa", 0x1703, 0x10C4, 0x1102},
    {"Quenlor Pembrix-Cygna", 0x1704, 0x10C4, 0x1103},
    {"Quenlor Pembrix-Alda+", 0x1702, 0, 0},
};

}  // namespace

const TypeIdentity* IdentityOf(int type) { return type >= 1 && type <= 4 ? &kTypes[type - 1] : nullptr; }

DeviceManager::DeviceManager() {
    if (m_mpusbLib.Load("libmpusbapi.so")) {
        m_mp.getDeviceCount = m_mpusbLib.Entry<MpusbEntries::CountFn>("_MPUSBGetDeviceCount");
        m_mp.open = m_mpusbLib.Entry<MpusbEntries::OpenFn>("_MPUSBOpen");
        m_mp.close = m_mpusbLib.Entry<MpusbEntries::CloseFn>("_MPUSBClose");
        m_mp.read = m_mpusbLib.Entry<MpusbEntries::XferFn>("_MPUSBRead");
        m_mp.write = m_mpusbLib.Entry<MpusbEntries::XferFn>("_MPUSBWrite");
    }
}

DeviceManager::~DeviceManager() {
    m_jobs.Stop();  // a job still running is told to stop and waited for
    if (RecordPtr rec = Selected()) Close(*rec);
    std::lock_guard g(m_mutex);
    // Channels close with their records, before the MPUSB library goes.
    for (auto& list : m_devices) list.clear();
}

bool DeviceManager::SetType(int type) {
    if (!IdentityOf(type)) return false;
    std::lock_guard g(m_mutex);
    m_type = type;
    return true;
}

int DeviceManager::Type() {
    std::lock_guard g(m_mutex);
    return m_type;
}

bool DeviceManager::Detect(int type) {
    const TypeIdentity* id = IdentityOf(type);
    if (!id) return false;
    std::vector<RecordPtr> found;
    {
        std::lock_guard search(m_searchMutex);
        std::vector<std::int32_t> indexes;
        std::vector<std::string> paths;
        if (platform::FindHidPaths(indexes, paths, id->hidPid)) {
            for (std::size_t i = 0; i < indexes.size() && i < paths.size(); ++i) {
                auto rec = std::make_shared<DeviceRecord>();
                rec->instance = indexes[i];
                rec->pathMode = true;
                rec->path = paths[i];
                rec->description = id->productString;
                rec->vid = kVendor;
                rec->pid = id->hidPid;
                found.push_back(std::move(rec));
            }
        } else {
            std::uint32_t vid = kVendor, pid = kLibraryPid;
            std::vector<std::int32_t> instances;
            bool any = platform::FindMpusbInstances(pid, vid, id->productString, instances);
            if (!any && id->secondVid) {
                vid = id->secondVid;
                pid = id->secondPid;
                any = platform::FindMpusbInstances(pid, vid, id->productString, instances);
            }
            for (std::int32_t instance : instances) {
                auto rec = std::make_shared<DeviceRecord>();
                rec->instance = instance;
                rec->description = id->productString;
                rec->vid = vid;
                rec->pid = pid;
                found.push_back(std::move(rec));
            }
        }
    }
    LOG_DBG(kLog, "type %d: %zu device(s)", type, found.size());
    const bool any = !found.empty();
    std::vector<RecordPtr> old;
    {
        std::lock_guard g(m_mutex);
        old.swap(m_devices[type]);
        m_devices[type] = std::move(found);
    }
    // Old records close their channels when the last holder (a running job,
    // say) lets go of them.
    return any;
}

int DeviceManager::Count() {
    std::lock_guard g(m_mutex);
    return static_cast<int>(m_devices[m_type].size());
}

bool DeviceManager::Select(int index) {
    if (index < 0) return false;
    std::lock_guard g(m_mutex);
    m_selected[m_type] = index;
    return true;
}

RecordPtr DeviceManager::Selected() {
    std::lock_guard g(m_mutex);
    const auto& list = m_devices[m_type];
    const int index = m_selected[m_type];
    if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return nullptr;
    return list[static_cast<std::size_t>(index)];
}

bool DeviceManager::Connect() {
    RecordPtr rec = Selected();
    if (!rec) return false;
    std::lock_guard lock(rec->lock);
    rec->opened = false;
    rec->channel.reset();  // a second connect replaces the channels, never leaks them
    rec->channel = rec->pathMode ? OpenHidChannel(rec->path) : OpenMpusbChannel(m_mp, rec->instance, rec->vid, rec->pid);
    rec->opened = rec->channel != nullptr;
    LOG_DBG(kLog, "connect %s: %s", rec->pathMode ? rec->path.c_str() : "mpusb", rec->opened ? "opened" : "failed");
    return rec->opened;
}

bool DeviceManager::Find() {
    RecordPtr rec = Selected();
    if (!rec) return false;
    std::lock_guard search(m_searchMutex);
    if (rec->pathMode) {
        std::vector<std::int32_t> indexes;
        std::vector<std::string> paths;
        return platform::FindHidPaths(indexes, paths, rec->pid);
    }
    std::vector<std::int32_t> instances;
    return platform::FindMpusbInstances(rec->pid, rec->vid, rec->description, instances);
}

void DeviceManager::Close(DeviceRecord& record) {
    std::lock_guard lock(record.lock);
    record.channel.reset();
    record.opened = false;
}

std::int32_t DeviceManager::Terminate() {
    // Stop a running job first: it holds the device's lock for its whole
    // run, so closing first would wait for the job to end by itself.
    m_jobs.RequestAbort();
    // Up to 500 waits of 10 ms for the idle flag: paced timing waits for the
    // flag itself, for at most the same 5 s.
    bool idle = false;
    if (!OriginalPacing()) {
        idle = m_jobs.WaitIdle(500 * 10);
    } else {
        for (int i = 0; i < 500; ++i) {
            if (m_jobs.Idle()) {
                idle = true;
                break;
            }
            WaitPumping(10);
        }
    }
    // A job still running keeps the device (and its lock) until it ends.
    if (idle)
        if (RecordPtr rec = Selected()) Close(*rec);
    return idle ? 1 : 0;
}

}  // namespace tavik

namespace tavik {

// Built when the library is loaded, torn down when it is unloaded.
DeviceManager g_manager;
DeviceManager& Manager() { return g_manager; }

}  // namespace tavik
