#include "update/module_update.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "capture.h"
#include "fake_crate_libraries.h"
#include "firmware/info_block.h"
#include "fwimage/firmware_image.h"
#include "result_codes.h"

namespace {

const char *const CRATE = "CR-7";
constexpr int SLOT = 3;

// The module's current firmware: its own serial, keep region and preserved region.
ImageSpec module_spec(const char *kind, bool valid_crc = true) {
    ImageSpec image_spec;
    image_spec.kind = find_module_kind(kind);
    image_spec.version = {1, 0};
    image_spec.date = "2020-01-01";
    image_spec.serial = "SN-MOD";
    image_spec.keep = text_bytes("MOD-KEEP");
    image_spec.preserved = text_bytes("MOD-PRESERVED");
    image_spec.valid_crc = valid_crc;
    image_spec.pattern_seed = 9;
    return image_spec;
}

// The new firmware file's contents: serial and keep region of its own.
ImageSpec file_spec(const char *kind, uint32_t size = 0) {
    ImageSpec image_spec;
    image_spec.kind = find_module_kind(kind);
    image_spec.serial = "SN-FILE";
    image_spec.keep = text_bytes("FILE-KEEP");
    image_spec.preserved = text_bytes("FILE-PRESERVED");
    image_spec.size = size;
    return image_spec;
}

class ModuleUpdate : public testing::Test {
protected:
    void SetUp() override { fake = &system_; }
    void TearDown() override { fake = nullptr; }

    void install_module(const ImageSpec &image_spec) {
        const std::vector<uint8_t> image = build_firmware_image(image_spec);
        std::vector<uint8_t> &flash = system_.module_flash(CRATE, SLOT);
        std::copy(image.begin(), image.end(), flash.begin());
    }

    std::vector<uint8_t> &flash() { return system_.module_flash(CRATE, SLOT); }

    Output update(const std::vector<uint8_t> &file_bytes, const char *kind, int verbose,
                  const char *crate = CRATE) {
        FILE *file = file_with(file_bytes);
        const Output output = capture_output(
            [&] { rc_ = update_module(crate, SLOT, file, *find_module_kind(kind), verbose); });
        fclose(file);
        return output;
    }

    // The AVR library calls by short name: "Init Open Read Erase Write Read Close".
    std::string avr_ops() const {
        std::string ops;
        for (const std::string &call : system_.calls) {
            std::string name = call.substr(0, call.find('('));
            if (name.compare(0, 7, "QBXAVR_") != 0) continue;
            name = name.substr(7);
            if (name == "ReadProgrammMemory") name = "Read";
            if (name == "WriteProgrammMemoryCb") name = "Write";
            if (name == "ChipErase") name = "Erase";
            ops += (ops.empty() ? "" : " ") + name;
        }
        return ops;
    }

