// The update of one module: open its AVR, read its info block and preserved region,
// build the image from the firmware file with the module's own data carried over,
// seal it, erase, write with progress dots, read back, compare, free and close.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "firmware/module_kinds.h"

extern unsigned char save_buffer[SAVE_BUFFER_SIZE];

// Updates the module in `slot` of crate `crate_serial` with the firmware in `file` for
// `kind`, narrating each step on standard output when `verbose` is set. Returns 0 (the
// close's result) when every step succeeded; otherwise the first failure: ERR_FILE_SIZE,
// ERR_LOAD_IMAGE, ERR_VERIFY or the AVR library's code. A module that was opened is
// closed exactly once; a failed close after an earlier failure is only reported.
int update_module(const char *crate_serial, int slot, FILE *file, const ModuleKind &kind,
                  int verbose);

// Called by the AVR library once per written block: prints "." and flushes standard
// output. Returns the result of the flush.
int progress_callback(intptr_t, intptr_t, intptr_t, intptr_t);
