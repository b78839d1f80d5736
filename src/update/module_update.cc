#include "update/module_update.h"

#include <stdlib.h>
#include <string.h>

#include "firmware/info_block.h"
#include "platform/crate_system.h"
#include "platform/qbxavrapi.h"
#include "result_codes.h"

unsigned char save_buffer[SAVE_BUFFER_SIZE];

// Narration: printed and flushed at once, so that a label shows while its step runs.
static void narrate(int verbose, const char *text) {
    if (!verbose) return;
    printf("%s", text);
    fflush(stdout);
}

static void report_library_error(int verbose, int code) {
    narrate(verbose, "err\n");
    fprintf(stderr, "Error %d: %s!\n", code, QBXAVR_GetErrorString(code));
}

static bool has_save_region(const ModuleKind &kind) {
    return kind.save_size > 0 && kind.save_size <= SAVE_BUFFER_SIZE;
}

// Reads the module's info block into info_buffer and its preserved region into
// save_buffer, then reports the block. *block_valid tells whether its CRC holds.
static int read_module_data(AvrHandle *handle, const ModuleKind &kind, int verbose,
                            bool *block_valid) {
    int rc = QBXAVR_ReadProgrammMemory(handle, info_buffer, (kind.info_size + 1) / 2,
                                       kind.info_addr / 2);
    if (rc == 0 && has_save_region(kind))
        rc = QBXAVR_ReadProgrammMemory(handle, save_buffer, (kind.save_size + 1) / 2,
                                       kind.save_addr / 2);
    if (rc != 0) {
        report_library_error(verbose, rc);
        return rc;
    }
    uint16_t stored = 0;
    uint16_t expected = 0;
    *block_valid = info_crc_valid(info_buffer, kind, &stored, &expected);
    if (verbose) {
        printf("%s: ", *block_valid ? "ok" : "err");
        if (*block_valid) {
            printf("serial = %.*s, ", block_text_length(info_buffer, kind, kind.serial_offset),
                   reinterpret_cast<const char *>(info_buffer + kind.serial_offset));
            print_firmware_version(info_buffer, kind);
        } else {
            printf("invalid flash info crc (0x%x), calculated crc = 0x%x\n", stored, expected);
        }
        printf("\n");
        fflush(stdout);
    }
    return 0;
}

// Builds the image to write: the file's bytes, the module's serial and keep region when
// its block is valid, the sealed CRC, then the preserved region. The image is rounded up
// to whole words, and every byte the file does not cover is 0xFF, the value of erased
// flash, so that each byte written and compared is a defined one.
// On success *image and *readback are two buffers of *image_length bytes; on failure
// they hold whatever was allocated, for the caller to free.
static int load_image(FILE *file, const ModuleKind &kind, bool block_valid, unsigned char **image,
                      unsigned char **readback, uint32_t *image_length) {
    fseek(file, 0, SEEK_END);
    const long size = ftell(file);
    fseek(file, 0, SEEK_SET);
    if (size < static_cast<long>(kind.info_addr) + kind.info_size || size > 2L * kind.flash_words) {
        fprintf(stderr, "Invalid firmware flash filesize: %ld\n", size);
        return ERR_FILE_SIZE;
    }
    const uint32_t file_size = static_cast<uint32_t>(size);
    uint32_t length = file_size;
    if (has_save_region(kind) && kind.save_addr + kind.save_size > length)
        length = kind.save_addr + kind.save_size;
    length += length % 2;
    *image_length = length;

    *image = static_cast<unsigned char *>(malloc(length));
    *readback = static_cast<unsigned char *>(malloc(length));
    if (*image == nullptr || *readback == nullptr) {
        fprintf(stderr, "Memory allocation error!\n");
        return ERR_LOAD_IMAGE;
    }
    if (fread(*image, 1, file_size, file) != file_size) {
        fprintf(stderr, "Read file Error!\n");
        return ERR_LOAD_IMAGE;
    }
    memset(*image + file_size, 0xFF, length - file_size);

    unsigned char *block = *image + kind.info_addr;
    if (block_valid) {
        if (kind.serial_size != 0)
            memcpy(block + kind.serial_offset, info_buffer + kind.serial_offset, kind.serial_size);
        if (kind.keep_size != 0)
            memcpy(block + kind.keep_offset, info_buffer + kind.keep_offset, kind.keep_size);
    }
    seal_info_block(*image, kind);
    if (has_save_region(kind)) memcpy(*image + kind.save_addr, save_buffer, kind.save_size);
    return 0;
}

// Erases the chip, writes the image with progress dots, reads it back and compares.
static int program_flash(AvrHandle *handle, const unsigned char *image, unsigned char *readback,
                         uint32_t image_length, int verbose) {
    const uint32_t words = image_length / 2;
    narrate(verbose, "  Chip erase...         ");
    int rc = QBXAVR_ChipErase(handle);
    if (rc == 0) {
        narrate(verbose, "ok.\n");
        narrate(verbose, "  Write firmware...     ");
        rc = QBXAVR_WriteProgrammMemoryCb(handle, image, words, 0, progress_callback, nullptr);
    }
    if (rc == 0) {
        narrate(verbose, "ok.\n");
        narrate(verbose, "  Verify firmware...    ");
        rc = QBXAVR_ReadProgrammMemory(handle, readback, words, 0);
    }
    if (rc != 0) {
        report_library_error(verbose, rc);
        return rc;
    }
    if (memcmp(readback, image, image_length) == 0) {
        narrate(verbose, "ok.\n");
        return 0;
    }
    for (uint32_t i = 0;; ++i) {  // the first difference, which memcmp does not tell
        if (readback[i] != image[i]) {
            narrate(verbose, "err\n");
            fprintf(stderr, "Error! Invalid byte %d: write 0x%x, read 0x%x\n", static_cast<int>(i),
                    image[i], readback[i]);
            return ERR_VERIFY;
        }
    }
}

int update_module(const char *crate_serial, int slot, FILE *file, const ModuleKind &kind,
                  int verbose) {
    AvrHandle handle;
    QBXAVR_Init(&handle);
    if (verbose)
        printf("\nStart write firmware for module: crate = %s, slot = %d\n", crate_serial, slot);
    narrate(verbose, "  Open module...        ");
    int rc = QBXAVR_Open(&handle, SERVER_ADDR, SERVER_PORT, crate_serial, slot);
    if (rc != 0) {
        report_library_error(verbose, rc);
        return rc;
    }
    if (verbose)
        printf("ok: crate = %.*s, slot = %d\n",
               static_cast<int>(strnlen(handle.crate.crate_serial, SERIAL_SIZE)),
               handle.crate.crate_serial, handle.crate.channel);
    narrate(verbose, "  Read module info...   ");

    bool block_valid = false;
    unsigned char *image = nullptr;
    unsigned char *readback = nullptr;
    uint32_t image_length = 0;
    rc = read_module_data(&handle, kind, verbose, &block_valid);
    if (rc == 0) rc = load_image(file, kind, block_valid, &image, &readback, &image_length);
    if (rc == 0) rc = program_flash(&handle, image, readback, image_length, verbose);
    free(readback);
    free(image);

    narrate(verbose, "  Close module...       ");
    const int close_rc = QBXAVR_Close(&handle);
    if (close_rc != 0)
        report_library_error(verbose, close_rc);
    else
        narrate(verbose, "ok.\n");
    return rc != 0 ? rc : close_rc;
}

int progress_callback(intptr_t, intptr_t, intptr_t, intptr_t) {
    printf(".");
    return fflush(stdout);
}