    FakeCrateSystem system_;
    int rc_ = 1;
};

std::string start_lines() {
    return "\nStart write firmware for module: crate = CR-7, slot = 3\n"
           "  Open module...        ok: crate = CR-7, slot = 3\n"
           "  Read module info...   ";
}

TEST_F(ModuleUpdate, VerboseSuccessNarratesEveryStep) {
    install_module(module_spec("QBX71"));
    const Output output = update(build_firmware_image(file_spec("QBX71")), "QBX71", 1);
    EXPECT_EQ(0, rc_);
    EXPECT_EQ(start_lines() +
                  "ok: serial = SN-MOD, ver = 1.0, date = 2020-01-01\n"
                  "  Chip erase...         ok.\n"
                  "  Write firmware...     " +
                  std::string(64, '.') +
                  "ok.\n"
                  "  Verify firmware...    ok.\n"
                  "  Close module...       ok.\n",
              output.out);
    EXPECT_EQ("", output.err);
    EXPECT_EQ((std::vector<std::string>{"QBXAVR_Init()", "QBXAVR_Open(0x7f000001,11111,CR-7,3)",
                                        "QBXAVR_ReadProgrammMemory(22@64)", "QBXAVR_ChipErase()",
                                        "QBXAVR_WriteProgrammMemoryCb(65536@0)",
                                        "QBXAVR_ReadProgrammMemory(65536@0)", "QBXAVR_Close()"}),
              system_.calls);
}

TEST_F(ModuleUpdate, QuietSuccessPrintsOnlyTheDots) {
    install_module(module_spec("QBX71"));
    const Output output = update(build_firmware_image(file_spec("QBX71", 4096)), "QBX71", 0);
    EXPECT_EQ(0, rc_);
    EXPECT_EQ("..", output.out);
    EXPECT_EQ("", output.err);
}

// Reads of the info block cover odd sizes with one word more; the preserved region is
// read from its own word address.
TEST_F(ModuleUpdate, ReadAndWriteGeometryOfEveryKind) {
    struct Case {
        const char *kind;
        std::vector<std::string> reads;  // before the write
        const char *write;
    } cases[] = {
        {"QBX61", {"38@64"}, "4096@0"},   {"QBX62", {"160@64", "1024@2048"}, "4096@0"},
        {"QBX153", {"40@64"}, "65536@0"}, {"QBX83", {"64@4032"}, "65536@0"},
        {"QBX71", {"22@64"}, "65536@0"},  {"QBX88", {"2464@1632"}, "65536@0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        system_ = FakeCrateSystem{};
        install_module(module_spec(c.kind));
        update(build_firmware_image(file_spec(c.kind)), c.kind, 0);
        EXPECT_EQ(0, rc_);
        std::vector<std::string> expected;
        for (const std::string &read : c.reads)
            expected.push_back("QBXAVR_ReadProgrammMemory(" + read + ")");
        expected.push_back(std::string("QBXAVR_WriteProgrammMemoryCb(") + c.write + ")");
        std::vector<std::string> got;
        for (const std::string &call : calls_starting_with("QBXAVR_"))
            if (call.find("Read") != std::string::npos || call.find("Write") != std::string::npos)
                got.push_back(call);
        got.pop_back();  // the read-back
        EXPECT_EQ(expected, got);
    }
}

// What lands in flash: the file with the module's serial and keep region when the
// module's block is valid, the file's own when it is not; the block sealed either way;
// the preserved region always the module's.
TEST_F(ModuleUpdate, ModuleDataCarriedIntoTheImage) {
    for (const char *kind_name : {"QBX62", "QBX88", "QBX61"}) {
        for (bool module_valid : {true, false}) {
            SCOPED_TRACE(std::string(kind_name) + (module_valid ? " valid" : " invalid"));
            system_ = FakeCrateSystem{};
            const ModuleKind &kind = *find_module_kind(kind_name);
            install_module(module_spec(kind_name, module_valid));
            const std::vector<uint8_t> module_before = flash();
            update(build_firmware_image(file_spec(kind_name)), kind_name, 0);
            ASSERT_EQ(0, rc_);

            const ImageSpec carried = module_valid ? module_spec(kind_name) : file_spec(kind_name);
            ImageSpec merged = file_spec(kind_name);
            merged.serial = carried.serial;
            merged.keep = carried.keep;
            std::vector<uint8_t> expected = build_firmware_image(merged);
            std::copy_n(module_before.begin() + kind.save_addr, kind.save_size,
                        expected.begin() + kind.save_addr);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash().begin()));
            uint16_t stored = 0, calculated = 0;
            EXPECT_TRUE(info_crc_valid(&flash()[kind.info_addr], kind, &stored, &calculated));
        }
    }
}

TEST_F(ModuleUpdate, InvalidModuleBlockIsReportedAndUpdated) {
    install_module(module_spec("QBX71", false));
    uint16_t stored = 0, expected = 0;
    info_crc_valid(&flash()[0x80], *find_module_kind("QBX71"), &stored, &expected);
    const Output output = update(build_firmware_image(file_spec("QBX71", 172)), "QBX71", 1);
    EXPECT_EQ(0, rc_);
    char line[96];
    snprintf(line, sizeof line, "err: invalid flash info crc (0x%x), calculated crc = 0x%x\n\n",
             stored, expected);
    EXPECT_EQ(start_lines() + line +
                  "  Chip erase...         ok.\n"
                  "  Write firmware...     .ok.\n"
                  "  Verify firmware...    ok.\n"
                  "  Close module...       ok.\n",
              output.out);
}

