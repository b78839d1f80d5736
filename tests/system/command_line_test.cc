// The command line as a user meets it: the built qbxmodflash run over a table of argument
// vectors against a simulated crate whose slot 7 holds a QBX71 module and slot 4 is empty.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwimage/firmware_image.h"
#include "process.h"
#include "sim_server.h"

namespace {

const char HELP[] =
    "\n"
    "Usage: qbxmodflash [OPTIONS] firmware-file\n"
    "\n"
    " qbxmodflash is command line utility for update AVR firmware in QBX-modules.\n"
    " This utility determinates by firmware-file for which module this firmware\n"
    "   intended.\n"
    " You can update firmware for all QBX-modulus for which it fit:\n"
    "\n"
    "   qbxmodflash -v --all firmware-file\n"
    "\n"
    " Or you can update firmware only for specified module:\n"
    "\n"
    "   qbxmodflash -v --csn=crate-serial --slot=slot-in-crate fimware-file\n"
    "\n"
    "Supported modules:\n"
    "    QBX61\n"
    "    QBX62\n"
    "    QBX153\n"
    "    QBX83\n"
    "    QBX71\n"
    "    QBX72\n"
    "    QBX73\n"
    "    QBX88\n"
    "\n"
    "Options:\n"
    "    --all               - Batch update firmware for all modules for wich\n"
    "                          firmware fits\n"
    "-c, --csn=crate-serial  - Crate serial which contains module, which needs to be\n"
    "                          upgraded\n"
    "-h, --help              - Print this help and exit\n"
    "-s, --slot=module-slot  - Slot number (1-16) of module, which needs to be\n"
    "                          upgraded\n"
    "-v, --verbose           - Print verbose information about process of upgrading.\n"
    "                          Without this option utility prints only error\n"
    "                          messages\n";

const std::string IDENTIFIED = "Firmware for module QBX71. ver = 1.2, date = 2026-12-11\n";
const std::string DONE =
    "\nWork done!\n"
    "   Total crates  processed: 1, successful: 1, with error: 0\n"
    "   Total modules processed: 1, successful: 1, with error: 0\n";
// The quiet update of slot 7: one write block, one dot.
const std::string UPDATED = "." + DONE;
const std::string NARRATED =
    IDENTIFIED +
    "\nStart write firmware for module: crate = CR-A, slot = 7\n"
    "  Open module...        ok: crate = CR-A, slot = 7\n"
    "  Read module info...   ok: serial = SN-7, ver = 1.2, date = 2026-12-11\n"
    "  Chip erase...         ok.\n"
    "  Write firmware...     .ok.\n"
    "  Verify firmware...    ok.\n"
    "  Close module...       ok.\n" +
    DONE;

// An empty named slot: one module counted with error.
const char SLOT_FAILED[] =
    "\nWork done!\n"
    "   Total crates  processed: 1, successful: 1, with error: 0\n"
    "   Total modules processed: 1, successful: 0, with error: 1\n";
const char EMPTY_SLOT[] = "Error! Specified slot is empty!\n";
const char INVALID_SLOT[] = "Error! Invalid slot number\n";
const char NO_FILE[] = "Error! firmware file is not specified\n";

class CommandLine : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(start_sim(&server_, R"({"crates": [{"serial": "CR-A", "slots": {
            "7": {"kind": "QBX71", "image": {"serial": "SN-7", "version": [1, 2]}}}}]})"));
        ImageSpec image_spec;
        image_spec.kind = find_module_kind("QBX71");
        image_spec.size = 172;
        write_file(server_.dir + "/fw.bin", build_firmware_image(image_spec));
        write_file(server_.dir + "/junk.bin", std::vector<unsigned char>(9000, 0x5A));
    }
    static void TearDownTestSuite() { discard_sim(&server_); }

    static ProcessResult run(std::vector<std::string> args,
                             std::vector<std::string> environment = {}) {
        args.insert(args.begin(), QBXMODFLASH_BIN);
        environment.push_back(endpoint_setting(server_));
        return run_process(args, {server_.dir, environment, {"POSIXLY_CORRECT"}});
    }

    static SimServer server_;
};
SimServer CommandLine::server_;

