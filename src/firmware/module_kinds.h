// The module kinds whose firmware qbxmodflash can write: one constant row per kind.
// Row order is the order in which identification probes a file (first match wins) and
// the order of the help listing. Offsets count from the info block's first byte;
// addresses are flash byte addresses, which equal firmware file offsets.
#pragma once

#include <stdint.h>

constexpr uint32_t KIND_CRC_SWAPPED = 1;       // CRC field holds the high byte first
constexpr uint32_t KIND_VERSION_IN_ORDER = 2;  // version bytes print first byte first
constexpr uint32_t KIND_NO_CRC = 4;            // no CRC: the field holds 0xFF 0xFF

constexpr uint32_t INFO_BUFFER_SIZE = 4928;  // the largest info block (QBX88)
constexpr uint32_t SAVE_BUFFER_SIZE = 2048;  // the largest preserved region (QBX62)

struct ModuleKind {
    uint32_t mid;  // module ID the crate server reports; only the low 16 bits are used
    const char *name;
    uint32_t info_addr;
    uint32_t info_size;  // includes the two-byte CRC field at the block's end
    uint32_t name_offset;
    uint32_t serial_offset;
    uint32_t serial_size;  // also the number of serial bytes carried over; 0 = none
    uint32_t keep_offset;
    uint32_t keep_size;  // module data carried over unchanged; 0 = none
    uint32_t version_offset;
    uint32_t version_size;  // one printed number per byte; 0 = none
    uint32_t date_offset;
    uint32_t date_size;  // 0 = no date
    uint32_t save_addr;  // preserved flash region outside the block
    uint32_t save_size;  // 0 = none
    uint32_t flash_words;
    uint32_t flags;  // KIND_* bits
};

// clang-format off
inline constexpr ModuleKind module_kinds[] = {
    // mid, name, info_addr, info_size, name_offset, serial offset/size, keep offset/size,
    // version offset/size, date offset/size, save_addr/save_size, flash_words, flags
    {0x3D3D, "QBX61", 0x0080, 0x004B, 17, 25, 16, 41, 32, 1, 2, 3, 14, 0, 0, 0x1000,
     KIND_CRC_SWAPPED | KIND_VERSION_IN_ORDER},
    // The only kind with a preserved region: 2048 bytes at 0x1000 survive every update.
    {0x3E3E, "QBX62", 0x0080, 0x0140, 20, 28, 16, 52, 266, 4, 2, 6, 14, 0x1000, 0x800, 0x1000, 0},
    {0x9999, "QBX153", 0x0080, 0x004F, 17, 25, 16, 41, 36, 1, 2, 3, 14, 0, 0, 0x10000,
     KIND_CRC_SWAPPED | KIND_VERSION_IN_ORDER},
    // Its block is the last 128 bytes of QBX88's, with the same field addresses there.
    {0x5353, "QBX83", 0x1F80, 0x0080, 16, 32, 16, 0, 0, 68, 4, 0, 0, 0, 0, 0x10000, 0},
    {0x4747, "QBX71", 0x0080, 0x002C, 17, 25, 17, 0, 0, 1, 2, 3, 14, 0, 0, 0x10000,
     KIND_VERSION_IN_ORDER},
    {0x4848, "QBX72", 0x0080, 0x002C, 17, 25, 17, 0, 0, 1, 2, 3, 14, 0, 0, 0x10000,
     KIND_VERSION_IN_ORDER},
    {0x4949, "QBX73", 0x0080, 0x002C, 17, 25, 17, 0, 0, 1, 2, 3, 14, 0, 0, 0x10000,
     KIND_VERSION_IN_ORDER},
    // No CRC; its keep region really starts at block offset 0 and runs up to QBX83's block.
    {0x5858, "QBX88", 0x0CC0, 0x1340, 4816, 4832, 16, 0, 4800, 4868, 4, 0, 0, 0, 0, 0x10000,
     KIND_NO_CRC},
};
// clang-format on

constexpr int KIND_COUNT = sizeof(module_kinds) / sizeof(module_kinds[0]);

// Compile-time checks of the layout facts that the info block and update code rely on
// without testing them at run time.
namespace module_kinds_check {

constexpr uint32_t text_length(const char *text) {
    uint32_t n = 0;
    while (text[n] != '\0') ++n;
    return n;
}

constexpr bool texts_equal(const char *a, const char *b) {
    uint32_t i = 0;
    while (a[i] != '\0' && a[i] == b[i]) ++i;
    return a[i] == b[i];
}

struct Field {
    uint32_t offset;
    uint32_t size;
};

// Every field, the name with its terminating zero, lies inside the block before the CRC
// field, and no two fields overlap; an absent field keeps offset 0.
constexpr bool fields_fit(const ModuleKind &k) {
    const Field fields[] = {{k.name_offset, text_length(k.name) + 1},
                            {k.serial_offset, k.serial_size},
                            {k.keep_offset, k.keep_size},
                            {k.version_offset, k.version_size},
                            {k.date_offset, k.date_size}};
    if (k.info_size < 2) return false;
    for (const Field &f : fields) {
        if (f.size == 0 && f.offset != 0) return false;
        if (f.offset + f.size > k.info_size - 2) return false;
    }
    for (const Field &a : fields)
        for (const Field &b : fields)
            if (&a != &b && a.size && b.size && a.offset < b.offset + b.size &&
                b.offset < a.offset + a.size)
                return false;
    return true;
}

constexpr bool row_valid(const ModuleKind &k) {
    const uint32_t flash_bytes = 2 * k.flash_words;
    return k.mid != 0 && k.mid <= 0xFFFF && k.mid != 0xFFFF && fields_fit(k) &&
           ((k.info_size + 1) & ~1u) <= INFO_BUFFER_SIZE && k.save_size <= SAVE_BUFFER_SIZE &&
           k.info_addr % 2 == 0 && k.save_addr % 2 == 0 &&
           k.info_addr + k.info_size <= flash_bytes && k.save_addr + k.save_size <= flash_bytes &&
           (k.save_size == 0 || k.save_addr >= k.info_addr + k.info_size ||
            k.save_addr + k.save_size <= k.info_addr) &&
           (k.save_size != 0 || k.save_addr == 0) &&
           (k.flags & ~(KIND_CRC_SWAPPED | KIND_VERSION_IN_ORDER | KIND_NO_CRC)) == 0;
}

constexpr bool table_valid() {
    for (int i = 0; i < KIND_COUNT; ++i) {
        if (!row_valid(module_kinds[i])) return false;
        for (int j = i + 1; j < KIND_COUNT; ++j)
            if (module_kinds[i].mid == module_kinds[j].mid ||
                texts_equal(module_kinds[i].name, module_kinds[j].name))
                return false;
    }
    return true;
}

static_assert(table_valid(), "module_kinds breaks a layout invariant");

}  // namespace module_kinds_check
