#include "firmware/identify.h"

#include <string.h>

#include "firmware/info_block.h"
#include "result_codes.h"

static bool name_matches(const ModuleKind &row) {
    const size_t length = strlen(row.name);
    const unsigned char *field = info_buffer + row.name_offset;
    return memcmp(field, row.name, length) == 0 && field[length] == 0;
}

int identify_firmware(FILE *file, const ModuleKind **kind, int verbose) {
    for (const ModuleKind &row : module_kinds) {
        // A failed seek shows up as a short read; each probe seeks afresh, so an
        // end-of-file left by an earlier row's short read does not matter.
        fseek(file, static_cast<long>(row.info_addr), SEEK_SET);
        if (fread(info_buffer, 1, row.info_size, file) != row.info_size) continue;
        if (!name_matches(row)) continue;
        *kind = &row;
        if (verbose) {
            printf("Firmware for module %s. ", row.name);
            print_firmware_version(info_buffer, row);
            printf("\n");
            fflush(stdout);
        }
        return 0;
    }
    fprintf(stderr, "Error! Unsupported firmware file...\n");
    return ERR_UNSUPPORTED;
}
