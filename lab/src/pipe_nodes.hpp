// The maker's pipe-driver convention: /dev/quenlor/{class-guid}/<device>/
// with PIPE00 (device to host, 64-byte reports) and PIPE01 (host to device,
// 64-byte requests). Both nodes are symlinks to pseudo-terminals in raw mode:
// replies are written into PIPE00's terminal, so poll() and read() go to the
// real pty (readable exactly while a reply is queued, kernel blocking and
// O_NONBLOCK behaviour) and no read is ever left pending in the lab. Writes to
// PIPE01 go to the lab's handler, which feeds the device model.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "device.hpp"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace lab {

class PipeNodes {
public:
    // Throws std::runtime_error.
    PipeNodes(UMockdevTestbed* testbed, const std::string& root_dir, Device& device,
              std::function<void()> on_vanish);
    ~PipeNodes();
    PipeNodes(const PipeNodes&) = delete;
    PipeNodes& operator=(const PipeNodes&) = delete;

    void vanish();
    const std::string& dir() const { return dir_; }

private:
    struct Pipe {
        std::string devnode;  // /dev/quenlor/{guid}/<name>/PIPE0x
        int master = -1;
        int slave = -1;       // held open so the terminal survives client closes
        UMockdevIoctlBase* handler = nullptr;
    };

    static int on_read(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int on_write_in(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int on_write_out(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static void on_reader_connected(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);

    void open_pipe(Pipe& p, const std::string& name);
    void send(const Report& r, std::size_t length);

    UMockdevTestbed* testbed_;
    std::string root_dir_;
    std::string dir_;  // /dev/quenlor/{guid}/<name>
    Device& device_;
    std::function<void()> on_vanish_;
    Pipe in_;   // PIPE00
    Pipe out_;  // PIPE01
    std::map<UMockdevIoctlClient*, Session> sessions_;
};

}  // namespace lab
