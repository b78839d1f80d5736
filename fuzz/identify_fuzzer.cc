// Fuzzes identification and the info block operations over arbitrary file contents, and
// the block operations over arbitrary blocks as a module might hold them.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "firmware/identify.h"
#include "firmware/info_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    FILE *file = fmemopen(bytes.data(), bytes.size(), "rb");
    if (file == nullptr) return 0;
    const ModuleKind *kind = nullptr;
    if (identify_firmware(file, &kind, 1) == 0) {
        // The file's image as the module update builds it, sealed and checked.
        std::vector<uint8_t> image(std::max<size_t>(size, kind->info_addr + kind->info_size), 0xFF);
        std::copy(data, data + size, image.begin());
        seal_info_block(image.data(), *kind);
        uint16_t stored = 0, expected = 0;
        if (!info_crc_valid(&image[kind->info_addr], *kind, &stored, &expected)) __builtin_trap();
    }
    fclose(file);

    // The input as a module's block of every kind, read into info_buffer as the update does.
    for (const ModuleKind &row : module_kinds) {
        memset(info_buffer, 0, sizeof info_buffer);
        memcpy(info_buffer, data, std::min<size_t>(size, row.info_size));
        uint16_t stored = 0, expected = 0;
        info_crc_valid(info_buffer, row, &stored, &expected);
        printf("%.*s", block_text_length(info_buffer, row, row.serial_offset),
               reinterpret_cast<const char *>(info_buffer + row.serial_offset));
        print_firmware_version(info_buffer, row);
    }
    return 0;
}
