#pragma once

#include <cstdint>

namespace fat12img {

// FAT values with a meaning of their own.
inline constexpr uint32_t kFatFree = 0x000;
inline constexpr uint32_t kFatEndOfChain = 0xFFF;
inline constexpr uint32_t kFatEntryMask = 0xFFF;
inline constexpr uint32_t kFirstDataCluster = 2;

// Entry n of a FAT12 table starts at byte n + n/2. Two neighbouring entries share the
// middle byte of three:
//
//        byte o          byte o+1          byte o+2
//   +---------------+-------+-------+---------------+
//   | even  bits 0-7| odd   | even  |  odd bits 4-11|
//   |               |bits0-3|bit8-11|               |
//   +---------------+-------+-------+---------------+
//
// An even entry owns byte o and the low nibble of o+1; an odd entry (which starts at
// o+1 of its even neighbour) owns the high nibble of its first byte and all of its
// second. Writing one entry must keep the neighbour's nibble.
inline uint32_t fat12Offset(uint32_t n) {
    return n + n / 2;
}

// The FAT sectors that hold entry n: usually one, two when it straddles a boundary.
inline uint32_t fat12FirstSector(uint32_t n, uint32_t bytesPerSector) {
    return fat12Offset(n) / bytesPerSector;
}
inline uint32_t fat12LastSector(uint32_t n, uint32_t bytesPerSector) {
    return (fat12Offset(n) + 1) / bytesPerSector;
}

// The caller guarantees that bytes fat12Offset(n) and fat12Offset(n) + 1 lie in the table.
inline uint32_t unpackFat12(const uint8_t* fat, uint32_t n) {
    const uint8_t* p = fat + fat12Offset(n);
    if (n % 2 == 0) {
        return p[0] | ((p[1] & 0x0Fu) << 8);
    }
    return (p[0] >> 4) | (static_cast<uint32_t>(p[1]) << 4);
}

inline void packFat12(uint8_t* fat, uint32_t n, uint32_t value) {
    uint8_t* p = fat + fat12Offset(n);
    value &= kFatEntryMask;
    if (n % 2 == 0) {
        p[0] = static_cast<uint8_t>(value);
        p[1] = static_cast<uint8_t>((p[1] & 0xF0u) | (value >> 8));
    } else {
        p[0] = static_cast<uint8_t>((p[0] & 0x0Fu) | ((value << 4) & 0xF0u));
        p[1] = static_cast<uint8_t>(value >> 4);
    }
}

}  // namespace fat12img
