#include "fwimage/firmware_image.h"

#include <algorithm>
#include <cstring>

#include "firmware/info_block.h"

static void put_bytes(std::vector<uint8_t> &image, uint32_t at, uint32_t field_size,
                      const std::vector<uint8_t> &bytes) {
    if (field_size == 0) return;
    std::fill(image.begin() + at, image.begin() + at + field_size, 0);
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), field_size), image.begin() + at);
}

// A text and its terminating zero, cut so that the zero stays inside the field.
static void put_text(std::vector<uint8_t> &image, uint32_t at, uint32_t field_size,
                     const std::string &text) {
    if (field_size == 0) return;
    put_bytes(image, at, field_size,
              std::vector<uint8_t>(text.begin(),
                                   text.begin() + std::min<size_t>(text.size(), field_size - 1)));
}

std::vector<uint8_t> build_firmware_image(const ImageSpec &image_spec) {
    const ModuleKind &kind = *image_spec.kind;
    const uint32_t flash_bytes = 2 * kind.flash_words;
    const uint32_t size = image_spec.size != 0 ? image_spec.size : flash_bytes;
    const uint32_t room =
        std::max(size, std::max(kind.info_addr + kind.info_size, kind.save_addr + kind.save_size));
    std::vector<uint8_t> image(room);
    for (uint32_t i = 0; i < room; ++i)
        image[i] =
            static_cast<uint8_t>((i * 7 + (i >> 8) + image_spec.pattern_seed * 31u + 3) & 0xFF);

    const uint32_t block = kind.info_addr;
    std::fill(image.begin() + block, image.begin() + block + kind.info_size, 0);
    put_text(image, block + kind.name_offset, static_cast<uint32_t>(std::strlen(kind.name)) + 1,
             kind.name);
    std::vector<uint8_t> version(image_spec.version);
    version.resize(kind.version_size);
    if (!(kind.flags & KIND_VERSION_IN_ORDER)) std::reverse(version.begin(), version.end());
    put_bytes(image, block + kind.version_offset, kind.version_size, version);
    put_text(image, block + kind.date_offset, kind.date_size, image_spec.date);
    put_text(image, block + kind.serial_offset, kind.serial_size, image_spec.serial);
    put_bytes(image, block + kind.keep_offset, kind.keep_size, image_spec.keep);
    put_bytes(image, kind.save_addr, kind.save_size, image_spec.preserved);

    seal_info_block(image.data(), kind);
    if (!image_spec.valid_crc) image[block + kind.info_size - 2] ^= 1;
    image.resize(size);
    return image;
}

const ModuleKind *find_module_kind(const std::string &name) {
    for (const ModuleKind &kind : module_kinds)
        if (name == kind.name) return &kind;
    return nullptr;
}

std::vector<uint8_t> text_bytes(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}
