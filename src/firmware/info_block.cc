#include "firmware/info_block.h"

#include <stdio.h>
#include <string.h>

unsigned char info_buffer[INFO_BUFFER_SIZE];

uint16_t crc16(uint16_t start, const unsigned char *data, uint32_t length) {
    uint16_t crc = start;
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

static uint16_t swap_bytes(uint16_t value) {
    return static_cast<uint16_t>((value << 8) | (value >> 8));
}

bool info_crc_valid(const unsigned char *block, const ModuleKind &kind, uint16_t *stored,
                    uint16_t *expected) {
    const unsigned char *field = block + kind.info_size - 2;
    *stored = static_cast<uint16_t>(field[0] | (field[1] << 8));
    if (kind.flags & KIND_NO_CRC) {
        *expected = 0xFFFF;
    } else {
        *expected = crc16(0, block, kind.info_size - 2);
        if (kind.flags & KIND_CRC_SWAPPED) *stored = swap_bytes(*stored);
    }
    return *stored == *expected;
}

void seal_info_block(unsigned char *image, const ModuleKind &kind) {
    unsigned char *block = image + kind.info_addr;
    uint16_t value = 0xFFFF;
    if (!(kind.flags & KIND_NO_CRC)) {
        value = crc16(0, block, kind.info_size - 2);
        if (kind.flags & KIND_CRC_SWAPPED) value = swap_bytes(value);
    }
    block[kind.info_size - 2] = static_cast<unsigned char>(value & 0xFF);
    block[kind.info_size - 1] = static_cast<unsigned char>(value >> 8);
}

int block_text_length(const unsigned char *block, const ModuleKind &kind, uint32_t offset) {
    return static_cast<int>(
        strnlen(reinterpret_cast<const char *>(block + offset), kind.info_size - offset));
}

void print_firmware_version(const unsigned char *block, const ModuleKind &kind) {
    if (kind.version_size != 0) {
        printf("ver = ");
        for (uint32_t i = 0; i < kind.version_size; ++i) {
            const uint32_t index = (kind.flags & KIND_VERSION_IN_ORDER)
                                       ? kind.version_offset + i
                                       : kind.version_offset + kind.version_size - 1 - i;
            if (i != 0) printf(".");
            printf("%d", block[index]);
        }
        if (kind.date_size != 0) printf(", ");
    }
    if (kind.date_size != 0)
        printf("date = %.*s", block_text_length(block, kind, kind.date_offset),
               reinterpret_cast<const char *>(block + kind.date_offset));
}
