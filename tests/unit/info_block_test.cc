#include "firmware/info_block.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "capture.h"
#include "fwimage/firmware_image.h"

namespace {

const ModuleKind &kind_named(const char *name) { return *find_module_kind(name); }

TEST(Crc16, CheckValueAndEmptyInput) {
    const char *digits = "123456789";
    EXPECT_EQ(0x31C3, crc16(0, reinterpret_cast<const unsigned char *>(digits), 9));
    EXPECT_EQ(0x1234, crc16(0x1234, nullptr, 0));
}

TEST(InfoBlock, SealedBlockChecksForEveryKind) {
    for (const ModuleKind &kind : module_kinds) {
        SCOPED_TRACE(kind.name);
        ImageSpec image_spec;
        image_spec.kind = &kind;
        image_spec.serial = "SN-1";
        image_spec.valid_crc = false;
        std::vector<uint8_t> image = build_firmware_image(image_spec);
        uint16_t stored = 0, expected = 0;
        EXPECT_FALSE(info_crc_valid(&image[kind.info_addr], kind, &stored, &expected));

        const std::vector<uint8_t> before = image;
        seal_info_block(image.data(), kind);
        EXPECT_TRUE(info_crc_valid(&image[kind.info_addr], kind, &stored, &expected));
        EXPECT_EQ(stored, expected);
        // Only the two bytes of the CRC field change.
        const uint32_t field = kind.info_addr + kind.info_size - 2;
        image[field] = before[field];
        image[field + 1] = before[field + 1];
        EXPECT_EQ(before, image);
    }
}

// The CRC field's stored bytes: high byte first for swapped kinds, low byte first for the
// others, 0xFF 0xFF for the kind without a CRC.
TEST(InfoBlock, StoredByteOrderOfTheCrcField) {
    struct Case {
        const char *kind;
        bool high_first;
    } cases[] = {
        {"QBX61", true}, {"QBX153", true}, {"QBX62", false}, {"QBX83", false}, {"QBX71", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        const ModuleKind &kind = kind_named(c.kind);
        ImageSpec image_spec;
        image_spec.kind = &kind;
        std::vector<uint8_t> image = build_firmware_image(image_spec);
        const unsigned char *block = &image[kind.info_addr];
        const uint16_t crc = crc16(0, block, kind.info_size - 2);
        const uint8_t first = block[kind.info_size - 2], second = block[kind.info_size - 1];
        EXPECT_EQ(c.high_first ? crc >> 8 : crc & 0xFF, first);
        EXPECT_EQ(c.high_first ? crc & 0xFF : crc >> 8, second);
    }
}

TEST(InfoBlock, KindWithoutCrcIsValidOnlyWithFfFf) {
    const ModuleKind &kind = kind_named("QBX88");
    std::vector<uint8_t> block(kind.info_size, 0x5A);
    uint16_t stored = 0, expected = 0;
    block[kind.info_size - 2] = 0xFF;
    block[kind.info_size - 1] = 0xFE;
    EXPECT_FALSE(info_crc_valid(block.data(), kind, &stored, &expected));
    EXPECT_EQ(0xFEFF, stored);
    EXPECT_EQ(0xFFFF, expected);

    std::vector<uint8_t> image(2 * kind.flash_words, 0);
    seal_info_block(image.data(), kind);
    EXPECT_EQ(0xFF, image[kind.info_addr + kind.info_size - 2]);
    EXPECT_EQ(0xFF, image[kind.info_addr + kind.info_size - 1]);
    EXPECT_TRUE(info_crc_valid(&image[kind.info_addr], kind, &stored, &expected));
}

TEST(InfoBlock, SwappedKindReportsBothValuesAsCrcs) {
    const ModuleKind &kind = kind_named("QBX61");
    std::vector<uint8_t> block(kind.info_size, 0);
    const uint16_t crc = crc16(0, block.data(), kind.info_size - 2);
    block[kind.info_size - 2] = 0x12;  // high byte first: the field reads as 0x1234
    block[kind.info_size - 1] = 0x34;
    uint16_t stored = 0, expected = 0;
    EXPECT_FALSE(info_crc_valid(block.data(), kind, &stored, &expected));
    EXPECT_EQ(0x1234, stored);
    EXPECT_EQ(crc, expected);
}

TEST(PrintFirmwareVersion, VersionAndDateByKind) {
    struct Case {
        const char *kind;
        std::vector<uint8_t> stored;  // version bytes in stored order
        const char *date;
        const char *printed;
    } cases[] = {
        // In stored order.
        {"QBX71", {1, 2}, "2026-12-11", "ver = 1.2, date = 2026-12-11"},
        // Last byte first.
        {"QBX62", {1, 2}, "2025-01-31", "ver = 2.1, date = 2025-01-31"},
        // Four bytes, last first, no date field.
        {"QBX83", {4, 3, 2, 1}, "", "ver = 1.2.3.4"},
        // Numbers are unsigned bytes.
        {"QBX153", {255, 0}, "x", "ver = 255.0, date = x"},
        {"QBX88", {0, 0, 0, 255}, "", "ver = 255.0.0.0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        const ModuleKind &kind = kind_named(c.kind);
        std::vector<uint8_t> block(kind.info_size, 0);
        memcpy(&block[kind.version_offset], c.stored.data(), c.stored.size());
        if (kind.date_size) memcpy(&block[kind.date_offset], c.date, strlen(c.date));
        EXPECT_EQ(c.printed,
                  capture_output([&] { print_firmware_version(block.data(), kind); }).out);
    }
}

// A date without its zero runs on into the next field, as the text stands in flash, but
// never past the block: a block without any zero must not read beyond it.
TEST(PrintFirmwareVersion, DateWithoutZeroStopsAtTheBlockEnd) {
    const ModuleKind &kind = kind_named("QBX71");
    std::vector<uint8_t> block(kind.info_size + 16, 'Z');
    memset(&block[kind.version_offset], 1, kind.version_size);
    memset(&block[kind.date_offset], 'D', kind.info_size - kind.date_offset);
    const std::string printed =
        capture_output([&] { print_firmware_version(block.data(), kind); }).out;
    EXPECT_EQ("ver = 1.1, date = " + std::string(kind.info_size - kind.date_offset, 'D'), printed);
}

}  // namespace