// Each failure: its result, its message, and the calls made; a module that was opened is
// closed exactly once, whatever failed.
TEST_F(ModuleUpdate, Failures) {
    struct Case {
        const char *what;
        const char *kind;
        std::vector<FakeCrateSystem::Failure> failures;
        uint32_t file_size;  // 0: the whole image
        int rc;
        const char *err;
        const char *ops;
    } cases[] = {
        // clang-format off
        {"open fails", "QBX71", {{"QBXAVR_Open", 0, 42}}, 0, 42,
         "Error 42: module fault!\n", "Init Open"},
        {"info read fails", "QBX71", {{"QBXAVR_ReadProgrammMemory", 1, 7}}, 0, 7,
         "Error 7: avr error!\n", "Init Open Read Close"},
        {"preserved region read fails", "QBX62", {{"QBXAVR_ReadProgrammMemory", 2, 7}}, 0, 7,
         "Error 7: avr error!\n", "Init Open Read Read Close"},
        {"erase fails", "QBX71", {{"QBXAVR_ChipErase", 0, 7}}, 0, 7,
         "Error 7: avr error!\n", "Init Open Read Erase Close"},
        {"write fails", "QBX71", {{"QBXAVR_WriteProgrammMemoryCb", 0, 42}}, 0, 42,
         "Error 42: module fault!\n", "Init Open Read Erase Write Close"},
        {"read-back fails", "QBX71", {{"QBXAVR_ReadProgrammMemory", 2, 7}}, 0, 7,
         "Error 7: avr error!\n", "Init Open Read Erase Write Read Close"},
        {"close fails after success", "QBX71", {{"QBXAVR_Close", 0, 9}}, 0, 9,
         "Error 9: avr error!\n", "Init Open Read Erase Write Read Close"},
        {"close fails after a failure", "QBX71", {{"QBXAVR_ChipErase", 0, 42}, {"QBXAVR_Close", 0, 9}}, 0, 42,
         "Error 42: module fault!\nError 9: avr error!\n", "Init Open Read Erase Close"},
        {"file one byte short", "QBX71", {}, 171, ERR_FILE_SIZE,
         "Invalid firmware flash filesize: 171\n", "Init Open Read Close"},
        {"file one byte over the flash", "QBX71", {}, 131073, ERR_FILE_SIZE,
         "Invalid firmware flash filesize: 131073\n", "Init Open Read Close"},
        // clang-format on
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        system_ = FakeCrateSystem{};
        system_.failures = c.failures;
        install_module(module_spec(c.kind));
        std::vector<uint8_t> file = build_firmware_image(file_spec(c.kind));
        if (c.file_size) file.resize(c.file_size, 0xEE);
        const Output output = update(file, c.kind, 1);
        EXPECT_EQ(c.rc, rc_);
        EXPECT_EQ(c.err, output.err);
        EXPECT_EQ(c.ops, avr_ops());
    }
}

TEST_F(ModuleUpdate, FailureNarration) {
    system_.failures = {{"QBXAVR_Open", 0, 42}};
    EXPECT_EQ(
        "\nStart write firmware for module: crate = CR-7, slot = 3\n"
        "  Open module...        err\n",
        update(build_firmware_image(file_spec("QBX71")), "QBX71", 1).out);

    // After a refused file size the close line follows the read line directly.
    system_ = FakeCrateSystem{};
    install_module(module_spec("QBX71"));
    EXPECT_EQ(start_lines() + "ok: serial = SN-MOD, ver = 1.0, date = 2020-01-01\n" +
                  "  Close module...       ok.\n",
              update(std::vector<uint8_t>(171, 0), "QBX71", 1).out);

    // A failed close after a good write ends the narration with "err".
    system_ = FakeCrateSystem{};
    system_.failures = {{"QBXAVR_Close", 0, 9}};
    install_module(module_spec("QBX71"));
    const std::string out = update(build_firmware_image(file_spec("QBX71", 2048)), "QBX71", 1).out;
    EXPECT_EQ("  Close module...       err\n", out.substr(out.size() - 28));
}

