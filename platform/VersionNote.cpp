#include "VersionNote.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace platform {
namespace {

constexpr const char* kSection = ".note.brevane.version";
constexpr std::size_t kMaxFile = 256u * 1024 * 1024;

template <typename T>
bool ReadAt(const std::vector<char>& file, std::uint64_t offset, T& out) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, file.data() + offset, sizeof(T));
    return true;
}

std::string FromNotes(const std::vector<char>& file, std::uint64_t offset, std::uint64_t size) {
    std::uint64_t pos = offset;
    const std::uint64_t end = offset + size;
    if (end < offset || end > file.size()) return {};
    while (pos + 12 <= end) {
        std::uint32_t namesz = 0, descsz = 0, type = 0;
        ReadAt(file, pos, namesz);
        ReadAt(file, pos + 4, descsz);
        ReadAt(file, pos + 8, type);
        const std::uint64_t nameAt = pos + 12;
        const std::uint64_t descAt = nameAt + ((namesz + 3u) & ~3u);
        const std::uint64_t next = descAt + ((descsz + 3u) & ~3u);
        if (next > end) return {};
        if (type == 1 && namesz == 8 && std::memcmp(file.data() + nameAt, "Brevane", 8) == 0) {
            const char* desc = file.data() + descAt;
            return std::string(desc, strnlen(desc, descsz));
        }
        pos = next;
    }
    return {};
}

}  // namespace

std::string ProductVersionOfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::vector<char> file;
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (file.size() > kMaxFile) return {};

    Elf64_Ehdr eh{};
    if (!ReadAt(file, 0, eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
        return {};
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shstrndx >= eh.e_shnum) return {};
    Elf64_Shdr names{};
    if (!ReadAt(file, eh.e_shoff + std::uint64_t{eh.e_shstrndx} * sizeof(Elf64_Shdr), names)) return {};
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh{};
        if (!ReadAt(file, eh.e_shoff + std::uint64_t{i} * sizeof(Elf64_Shdr), sh)) return {};
        const std::uint64_t nameAt = names.sh_offset + sh.sh_name;
        if (nameAt >= file.size()) continue;
        const char* name = file.data() + nameAt;
        if (strnlen(name, file.size() - nameAt) == std::strlen(kSection) && std::strcmp(name, kSection) == 0)
            return FromNotes(file, sh.sh_offset, sh.sh_size);
    }
    return {};
}

std::string ProductVersionOfRunningProgram() { return ProductVersionOfFile("/proc/self/exe"); }

}  // namespace platform
