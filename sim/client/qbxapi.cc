// Stand-in crate library: the crate list and module IDs, from the simulated crate server.
#include "platform/qbxapi.h"

#include <string.h>

#include "client/link.h"
#include "platform/crate_system.h"
#include "wire/wire.h"

int QBX_Init(CrateHandle *handle) {
    if (handle == nullptr) return wire::E_BAD_ARGUMENT;
    memset(handle, 0, sizeof *handle);
    crate_link::reset(handle->library_state);
    return wire::E_OK;
}

int QBX_OpenSvcControl(CrateHandle *handle, uint32_t server_addr, uint16_t server_port) {
    if (handle == nullptr) return wire::E_BAD_ARGUMENT;
    uint32_t addr = 0;
    uint16_t port = 0;
    int rc = crate_link::connect(handle->library_state, server_addr, server_port, &addr, &port);
    if (rc == wire::E_OK)
        rc = crate_link::call(handle->library_state, wire::OP_SVC_OPEN, nullptr, 0, nullptr, 0,
                              nullptr, 0);
    if (rc != wire::E_OK) {
        crate_link::drop(handle->library_state);
        return rc;
    }
    handle->server_addr = addr;
    handle->server_port = port;
    return wire::E_OK;
}

int QBX_GetCrates(CrateHandle *handle, char crate_list[16][16]) {
    if (handle == nullptr || crate_list == nullptr) return wire::E_BAD_ARGUMENT;
    return crate_link::call(handle->library_state, wire::OP_GET_CRATES, nullptr, 0, nullptr, 0,
                            crate_list, MAX_CRATES * SERIAL_SIZE);
}

int QBX_OpenCrate(CrateHandle *handle, uint32_t server_addr, uint16_t server_port, int /*flags*/,
                  const char *crate_serial) {
    if (handle == nullptr || crate_serial == nullptr) return wire::E_BAD_ARGUMENT;
    // A serial of 16 characters or more names no crate: serials end within 16 bytes.
    if (strnlen(crate_serial, SERIAL_SIZE) == SERIAL_SIZE) return wire::E_NO_CRATE;
    unsigned char serial[SERIAL_SIZE] = {};
    memcpy(serial, crate_serial, strlen(crate_serial));

    uint32_t addr = 0;
    uint16_t port = 0;
    unsigned char reached[SERIAL_SIZE];
    int rc = crate_link::connect(handle->library_state, server_addr, server_port, &addr, &port);
    if (rc == wire::E_OK)
        rc = crate_link::call(handle->library_state, wire::OP_CRATE_OPEN, serial, SERIAL_SIZE,
                              nullptr, 0, reached, SERIAL_SIZE);
    if (rc != wire::E_OK) {
        crate_link::drop(handle->library_state);
        return rc;
    }
    handle->server_addr = addr;
    handle->server_port = port;
    memcpy(handle->crate_serial, reached, SERIAL_SIZE);
    return wire::E_OK;
}

int QBX_GetCrateModules(CrateHandle *handle, uint16_t slot_mids[16]) {
    if (handle == nullptr || slot_mids == nullptr) return wire::E_BAD_ARGUMENT;
    unsigned char mids[2 * SLOT_COUNT];
    const int rc = crate_link::call(handle->library_state, wire::OP_CRATE_MODULES, nullptr, 0,
                                    nullptr, 0, mids, sizeof mids);
    if (rc != wire::E_OK) return rc;
    for (int slot = 0; slot < SLOT_COUNT; ++slot) slot_mids[slot] = wire::get_u16(mids + 2 * slot);
    return wire::E_OK;
}

int QBX_Close(CrateHandle *handle) {
    if (handle == nullptr) return wire::E_BAD_ARGUMENT;
    return crate_link::close(handle->library_state);
}

const char *QBX_GetErrorString(int code) { return wire::error_text(code); }
