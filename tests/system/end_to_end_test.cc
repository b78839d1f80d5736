// Whole runs of the built qbxmodflash against the simulated crate server: what the user
// sees, the exit status, the requests made, and what the modules' flash holds afterwards.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/info_block.h"
#include "fwimage/firmware_image.h"
#include "process.h"
#include "sim_server.h"

namespace {

const char IDENTIFIED_71[] = "Firmware for module QBX71. ver = 1.3, date = 2026-12-11\n";

std::string summary(int crates, int crates_ok, int modules, int modules_ok) {
    char text[200];
    snprintf(text, sizeof text,
             "\nWork done!\n"
             "   Total crates  processed: %d, successful: %d, with error: %d\n"
             "   Total modules processed: %d, successful: %d, with error: %d\n",
             crates, crates_ok, crates - crates_ok, modules, modules_ok, modules - modules_ok);
    return text;
}

// The new firmware: version 1.3 and a serial and keep region of its own, which the
// module's must replace.
ImageSpec firmware_spec(const char *kind, uint32_t size = 0) {
    ImageSpec image_spec;
    image_spec.kind = find_module_kind(kind);
    image_spec.version = {1, 3};
    image_spec.serial = "SN-FILE";
    image_spec.keep = text_bytes("FILE-KEEP");
    image_spec.size = size;
    image_spec.pattern_seed = 1;
    return image_spec;
}

class EndToEnd : public testing::Test {
protected:
    void TearDown() override { discard_sim(&server_); }

    void start(const std::string &config) { ASSERT_TRUE(start_sim(&server_, config)); }

    std::string firmware(const ImageSpec &image_spec, const std::string &name) {
        const std::string path = server_.dir + "/" + name;
        write_file(path, build_firmware_image(image_spec));
        return path;
    }

    ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), QBXMODFLASH_BIN);
        return run_process(args, {"", {endpoint_setting(server_)}, {}});
    }

    // The log lines of one operation, as "crate/slot".
    std::vector<std::string> requests(const std::string &op) {
        std::vector<std::string> found;
        for (const std::string &line : request_log(server_)) {
            if (line.find(" op=" + op + " ") == std::string::npos) continue;
            const size_t crate = line.find("crate=") + 6, slot = line.find(" slot=");
            found.push_back(line.substr(crate, slot - crate) + "/" +
                            line.substr(slot + 6, line.find(' ', slot + 6) - slot - 6));
        }
        return found;
    }

    SimServer server_;
};

TEST_F(EndToEnd, VerboseRunFlashesAndVerifiesTheWholeImage) {
    start(R"({"crates": [{"serial": "QC-1", "slots": {
        "1": {"kind": "QBX71", "image": {"serial": "SN-71", "version": [1, 0], "date": "2020-02-02"}}}}]})");
    const std::string path = firmware(firmware_spec("QBX71"), "fw.bin");
    const ProcessResult result = run({"-v", "--all", path});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(std::string(IDENTIFIED_71) +
                  "\nStart write firmware for module: crate = QC-1, slot = 1\n"
                  "  Open module...        ok: crate = QC-1, slot = 1\n"
                  "  Read module info...   ok: serial = SN-71, ver = 1.0, date = 2020-02-02\n"
                  "  Chip erase...         ok.\n"
                  "  Write firmware...     " +
                  std::string(64, '.') +
                  "ok.\n"
                  "  Verify firmware...    ok.\n"
                  "  Close module...       ok.\n" +
                  summary(1, 1, 1, 1),
              result.out);

    ImageSpec expected = firmware_spec("QBX71");
    expected.serial = "SN-71";
    EXPECT_EQ(build_firmware_image(expected), state_flash(server_, "QC-1", 1));

    // Without -v: the dots and the summary.
    const ProcessResult quiet = run({path});
    EXPECT_EQ(0, quiet.status);
    EXPECT_EQ(std::string(64, '.') + summary(1, 1, 1, 1), quiet.out);
    EXPECT_EQ("", quiet.err);
}

TEST_F(EndToEnd, FirstMatchAllAndSerialFilterAcrossCrates) {
    start(R"({"crates": [
        {"serial": "QC-A", "slots": {"2": {"kind": "QBX62"}}},
        {"serial": "QC-B", "slots": {"3": {"kind": "QBX72"}, "9": {"kind": "QBX72"}}},
        {"serial": "QC-C", "slots": {"1": {"kind": "QBX72"}}}]})");
    const std::string path = firmware(firmware_spec("QBX72", 2048), "fw.bin");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> opened;
        std::string out;
        int status;
    } cases[] = {
        {{path}, {"QC-B/3"}, "." + summary(2, 2, 1, 1), 0},
        {{"--all", path}, {"QC-B/3", "QC-B/9", "QC-C/1"}, "..." + summary(3, 3, 3, 3), 0},
        {{"--csn=QC-C", path}, {"QC-C/1"}, "." + summary(1, 1, 1, 1), 0},
        {{"--csn=qc-c", path}, {}, "Cannot find specified QBX-modules!\n", 251},
        // A named slot opens that slot of each examined crate, never another crate's.
        {{"--all", "-s", "9", path}, {"QC-B/9"}, "." + summary(3, 3, 3, 1), 249},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        const size_t before = requests("avr_open").size();
        const ProcessResult result = run(c.args);
        EXPECT_EQ(c.status, result.status);
        EXPECT_EQ(c.out, result.out);
        std::vector<std::string> opened = requests("avr_open");
        opened.erase(opened.begin(), opened.begin() + static_cast<long>(before));
        EXPECT_EQ(c.opened, opened);
    }
}

