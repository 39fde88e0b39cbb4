#include "image_store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "log.hpp"

namespace lab {

Image ImageStore::fresh(std::string_view name, std::string_view serial) {
    Image img;
    img.fill(0xff);
    std::uint8_t h = 0x5a;
    for (char c : name) h = static_cast<std::uint8_t>(h * 31 + static_cast<std::uint8_t>(c));
    for (std::size_t i = 0; i < kSerialOffset; ++i) {
        img[i] = i < name.size() ? static_cast<std::uint8_t>(name[i])
                                 : static_cast<std::uint8_t>(h + i * 7);
    }
    const std::size_t n = std::min(serial.size(), kImageSize - kSerialOffset - 1);
    std::memcpy(img.data() + kSerialOffset, serial.data(), n);
    img[kSerialOffset + n] = 0;
    return img;
}

ImageStore::ImageStore(std::filesystem::path file, std::string_view name, std::string_view serial)
    : file_(std::move(file)) {
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) throw std::runtime_error(file_.string() + ": " + std::strerror(errno));
        image_ = fresh(name, serial);
        created_ = true;
        if (!save()) throw std::runtime_error(file_.string() + ": cannot create the state file");
        return;
    }
    std::size_t got = 0;
    std::uint8_t extra = 0;
    while (got < kImageSize) {
        const ssize_t r = ::read(fd, image_.data() + got, kImageSize - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    const ssize_t more = ::read(fd, &extra, 1);
    ::close(fd);
    if (got != kImageSize || more != 0)
        throw std::runtime_error(file_.string() + ": not a 256-byte identity image (delete it to start afresh)");
}

bool ImageStore::save(bool sync) const {
    if (!sync) {
        // In place: 256 bytes at offset 0, no truncation, no rename (either of
        // which makes the file system flush, as a sync would).
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const bool ok = fd >= 0 && ::pwrite(fd, image_.data(), kImageSize, 0) == static_cast<ssize_t>(kImageSize);
        if (!ok) log_error("state %s: %s", file_.c_str(), std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return ok;
    }
    const std::string tmp = file_.string() + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_error("state %s: %s", tmp.c_str(), std::strerror(errno));
        return false;
    }
    std::size_t done = 0;
    while (done < kImageSize) {
        const ssize_t w = ::write(fd, image_.data() + done, kImageSize - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
    }
    const bool ok = done == kImageSize && (!sync || ::fsync(fd) == 0);
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), file_.c_str()) != 0) {
        log_error("state %s: %s", file_.c_str(), std::strerror(errno));
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace lab
