// Identification of a firmware file: which module kind's name stands, zero-terminated,
// in that kind's info block at its fixed file offset.
#pragma once

#include <stdio.h>

#include "firmware/module_kinds.h"

// Probes the rows of module_kinds in table order, reading each row's block into
// info_buffer; the first row whose name matches wins. Returns 0 and sets *kind to that
// row (with `verbose`, prints "Firmware for module NAME. ver = ..., date = ...\n" and
// flushes), or prints "Error! Unsupported firmware file...\n" to standard error and
// returns ERR_UNSUPPORTED with *kind untouched. The file is left at any position.
int identify_firmware(FILE *file, const ModuleKind **kind, int verbose);
