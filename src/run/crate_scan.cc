#include "run/crate_scan.h"

#include <string.h>

#include "platform/crate_system.h"
#include "platform/qbxapi.h"
#include "result_codes.h"
#include "update/module_update.h"

struct ScanCounters {
    int crates_ok;    // crates whose module list was read
    int crates_err;   // crates whose open failed or whose module list was not read
    int modules_ok;   // updates that returned 0
    int modules_err;  // updates that failed, and slot errors of a named slot
};

// A crate serial from one of the library's 16-byte fields, zero-terminated even when the
// field holds 16 characters, so that no reader runs past the field.
struct SerialText {
    char text[SERIAL_SIZE + 1];
};

static SerialText serial_text(const char *field) {
    SerialText serial = {};
    memcpy(serial.text, field, SERIAL_SIZE);
    return serial;
}

static void count_update(int rc, ScanCounters *counters) {
    if (rc == 0)
        ++counters->modules_ok;
    else
        ++counters->modules_err;
}

// Updates the targets of one open crate. Updates are given the serial of the crate being
// examined, so that each one opens a module of this crate and no other.
static void update_crate_targets(const Options &options, FILE *file, const ModuleKind &kind,
                                 const CrateHandle &crate, const uint16_t slot_mids[SLOT_COUNT],
                                 ScanCounters *counters) {
    const SerialText serial = serial_text(crate.crate_serial);
    const uint16_t kind_mid = static_cast<uint16_t>(kind.mid);

    if (options.slot == 0) {
        for (int slot = 1; slot <= SLOT_COUNT; ++slot) {
            if (slot_mids[slot - 1] != kind_mid) continue;
            count_update(update_module(serial.text, slot, file, kind, options.verbose), counters);
            if (!options.all) break;
        }
        return;
    }

    const uint16_t mid = slot_mids[options.slot - 1];
    if (mid == MID_EMPTY) {
        fprintf(stderr, "Error! Specified slot is empty!\n");
        ++counters->modules_err;
    } else if (mid == MID_UNKNOWN) {
        fprintf(stderr, "Error! Module in specified slot is not identified!\n");
        ++counters->modules_err;
    } else if (mid != kind_mid) {
        fprintf(stderr,
                "Error! Invalid module in slot. Module mid=0x%x, firmware for module with "
                "mid = 0x%x!\n",
                mid, kind_mid);
        ++counters->modules_err;
    } else {
        count_update(update_module(serial.text, options.slot, file, kind, options.verbose),
                     counters);
    }
}

static void print_summary(const ScanCounters &c) {
    const int modules = c.modules_ok + c.modules_err;
    if (modules == 0) {
        printf("Cannot find specified QBX-modules!\n");
        return;
    }
    printf("\nWork done!\n");
    printf("   Total crates  processed: %d, successful: %d, with error: %d\n",
           c.crates_ok + c.crates_err, c.crates_ok, c.crates_err);
    printf("   Total modules processed: %d, successful: %d, with error: %d\n", modules,
           c.modules_ok, c.modules_err);
}

// The exit status of a completed walk: a script must be able to tell that a module was
// not flashed.
static int walk_status(const ScanCounters &c) {
    if (c.crates_err != 0 || c.modules_err != 0) return ERR_INCOMPLETE;
    if (c.modules_ok == 0) return ERR_NOT_FOUND;
    return 0;
}

int scan_crates(const Options &options, FILE *file, const ModuleKind &kind) {
    ScanCounters counters = {};
    CrateHandle service_conn;
    QBX_Init(&service_conn);
    int rc = QBX_OpenSvcControl(&service_conn, SERVER_ADDR, SERVER_PORT);
    if (rc != 0) {
        fprintf(stderr, "Cannot open connection with qbxd. Error %d: %s!", rc,
                QBX_GetErrorString(rc));
        return rc;
    }
    char crate_list[MAX_CRATES][SERIAL_SIZE];
    rc = QBX_GetCrates(&service_conn, crate_list);
    if (rc != 0) {
        fprintf(stderr, "Cannot get crate list from qbxd. Error %d: %s!", rc,
                QBX_GetErrorString(rc));
        QBX_Close(&service_conn);
        return rc;
    }

    uint16_t slot_mids[SLOT_COUNT];
    for (const char *entry : crate_list) {
        if (!options.all && counters.modules_ok + counters.modules_err != 0) break;
        if (entry[0] == '\0') continue;
        const SerialText serial = serial_text(entry);
        if (options.csn[0] != '\0' && strcmp(options.csn, serial.text) != 0) continue;

        CrateHandle crate_conn;
        QBX_Init(&crate_conn);
        const int open_rc = QBX_OpenCrate(&crate_conn, service_conn.server_addr,
                                          service_conn.server_port, 0, serial.text);
        if (open_rc != 0) {
            fprintf(stderr, "Cannot open crate with serial = %s. Error %d: %s!", serial.text,
                    open_rc, QBX_GetErrorString(open_rc));
            ++counters.crates_err;
            continue;
        }
        const int list_rc = QBX_GetCrateModules(&crate_conn, slot_mids);
        if (list_rc != 0) {
            fprintf(stderr, "Cannot get modules list for crate %s. Error %d: %s!",
                    serial_text(crate_conn.crate_serial).text, list_rc,
                    QBX_GetErrorString(list_rc));
            QBX_Close(&crate_conn);
            ++counters.crates_err;
            continue;
        }
        update_crate_targets(options, file, kind, crate_conn, slot_mids, &counters);
        QBX_Close(&crate_conn);
        ++counters.crates_ok;
    }

    print_summary(counters);
    QBX_Close(&service_conn);
    return walk_status(counters);
}