TEST_F(CommandLine, ArgumentVectors) {
    struct Case {
        std::vector<std::string> args;
        int status;  // as the shell sees it: -1 is 255
        std::string out;
        std::string err;
        int diagnostics;  // lines of the parser's own, before `err`
    } cases[] = {
        {{}, 255, "", NO_FILE, 0},
        {{"-h"}, 0, HELP, "", 0},
        // The help ends the run before the file is opened.
        {{"--help", "missing.bin"}, 0, HELP, "", 0},
        {{"-vh"}, 0, HELP, "", 0},
        {{"-hv"}, 0, HELP, "", 0},
        {{"-h", "-s", "99"}, 0, HELP, "", 0},
        // The first invalid slot ends the parse: no help, no missing-file message.
        {{"-s", "99", "-h"}, 255, "", INVALID_SLOT, 0},
        {{"-s", "99"}, 255, "", INVALID_SLOT, 0},
        {{"-s", "0", "fw.bin"}, 255, "", INVALID_SLOT, 0},
        {{"-s", "17", "fw.bin"}, 255, "", INVALID_SLOT, 0},
        {{"-s", "-1", "fw.bin"}, 255, "", INVALID_SLOT, 0},
        {{"-s", "abc", "fw.bin"}, 255, "", INVALID_SLOT, 0},
        {{"-s", "7", "-s", "20", "fw.bin"}, 255, "", INVALID_SLOT, 0},
        // Numbers beyond an int are invalid, not wrapped round to a slot (2^32 + 7).
        {{"-s", "4294967303", "fw.bin"}, 255, "", INVALID_SLOT, 0},
        {{"-s", "2147483648", "fw.bin"}, 255, "", INVALID_SLOT, 0},
        {{"-s", "99999999999999999999999", "fw.bin"}, 255, "", INVALID_SLOT, 0},
        {{"-s", "7abc", "fw.bin"}, 0, UPDATED, "", 0},
        {{"-s", " +7", "fw.bin"}, 0, UPDATED, "", 0},
        {{"-s", "3", "-s", "7", "fw.bin"}, 0, UPDATED, "", 0},
        {{"-s7", "fw.bin"}, 0, UPDATED, "", 0},
        {{"--slot=4", "fw.bin"}, 249, SLOT_FAILED, EMPTY_SLOT, 0},
        {{"--slot", "16", "fw.bin"}, 249, SLOT_FAILED, EMPTY_SLOT, 0},
        {{"fw.bin", "-v"}, 0, NARRATED, "", 0},
        {{"--verb", "--sl=7", "--a", "fw.bin"}, 0, NARRATED, "", 0},
        {{"fw.bin", "second.bin"}, 0, UPDATED, "", 0},
        // -c takes the file name as its value.
        {{"-c", "fw.bin"}, 255, "", NO_FILE, 0},
        {{"--csn=", "fw.bin"}, 0, UPDATED, "", 0},
        {{"-c", "cr-a", "fw.bin"}, 251, "Cannot find specified QBX-modules!\n", "", 0},
        {{"--csn", "CR-A", "fw.bin"}, 0, UPDATED, "", 0},
        // Rejected options: the parser's diagnostic, and the run goes on without them.
        {{"fw.bin", "-s"}, 0, UPDATED, "", 1},
        {{"--verbose=1", "fw.bin"}, 0, UPDATED, "", 1},
        {{"-x", "fw.bin"}, 0, UPDATED, "", 1},
        {{"--bogus", "fw.bin"}, 0, UPDATED, "", 1},
        {{"-all", "fw.bin"}, 0, UPDATED, "", 3},
        {{"--", "-v"}, 254, "", "Error! Cannot open firmware file -v.\n", 0},
        {{"-"}, 254, "", "Error! Cannot open firmware file -.\n", 0},
        {{"missing.bin"}, 254, "", "Error! Cannot open firmware file missing.bin.\n", 0},
        {{"-v", "junk.bin"}, 252, "", "Error! Unsupported firmware file...\n", 0},
    };
    for (const Case &c : cases) {
        std::string shown;
        for (const std::string &arg : c.args) shown += " '" + arg + "'";
        SCOPED_TRACE("qbxmodflash" + shown);
        const ProcessResult result = run(c.args);
        EXPECT_EQ(c.status, result.status);
        EXPECT_EQ(c.out, result.out);
        std::string err = result.err;
        for (int i = 0; i < c.diagnostics; ++i) {
            EXPECT_EQ(0u, err.find(std::string(QBXMODFLASH_BIN) + ": ")) << err;
            err.erase(0, err.find('\n') + 1);
        }
        EXPECT_EQ(c.err, err);
    }
}

TEST_F(CommandLine, PosixlyCorrectEndsOptionsAtTheFileName) {
    // The options after the file name are ignored: no slot 4 error, no narration.
    ProcessResult result = run({"fw.bin", "-s", "4", "-v"}, {"POSIXLY_CORRECT=1"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(UPDATED, result.out);
    EXPECT_EQ("", result.err);

    result = run({"-v", "fw.bin", "-s", "4"}, {"POSIXLY_CORRECT=1"});
    EXPECT_EQ(NARRATED, result.out);
}

}  // namespace
