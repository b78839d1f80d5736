#include "firmware/identify.h"

#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <vector>

#include "capture.h"
#include "firmware/info_block.h"
#include "fwimage/firmware_image.h"
#include "result_codes.h"

namespace {

std::vector<uint8_t> image_of(const char *kind, uint32_t size = 0) {
    ImageSpec image_spec;
    image_spec.kind = find_module_kind(kind);
    image_spec.size = size;
    return build_firmware_image(image_spec);
}

struct IdentifyResult {
    int rc;
    const ModuleKind *kind;
    Output output;
};

IdentifyResult identify(const std::vector<uint8_t> &bytes, int verbose) {
    FILE *file = file_with(bytes);
    IdentifyResult result{0, nullptr, {}};
    result.output =
        capture_output([&] { result.rc = identify_firmware(file, &result.kind, verbose); });
    fclose(file);
    return result;
}

TEST(IdentifyFirmware, EveryKindsOwnImage) {
    for (const ModuleKind &kind : module_kinds) {
        SCOPED_TRACE(kind.name);
        const IdentifyResult result = identify(image_of(kind.name), 0);
        EXPECT_EQ(0, result.rc);
        EXPECT_EQ(&kind, result.kind);
        EXPECT_EQ("", result.output.out);
    }
}

TEST(IdentifyFirmware, FileContents) {
    struct Case {
        const char *what;
        std::function<std::vector<uint8_t>()> bytes;
        const char *kind;  // null: unsupported
    } cases[] = {
        // 172 bytes hold QBX71's block; every kind probed before it needs more.
        {"smallest QBX71 file", [] { return image_of("QBX71", 172); }, "QBX71"},
        {"one byte short of the block", [] { return image_of("QBX71", 171); }, nullptr},
        {"empty file", [] { return std::vector<uint8_t>(); }, nullptr},
        {"name followed by another byte",
         [] {
             std::vector<uint8_t> bytes = image_of("QBX71");
             bytes[0x80 + 17 + 5] = '!';
             return bytes;
         },
         nullptr},
        {"name in lower case",
         [] {
             std::vector<uint8_t> bytes = image_of("QBX71");
             memcpy(&bytes[0x80 + 17], "qbx71", 5);
             return bytes;
         },
         nullptr},
        // Both names at their own places: the kind earlier in the table wins.
        {"QBX61 and QBX83 names",
         [] {
             std::vector<uint8_t> bytes = image_of("QBX83");
             memcpy(&bytes[0x80 + 17], "QBX61", 6);
             return bytes;
         },
         "QBX61"},
        {"wrong CRC",
         [] {
             ImageSpec image_spec;
             image_spec.kind = find_module_kind("QBX62");
             image_spec.valid_crc = false;
             return build_firmware_image(image_spec);
         },
         "QBX62"},
        {"QBX72 is not taken for QBX71", [] { return image_of("QBX72"); }, "QBX72"},
        {"zeros", [] { return std::vector<uint8_t>(131072, 0); }, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const IdentifyResult result = identify(c.bytes(), 0);
        if (c.kind == nullptr) {
            EXPECT_EQ(ERR_UNSUPPORTED, result.rc);
            EXPECT_EQ(nullptr, result.kind);
            EXPECT_EQ("Error! Unsupported firmware file...\n", result.output.err);
        } else {
            EXPECT_EQ(0, result.rc);
            ASSERT_NE(nullptr, result.kind);
            EXPECT_STREQ(c.kind, result.kind->name);
            EXPECT_EQ("", result.output.err);
        }
    }
}

TEST(IdentifyFirmware, VerboseLineAndBlockLeftInBuffer) {
    ImageSpec image_spec;
    image_spec.kind = find_module_kind("QBX71");
    image_spec.version = {1, 2};
    image_spec.date = "2026-12-11";
    const std::vector<uint8_t> image = build_firmware_image(image_spec);
    const IdentifyResult result = identify(image, 1);
    EXPECT_EQ(0, result.rc);
    EXPECT_EQ("Firmware for module QBX71. ver = 1.2, date = 2026-12-11\n", result.output.out);
    EXPECT_EQ(0, memcmp(info_buffer, &image[0x80], 44));

    const IdentifyResult junk = identify(std::vector<uint8_t>(300, 0xAA), 1);
    EXPECT_EQ("", junk.output.out);
    EXPECT_EQ("Error! Unsupported firmware file...\n", junk.output.err);
}

}  // namespace
