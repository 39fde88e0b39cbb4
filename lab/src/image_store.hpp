// A device's 256-byte identity image, kept in <state-dir>/<name>.bin.
#pragma once

#include <filesystem>
#include <string_view>

#include "protocol.hpp"

namespace lab {

class ImageStore {
public:
    // Loads the state file, or creates it with a fresh image. Throws std::runtime_error.
    ImageStore(std::filesystem::path file, std::string_view name, std::string_view serial);

    Image& image() { return image_; }
    const Image& image() const { return image_; }
    // Writes the image at once: with sync, a temp file flushed to disk and
    // renamed; without, overwritten in place (kept across runs, cheap).
    // Returns false and logs on failure.
    bool save(bool sync = true) const;
    // True when this run made the image afresh (no state file before).
    bool created() const { return created_; }

    // The image of a device seen for the first time: a pattern from its name,
    // the serial text (NUL-terminated) at byte 76, 0xFF after it.
    static Image fresh(std::string_view name, std::string_view serial);

    static constexpr std::size_t kSerialOffset = 76;

private:
    std::filesystem::path file_;
    Image image_{};
    bool created_ = false;
};

}  // namespace lab
