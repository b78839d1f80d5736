#include "fake_crate_libraries.h"

#include <string.h>

#include "platform/qbxapi.h"
#include "platform/qbxavrapi.h"

FakeCrateSystem *fake = nullptr;

std::vector<uint8_t> &FakeCrateSystem::module_flash(const std::string &serial, int slot) {
    std::vector<uint8_t> &memory = flash[{serial, slot}];
    if (memory.empty()) memory.assign(2 * 65536, 0xFF);
    return memory;
}

std::vector<std::string> calls_starting_with(const std::string &prefix) {
    std::vector<std::string> found;
    for (const std::string &call : fake->calls)
        if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
    return found;
}

namespace {

constexpr int E_NO_CRATE = 5;
constexpr int E_NO_MODULE = 6;

// Logs the call and returns the injected code for it, or 0.
int record(const std::string &op, const std::string &arguments) {
    fake->calls.push_back(op + "(" + arguments + ")");
    const int nth = ++fake->counts[op];
    for (const FakeCrateSystem::Failure &failure : fake->failures)
        if (failure.op == op && (failure.nth == 0 || failure.nth == nth)) return failure.code;
    return 0;
}

std::string serial_of(const char *field) { return std::string(field, strnlen(field, 16)); }

const FakeCrate *find_crate(const std::string &serial) {
    for (const FakeCrate &crate : fake->crates)
        if (crate.serial == serial) return &crate;
    return nullptr;
}

std::vector<uint8_t> &open_flash(AvrHandle *handle) {
    return fake->module_flash(serial_of(handle->crate.crate_serial), handle->crate.channel);
}

}  // namespace

extern "C" {

int QBX_Init(CrateHandle *handle) {
    memset(handle, 0, sizeof *handle);
    return record("QBX_Init", "");
}

int QBX_OpenSvcControl(CrateHandle *handle, uint32_t addr, uint16_t port) {
    char arguments[32];
    snprintf(arguments, sizeof arguments, "0x%x,%u", addr, port);
    const int rc = record("QBX_OpenSvcControl", arguments);
    if (rc == 0) {
        // The server reached: a different one than asked, to show that crates are
        // opened through the reached address.
        handle->server_addr = 0x7F000002;
        handle->server_port = 22222;
    }
    return rc;
}

int QBX_GetCrates(CrateHandle *, char list[16][16]) {
    const int rc = record("QBX_GetCrates", "");
    if (rc != 0) return rc;
    memset(list, 0, 16 * 16);
    for (size_t i = 0; i < fake->crates.size() && i < 16; ++i)
        memcpy(list[i], fake->crates[i].serial.data(), fake->crates[i].serial.size());
    return 0;
}

int QBX_OpenCrate(CrateHandle *handle, uint32_t addr, uint16_t port, int flags,
                  const char *serial) {
    char arguments[64];
    snprintf(arguments, sizeof arguments, "0x%x,%u,%d,%s", addr, port, flags, serial);
    const int rc = record("QBX_OpenCrate", arguments);
    if (rc != 0) return rc;
    if (find_crate(serial) == nullptr) return E_NO_CRATE;
    memcpy(handle->crate_serial, serial, strnlen(serial, 16));
    return 0;
}

int QBX_GetCrateModules(CrateHandle *handle, uint16_t mids[16]) {
    const std::string serial = serial_of(handle->crate_serial);
    const int rc = record("QBX_GetCrateModules", serial);
    if (rc != 0) return rc;
    const FakeCrate *crate = find_crate(serial);
    for (int slot = 0; slot < 16; ++slot) mids[slot] = crate ? crate->mids[slot] : 0;
    return 0;
}

int QBX_Close(CrateHandle *handle) {
    return record("QBX_Close", handle->crate_serial[0] ? serial_of(handle->crate_serial) : "svc");
}

const char *QBX_GetErrorString(int code) { return code == 99 ? "crate fault" : "crate error"; }

int QBXAVR_Init(AvrHandle *handle) {
    memset(handle, 0, sizeof *handle);
    return record("QBXAVR_Init", "");
}

int QBXAVR_Open(AvrHandle *handle, uint32_t addr, uint16_t port, const char *serial, int slot) {
    char arguments[64];
    snprintf(arguments, sizeof arguments, "0x%x,%u,%s,%d", addr, port, serial, slot);
    const int rc = record("QBXAVR_Open", arguments);
    if (rc != 0) return rc;
    if (serial[0] == '\0' && fake->opened_serial.empty()) return E_NO_MODULE;
    const std::string reached = fake->opened_serial.empty() ? serial : fake->opened_serial;
    memcpy(handle->crate.crate_serial, reached.data(), reached.size());
    handle->crate.channel = static_cast<uint16_t>(slot);
    return 0;
}

int QBXAVR_ReadProgrammMemory(AvrHandle *handle, void *buffer, uint32_t words, uint32_t start) {
    const int rc =
        record("QBXAVR_ReadProgrammMemory", std::to_string(words) + "@" + std::to_string(start));
    if (rc != 0) return rc;
    const std::vector<uint8_t> &memory = open_flash(handle);
    unsigned char *into = static_cast<unsigned char *>(buffer);
    for (uint32_t i = 0; i < 2 * words; ++i) {
        const uint32_t address = 2 * start + i;
        const auto stuck = fake->stuck.find(address);
        into[i] = stuck != fake->stuck.end() ? stuck->second : memory.at(address);
    }
    return 0;
}

int QBXAVR_ChipErase(AvrHandle *handle) {
    const int rc = record("QBXAVR_ChipErase", "");
    if (rc == 0) open_flash(handle).assign(2 * 65536, 0xFF);
    return rc;
}

int QBXAVR_WriteProgrammMemoryCb(AvrHandle *handle, const void *buffer, uint32_t words,
                                 uint32_t start, QBXAVR_ProgressCallback callback, void *arg) {
    const int rc =
        record("QBXAVR_WriteProgrammMemoryCb", std::to_string(words) + "@" + std::to_string(start) +
                                                   (arg == nullptr ? "" : ",arg"));
    if (rc != 0) return rc;
    std::vector<uint8_t> &memory = open_flash(handle);
    const unsigned char *from = static_cast<const unsigned char *>(buffer);
    for (uint32_t i = 0; i < 2 * words; ++i) memory.at(2 * start + i) &= from[i];
    for (uint32_t done = 0; done < words; done += 1024)
        callback(static_cast<intptr_t>(done), static_cast<intptr_t>(words), 0, 0);
    return 0;
}

int QBXAVR_Close(AvrHandle *) { return record("QBXAVR_Close", ""); }

const char *QBXAVR_GetErrorString(int code) { return code == 42 ? "module fault" : "avr error"; }

}  // extern "C"