TEST_F(ModuleUpdate, FileSizeBounds) {
    struct Case {
        const char *kind;
        uint32_t size;
        int rc;
    } cases[] = {
        {"QBX71", 171, ERR_FILE_SIZE},
        {"QBX71", 172, 0},
        {"QBX71", 131072, 0},
        {"QBX71", 131073, ERR_FILE_SIZE},
        {"QBX83", 8191, ERR_FILE_SIZE},
        {"QBX83", 8192, 0},
        {"QBX61", 8192, 0},
        {"QBX61", 8193, ERR_FILE_SIZE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.size));
        system_ = FakeCrateSystem{};
        install_module(module_spec(c.kind));
        std::vector<uint8_t> file = build_firmware_image(file_spec(c.kind));
        file.resize(c.size, 0x11);
        update(file, c.kind, 0);
        EXPECT_EQ(c.rc, rc_);
    }
}

TEST_F(ModuleUpdate, VerifyReportsOnlyTheFirstDifference) {
    install_module(module_spec("QBX71"));
    const std::vector<uint8_t> file = build_firmware_image(file_spec("QBX71"));
    system_.stuck = {{5000, static_cast<uint8_t>(~file[5000])},
                     {300, static_cast<uint8_t>(~file[300])}};
    const Output output = update(file, "QBX71", 0);
    EXPECT_EQ(ERR_VERIFY, rc_);
    char expected[80];
    snprintf(expected, sizeof expected, "Error! Invalid byte 300: write 0x%x, read 0x%x\n",
             file[300], static_cast<uint8_t>(~file[300]));
    EXPECT_EQ(expected, output.err);
    EXPECT_EQ("Init Open Read Erase Write Read Close", avr_ops());
}

// An odd file length used to leave the image's last byte unwritten and compared against
// a byte the read-back never filled; the image now ends with a 0xFF pad byte.
TEST_F(ModuleUpdate, OddFileLengthIsWrittenAndComparedInWholeWords) {
    install_module(module_spec("QBX71"));
    const std::vector<uint8_t> file = build_firmware_image(file_spec("QBX71", 173));
    update(file, "QBX71", 0);
    EXPECT_EQ(0, rc_);
    EXPECT_EQ(1, std::count(system_.calls.begin(), system_.calls.end(),
                            "QBXAVR_WriteProgrammMemoryCb(87@0)"));
    EXPECT_EQ(1, std::count(system_.calls.begin(), system_.calls.end(),
                            "QBXAVR_ReadProgrammMemory(87@0)"));
    EXPECT_EQ(file[172], flash()[172]);

    // The pad byte is erased flash, and it is read back and compared like any other.
    system_ = FakeCrateSystem{};
    install_module(module_spec("QBX71"));
    system_.stuck = {{173, 0x00}};
    EXPECT_EQ("Error! Invalid byte 173: write 0xff, read 0x0\n", update(file, "QBX71", 0).err);
    EXPECT_EQ(ERR_VERIFY, rc_);
}

// A file shorter than the preserved region's start used to leave the gap between them
// uninitialised in the image; it is now written as erased flash.
TEST_F(ModuleUpdate, GapBeforePreservedRegionIsWrittenAsErasedFlash) {
    install_module(module_spec("QBX62"));
    const std::vector<uint8_t> module_before = flash();
    const std::vector<uint8_t> file = build_firmware_image(file_spec("QBX62", 448));
    update(file, "QBX62", 0);
    EXPECT_EQ(0, rc_);
    EXPECT_EQ(1, std::count(system_.calls.begin(), system_.calls.end(),
                            "QBXAVR_WriteProgrammMemoryCb(3072@0)"));
    EXPECT_TRUE(std::all_of(flash().begin() + 448, flash().begin() + 0x1000,
                            [](uint8_t byte) { return byte == 0xFF; }));
    EXPECT_TRUE(std::equal(module_before.begin() + 0x1000, module_before.begin() + 0x1800,
                           flash().begin() + 0x1000));
}

TEST_F(ModuleUpdate, EmptyCrateSerialIsPassedOnUnchanged) {
    system_.opened_serial = "CR-7";
    install_module(module_spec("QBX71"));
    const Output output = update(build_firmware_image(file_spec("QBX71", 172)), "QBX71", 1, "");
    EXPECT_EQ(0, rc_);
    EXPECT_EQ("QBXAVR_Open(0x7f000001,11111,,3)", system_.calls[1]);
    EXPECT_EQ(0u, output.out.find("\nStart write firmware for module: crate = , slot = 3\n"
                                  "  Open module...        ok: crate = CR-7, slot = 3\n"));
}

}  // namespace