// Every failure, each produced by the simulator in crate F; the module is closed exactly
// when it was opened.
TEST_F(EndToEnd, InjectedFailures) {
    const std::string START =
        "\nStart write firmware for module: crate = F, slot = 1\n"
        "  Open module...        ";
    const std::string OPENED = START + "ok: crate = F, slot = 1\n  Read module info...   ";
    const std::string READ = OPENED + "ok: serial = SN-F, ver = 1.0, date = 2026-12-11\n";
    const std::string ERASE = "  Chip erase...         ";
    const std::string WRITE = "  Write firmware...     ";
    const std::string VERIFY = "  Verify firmware...    ";
    const std::string CLOSED = "  Close module...       ok.\n";
    const std::string FAILED = summary(1, 1, 1, 0);
    const std::string WRITTEN = READ + ERASE + "ok.\n" + WRITE + "....ok.\n" + VERIFY;
    struct Case {
        const char *what;
        std::string crate_faults;   // JSON members
        std::string module_faults;  // JSON members
        std::string out;            // after the identification line
        std::string err;
        int status;
        int closes;  // close requests for the module
    } cases[] = {
        {"crate open", R"("open": 40)", "", "Cannot find specified QBX-modules!\n",
         "Cannot open crate with serial = F. Error 40: Unknown error!", 249, 0},
        {"module list", R"("module_list": 41)", "", "Cannot find specified QBX-modules!\n",
         "Cannot get modules list for crate F. Error 41: Unknown error!", 249, 0},
        {"module open", "", R"("open": 12)", START + "err\n" + FAILED,
         "Error 12: Module device fault!\n", 249, 0},
        {"info read", "", R"("read_info": 12)", OPENED + "err\n" + CLOSED + FAILED,
         "Error 12: Module device fault!\n", 249, 1},
        {"erase", "", R"("erase": 43)", READ + ERASE + "err\n" + CLOSED + FAILED,
         "Error 43: Unknown error!\n", 249, 1},
        {"write after 2048 words", "", R"("write": 12, "write_after_words": 2048)",
         READ + ERASE + "ok.\n" + WRITE + "..err\n" + CLOSED + FAILED,
         "Error 12: Module device fault!\n", 249, 1},
        {"read-back", "", R"("read_back": 12)", WRITTEN + "err\n" + CLOSED + FAILED,
         "Error 12: Module device fault!\n", 249, 1},
        {"verify", "", R"("stuck": [{"addr": 300, "value": 0}])",
         WRITTEN + "err\n" + CLOSED + FAILED, "", 249, 1},
        {"close", "", R"("close": 12)", WRITTEN + "ok.\n  Close module...       err\n" + FAILED,
         "Error 12: Module device fault!\n", 249, 1},
    };
    const std::vector<uint8_t> image = build_firmware_image(firmware_spec("QBX71", 8192));
    char verify_error[80];
    snprintf(verify_error, sizeof verify_error, "Error! Invalid byte 300: write 0x%x, read 0x0\n",
             image[300]);
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.what) == "verify") c.err = verify_error;
        discard_sim(&server_);
        start(R"({"crates": [{"serial": "F", "faults": {)" + c.crate_faults + R"(}, "slots": {
            "1": {"kind": "QBX71", "image": {"serial": "SN-F", "version": [1, 0]}, "faults": {)" +
              c.module_faults + "}}}}]}");
        const ProcessResult result = run({"-v", firmware(firmware_spec("QBX71", 8192), "fw.bin")});
        EXPECT_EQ(c.status, result.status);
        EXPECT_EQ(IDENTIFIED_71 + c.out, result.out);
        EXPECT_EQ(c.err, result.err);
        const std::vector<std::string> closes = requests("close");
        EXPECT_EQ(c.closes, std::count(closes.begin(), closes.end(), "F/1"));
    }
}

// The preserved region's read fails after the info block's: the module is closed and
// nothing is erased.
TEST_F(EndToEnd, PreservedRegionReadFailure) {
    start(R"({"crates": [{"serial": "F", "slots": {
        "1": {"kind": "QBX62", "image": {"serial": "SN-F"}, "faults": {"read_save": 45}}}}]})");
    const ProcessResult result = run({firmware(firmware_spec("QBX62"), "fw.bin")});
    EXPECT_EQ(249, result.status);
    EXPECT_EQ(summary(1, 1, 1, 0), result.out);
    EXPECT_EQ("Error 45: Unknown error!\n", result.err);
    EXPECT_EQ(2u, requests("avr_read").size());
    EXPECT_TRUE(requests("avr_erase").empty());
    const std::vector<std::string> closes = requests("close");
    EXPECT_EQ(1, std::count(closes.begin(), closes.end(), "F/1"));
}

