// Result codes of qbxmodflash's own operations.
// 0 is success. The program's own failures are negative, so they never collide with the
// crate libraries' codes, which are small positive numbers passed on unchanged.
#pragma once

constexpr int ERR_OPTIONS = -1;      // invalid slot number, or no firmware file named
constexpr int ERR_FILE_OPEN = -2;    // the firmware file cannot be opened
constexpr int ERR_LOAD_IMAGE = -3;   // image buffers not allocated, or the file not read in full
constexpr int ERR_UNSUPPORTED = -4;  // the firmware file matches no module kind
constexpr int ERR_NOT_FOUND = -5;    // the crate walk found no module to process
constexpr int ERR_VERIFY = -6;       // the flash read back differs from the written image
constexpr int ERR_INCOMPLETE = -7;   // the crate walk counted a crate or a module with error
constexpr int ERR_FILE_SIZE = -10;   // the file is too small for the info block, or over the flash
