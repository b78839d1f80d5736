// The flash info block: the CRC-16/XMODEM routine, the check and seal of a block's CRC
// field, and the printing of its version and date. info_buffer holds the block in hand:
// identification leaves the file's block there, each module update reads the module's.
#pragma once

#include <stdint.h>

#include "firmware/module_kinds.h"

extern unsigned char info_buffer[INFO_BUFFER_SIZE];

// CRC-16/XMODEM (poly 0x1021, MSB first, no reflection, no final XOR) of `length` bytes,
// continuing from `start`. A length of 0 returns `start`.
uint16_t crc16(uint16_t start, const unsigned char *data, uint32_t length);

// True when the CRC field of `block` (info_size readable bytes of kind `kind`) holds the
// expected value. Fills *stored (the field in the kind's byte order) and *expected
// (0xFFFF for KIND_NO_CRC, else the CRC of all bytes before the field) in either case.
bool info_crc_valid(const unsigned char *block, const ModuleKind &kind, uint16_t *stored,
                    uint16_t *expected);

// Writes the CRC field of the block at kind.info_addr in `image` (at least
// info_addr + info_size bytes) so that info_crc_valid holds; touches nothing else.
void seal_info_block(unsigned char *image, const ModuleKind &kind);

// Prints "ver = a.b, date = text" (each part only when the kind has the field) to
// standard output, without a line end or a flush. Texts stop at the block's end.
void print_firmware_version(const unsigned char *block, const ModuleKind &kind);

// Length of the zero-terminated text at `offset` of a kind's block, never counting
// past the block's last byte, so a field without its zero cannot run off the block.
int block_text_length(const unsigned char *block, const ModuleKind &kind, uint32_t offset);