TEST_F(EndToEnd, ServerFailures) {
    struct Case {
        const char *faults;
        std::string err;
        int status;
    } cases[] = {
        {R"("service_open": 12)",
         "Cannot open connection with qbxd. Error 12: Module device fault!", 12},
        {R"("crate_list": 44)", "Cannot get crate list from qbxd. Error 44: Unknown error!", 44},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.faults);
        discard_sim(&server_);
        start(std::string(R"({"faults": {)") + c.faults + R"(}, "crates": [{"serial": "F"}]})");
        const ProcessResult result = run({firmware(firmware_spec("QBX71", 172), "fw.bin")});
        EXPECT_EQ(c.status, result.status);
        EXPECT_EQ("", result.out);
        EXPECT_EQ(c.err, result.err);
    }

    // No server at all.
    const std::string path = firmware(firmware_spec("QBX71", 172), "fw.bin");
    stop_sim(&server_);
    const ProcessResult result = run({path});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Cannot open connection with qbxd. Error 1: Cannot connect to the crate server!",
              result.err);
}

TEST_F(EndToEnd, SlotErrors) {
    start(
        R"({"crates": [{"serial": "S", "slots": {"2": "unidentified", "3": {"kind": "QBX62"}}}]})");
    const std::string path = firmware(firmware_spec("QBX71", 172), "fw.bin");
    const ProcessResult unknown = run({"-s", "2", path});
    EXPECT_EQ("Error! Module in specified slot is not identified!\n", unknown.err);
    const ProcessResult other = run({"-s", "3", path});
    EXPECT_EQ(
        "Error! Invalid module in slot. Module mid=0x3e3e, firmware for module with mid = "
        "0x4747!\n",
        other.err);
    EXPECT_EQ(249, other.status);
    EXPECT_EQ(summary(1, 1, 1, 0), other.out);
    EXPECT_TRUE(requests("avr_open").empty());
}

// The module's own data survives an update byte for byte: QBX62's preserved region and
// keep region, QBX88's keep region, and both serials.
TEST_F(EndToEnd, ModuleDataSurvivesTheUpdate) {
    start(R"({"crates": [{"serial": "D", "slots": {
        "1": {"kind": "QBX62", "image": {"serial": "SN62-0007", "keep": "gain=1.0042",
                                         "preserved": "calibration 2025-02-11"}},
        "2": {"kind": "QBX88", "image": {"serial": "SN88-0100", "keep": "channel map A1-A16"}}}}]})");
    const std::vector<unsigned char> qbx62_before = state_flash(server_, "D", 1);
    const std::vector<unsigned char> qbx88_before = state_flash(server_, "D", 2);
    for (const char *kind_name : {"QBX62", "QBX88"}) {
        SCOPED_TRACE(kind_name);
        const ProcessResult result = run({firmware(firmware_spec(kind_name), "fw.bin")});
        EXPECT_EQ(0, result.status) << result.err;
    }
    struct Region {
        const char *kind;
        int slot;
        const std::vector<unsigned char> &before;
        uint32_t start, size;
    } regions[] = {
        {"QBX62", 1, qbx62_before, 0x1000, 0x800},      // preserved region
        {"QBX62", 1, qbx62_before, 0x80 + 52, 266},     // keep region
        {"QBX62", 1, qbx62_before, 0x80 + 28, 16},      // serial
        {"QBX88", 2, qbx88_before, 0x0CC0, 4800},       // keep region
        {"QBX88", 2, qbx88_before, 0x0CC0 + 4832, 16},  // serial
    };
    for (const Region &r : regions) {
        SCOPED_TRACE(std::string(r.kind) + " at " + std::to_string(r.start));
        const std::vector<unsigned char> after = state_flash(server_, "D", r.slot);
        ASSERT_EQ(r.before.size(), after.size());
        EXPECT_TRUE(std::equal(after.begin() + r.start, after.begin() + r.start + r.size,
                               r.before.begin() + r.start));
        const ModuleKind &kind = *find_module_kind(r.kind);
        uint16_t stored = 0, expected = 0;
        EXPECT_TRUE(info_crc_valid(&after[kind.info_addr], kind, &stored, &expected));
        // The new firmware's version is in place.
        const std::vector<uint8_t> image = build_firmware_image(firmware_spec(r.kind));
        const uint32_t version = kind.info_addr + kind.version_offset;
        EXPECT_TRUE(std::equal(after.begin() + version, after.begin() + version + kind.version_size,
                               image.begin() + version));
    }
}

}  // namespace
