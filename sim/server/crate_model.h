// The simulated crate system: crates, their slots and each module's flash, with the faults
// a test or a rehearsal injects. Loaded from a JSON file; optionally kept in a state
// directory, one file per module flash, replaced atomically after every change.
#pragma once

#include <stdint.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "firmware/module_kinds.h"
#include "platform/crate_system.h"

struct ModuleFaults {
    int open = 0;       // code for the module open
    int read_info = 0;  // code for a read that starts at the info block
    int read_save = 0;  // code for a read that starts at the preserved region
    int erase = 0;
    int write = 0;  // code for a write block that ends past write_after_words
    uint32_t write_after_words = 0;
    int read_back = 0;  // code for a read that starts at word 0
    int close = 0;
    std::vector<std::pair<uint32_t, uint8_t>> stuck;  // byte address, value always read back
    int write_delay_ms = 0;                           // per written block
};

struct Module {
    uint16_t mid = MID_EMPTY;
    const ModuleKind *kind = nullptr;  // null: no programmable flash (empty, unidentified)
    std::vector<uint8_t> flash;
    ModuleFaults faults;
    bool busy = false;  // open on some connection
    std::string state_file;
};

struct Crate {
    std::string serial;
    int open_fault = 0;
    int modules_fault = 0;
    Module slots[SLOT_COUNT];
};

struct CrateSystem {
    std::mutex lock;  // guards everything below while a request is served
    std::vector<Crate> crates;
    int service_fault = 0;
    int crate_list_fault = 0;
    std::string state_dir;  // empty: flash lives in memory only
};

// Fills `system` from the JSON file at `path`. Returns true, or false with *error set.
bool load_crate_system(const std::string &path, CrateSystem *system, std::string *error);

// Keeps every module's flash under `dir`: a flash file that exists with the right size is
// served as it stands, any other is written from the configured flash.
bool attach_state_dir(const std::string &dir, CrateSystem *system, std::string *error);

// Replaces the module's state file with its flash (temporary file, fsync, rename), so a
// killed server leaves either the old or the new flash. True when nothing is kept.
bool persist_flash(const Module &module);
