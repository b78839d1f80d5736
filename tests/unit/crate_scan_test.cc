#include "run/crate_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "fake_crate_libraries.h"
#include "fwimage/firmware_image.h"
#include "result_codes.h"

namespace {

constexpr uint16_t QBX71 = 0x4747;
constexpr uint16_t QBX62 = 0x3E3E;

class CrateScan : public testing::Test {
protected:
    void SetUp() override {
        fake = &system_;
        ImageSpec image_spec;
        image_spec.kind = find_module_kind("QBX71");
        image_spec.size = 2048;  // one write block: one dot per update
        file_ = file_with(build_firmware_image(image_spec));
    }
    void TearDown() override {
        fclose(file_);
        fake = nullptr;
    }

    void add_crate(const std::string &serial, std::vector<std::pair<int, uint16_t>> modules) {
        FakeCrate crate;
        crate.serial = serial;
        for (const auto &[slot, mid] : modules) crate.mids[slot - 1] = mid;
        system_.crates.push_back(crate);
    }

    Output scan(Options options) {
        if (options.csn == nullptr) options.csn = "";
        return capture_output(
            [&] { rc_ = scan_crates(options, file_, *find_module_kind("QBX71")); });
    }

    // The modules opened, as "crate/slot", and the crate-library calls but QBX_Init.
    std::vector<std::string> opened() const {
        std::vector<std::string> modules;
        for (const std::string &call : calls_starting_with("QBXAVR_Open(")) {
            const size_t serial = call.find(',', call.find(',') + 1) + 1;
            const size_t slot = call.rfind(',');
            modules.push_back(call.substr(serial, slot - serial) + "/" +
                              call.substr(slot + 1, call.size() - slot - 2));
        }
        return modules;
    }
    std::vector<std::string> crate_calls() const {
        std::vector<std::string> calls;
        for (const std::string &call : calls_starting_with("QBX_"))
            if (call != "QBX_Init()") calls.push_back(call);
        return calls;
    }

