// Builds firmware images for any module kind, for the tests, the simulated crate server
// and the demo: code bytes in a fixed pattern, an info block with name, version, date,
// serial and keep region, a preserved region, and a valid or deliberately wrong CRC.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "firmware/module_kinds.h"

struct ImageSpec {
    const ModuleKind *kind = nullptr;
    std::vector<uint8_t> version = {1, 2};  // as printed; stored in the kind's order
    std::string date = "2026-12-11";
    std::string serial;              // zero-padded into the serial field
    std::vector<uint8_t> keep;       // from the keep region's start; rest zero
    std::vector<uint8_t> preserved;  // from the preserved region's start; rest zero
    uint32_t size = 0;               // file size; 0 = the whole flash
    bool valid_crc = true;           // false: the CRC field is off by one
    uint8_t pattern_seed = 0;        // varies the code bytes between images
};

// The image as a firmware file holds it. Fields that do not fit are cut to their field.
std::vector<uint8_t> build_firmware_image(const ImageSpec &image_spec);

// The row of module_kinds with this name, or null.
const ModuleKind *find_module_kind(const std::string &name);

// Bytes of a text, for keep and preserved regions given as text.
std::vector<uint8_t> text_bytes(const std::string &text);
