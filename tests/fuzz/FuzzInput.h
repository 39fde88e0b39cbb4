#pragma once
// Takes typed values off the front of a fuzz input; what is left is the
// payload. Reads past the end give zeros.
#include <cstddef>
#include <cstdint>
#include <span>

// True when `part` lies inside `whole`: a decoded field never points past
// what arrived (caught here also in builds without sanitizers).
inline bool Within(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | (U8() << 8)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(U16() | (std::uint32_t{U16()} << 16)); }
    std::span<const std::uint8_t> Rest() const {
        return m_pos < m_size ? std::span<const std::uint8_t>(m_data + m_pos, m_size - m_pos)
                              : std::span<const std::uint8_t>();
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};