    FakeCrateSystem system_;
    FILE *file_ = nullptr;
    int rc_ = 1;
};

std::string summary(int crates, int crates_ok, int modules, int modules_ok) {
    return "\nWork done!\n   Total crates  processed: " + std::to_string(crates) +
           ", successful: " + std::to_string(crates_ok) +
           ", with error: " + std::to_string(crates - crates_ok) +
           "\n   Total modules processed: " + std::to_string(modules) +
           ", successful: " + std::to_string(modules_ok) +
           ", with error: " + std::to_string(modules - modules_ok) + "\n";
}

TEST_F(CrateScan, NoCrateListed) {
    const Output output = scan({});
    EXPECT_EQ(ERR_NOT_FOUND, rc_);
    EXPECT_EQ("Cannot find specified QBX-modules!\n", output.out);
    EXPECT_EQ((std::vector<std::string>{"QBX_OpenSvcControl(0x7f000001,11111)", "QBX_GetCrates()",
                                        "QBX_Close(svc)"}),
              crate_calls());
}

TEST_F(CrateScan, TargetsByFirstMatchAllAndSerialFilter) {
    struct Case {
        const char *what;
        Options options;
        std::vector<std::string> opened;
        std::string out;
        int rc;
    } cases[] = {
        // A crate without the kind is opened, closed and counted; the walk stops after
        // the first crate where a module was processed.
        {"first match", {0, 0, 0, "", nullptr}, {"CR-B/2"}, "." + summary(2, 2, 1, 1), 0},
        {"all",
         {0, 1, 0, "", nullptr},
         {"CR-B/2", "CR-B/9", "CR-C/1"},
         "..." + summary(3, 3, 3, 3),
         0},
        {"serial filter", {0, 1, 0, "CR-C", nullptr}, {"CR-C/1"}, "." + summary(1, 1, 1, 1), 0},
        {"serial filter counts letter case",
         {0, 1, 0, "cr-c", nullptr},
         {},
         "Cannot find specified QBX-modules!\n",
         ERR_NOT_FOUND},
        {"slot in every crate",
         {0, 1, 9, "", nullptr},
         {"CR-B/9"},
         "." + summary(3, 3, 3, 1),
         ERR_INCOMPLETE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        system_ = FakeCrateSystem{};
        add_crate("CR-A", {{1, QBX62}});
        add_crate("CR-B", {{2, QBX71}, {5, QBX62}, {9, QBX71}});
        add_crate("CR-C", {{1, QBX71}});
        const Output output = scan(c.options);
        EXPECT_EQ(c.rc, rc_);
        EXPECT_EQ(c.opened, opened());
        EXPECT_EQ(c.out, output.out);
    }
}

TEST_F(CrateScan, NamedSlotErrors) {
    struct Case {
        int slot;
        const char *err;
    } cases[] = {
        {4, "Error! Specified slot is empty!\n"},
        {2, "Error! Module in specified slot is not identified!\n"},
        {1,
         "Error! Invalid module in slot. Module mid=0x3e3e, firmware for module with mid = "
         "0x4747!\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.slot);
        system_ = FakeCrateSystem{};
        add_crate("CR-A", {{1, QBX62}, {2, 0xFFFF}, {3, QBX71}});
        add_crate("CR-B", {{1, QBX71}, {2, QBX71}, {3, QBX71}, {4, QBX71}});
        const Output output = scan({0, 0, c.slot, "", nullptr});
        EXPECT_EQ(c.err, output.err);
        EXPECT_EQ(summary(1, 1, 1, 0), output.out);  // the slot error ends the walk
        EXPECT_EQ(ERR_INCOMPLETE, rc_);
        EXPECT_TRUE(opened().empty());
    }
}

// A named slot without --csn used to be updated with the empty text as crate serial, so
// the AVR library opened a module of its choosing; it is now the examined crate's own.
TEST_F(CrateScan, NamedSlotOpensTheModuleOfTheExaminedCrate) {
    add_crate("CR-A", {{3, QBX71}});
    add_crate("CR-B", {{3, QBX71}});
    scan({0, 1, 3, "", nullptr});
    EXPECT_EQ(0, rc_);
    EXPECT_EQ((std::vector<std::string>{"CR-A/3", "CR-B/3"}), opened());
}

TEST_F(CrateScan, CrateFailuresAreCountedAndTheWalkGoesOn) {
    add_crate("CR-A", {{1, QBX71}});
    add_crate("CR-B", {{1, QBX71}});
    add_crate("CR-C", {{1, QBX71}});
    add_crate("CR-D", {{1, QBX71}});
    system_.failures = {
        {"QBX_OpenCrate", 1, 99}, {"QBX_OpenCrate", 2, 98}, {"QBX_GetCrateModules", 1, 97}};
    const Output output = scan({});
    EXPECT_EQ(ERR_INCOMPLETE, rc_);
    // The messages end without a line feed, so consecutive ones share a line.
    EXPECT_EQ(
        "Cannot open crate with serial = CR-A. Error 99: crate fault!"
        "Cannot open crate with serial = CR-B. Error 98: crate error!"
        "Cannot get modules list for crate CR-C. Error 97: crate error!",
        output.err);
    EXPECT_EQ("." + summary(4, 1, 1, 1), output.out);
    EXPECT_EQ((std::vector<std::string>{"CR-D/1"}), opened());
    // A crate whose open failed is not closed; every opened one is, once.
    EXPECT_EQ((std::vector<std::string>{"QBX_Close(CR-C)", "QBX_Close(CR-D)", "QBX_Close(svc)"}),
              calls_starting_with("QBX_Close"));
}

TEST_F(CrateScan, FailedUpdateEndsTheWalkWithoutAll) {
    add_crate("CR-A", {{1, QBX71}, {2, QBX71}});
    add_crate("CR-B", {{1, QBX71}});
    system_.failures = {{"QBXAVR_ChipErase", 0, 42}};
    const Output output = scan({});
    EXPECT_EQ(ERR_INCOMPLETE, rc_);
    EXPECT_EQ(summary(1, 1, 1, 0), output.out);
    EXPECT_EQ("Error 42: module fault!\n", output.err);
    EXPECT_EQ((std::vector<std::string>{"CR-A/1"}), opened());
}

TEST_F(CrateScan, ServiceConnectionFailures) {
    system_.failures = {{"QBX_OpenSvcControl", 0, 99}};
    Output output = scan({});
    EXPECT_EQ(99, rc_);
    EXPECT_EQ("Cannot open connection with qbxd. Error 99: crate fault!", output.err);
    EXPECT_EQ("", output.out);
    EXPECT_EQ((std::vector<std::string>{"QBX_OpenSvcControl(0x7f000001,11111)"}), crate_calls());

    system_ = FakeCrateSystem{};
    system_.failures = {{"QBX_GetCrates", 0, 98}};
    output = scan({});
    EXPECT_EQ(98, rc_);
    EXPECT_EQ("Cannot get crate list from qbxd. Error 98: crate error!", output.err);
    EXPECT_EQ((std::vector<std::string>{"QBX_OpenSvcControl(0x7f000001,11111)", "QBX_GetCrates()",
                                        "QBX_Close(svc)"}),
              crate_calls());
}

// Crates are opened through the server the service connection reached, and a crate list
// entry that fills all 16 bytes is read only within them.
TEST_F(CrateScan, CratesOpenedThroughTheReachedServer) {
    add_crate("CR-0123456789ABC", {{1, QBX71}});
    system_.failures = {{"QBX_OpenCrate", 0, 99}};
    const Output output = scan({});
    EXPECT_EQ("QBX_OpenCrate(0x7f000002,22222,0,CR-0123456789ABC)", crate_calls()[2]);
    EXPECT_EQ("Cannot open crate with serial = CR-0123456789ABC. Error 99: crate fault!",
              output.err);
}

}  // namespace
