/* The crate library qbxapi: the crate server's crate list and the module IDs of a crate.
 * Every operation that opens a connection or reads a list returns 0 on success, else the
 * library's own error code (a small positive number); QBX_GetErrorString gives its text,
 * owned by the library and never null. A CrateHandle is the caller's storage, prepared by
 * QBX_Init before each open; after a successful open the library has filled
 * server_addr/server_port (QBX_OpenSvcControl) and crate_serial (QBX_OpenCrate). */
#ifndef QBXAPI_H
#define QBXAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CrateHandle {
    uint32_t server_addr;            /* offset 0: server reached, 127.0.0.1 is 0x7F000001 */
    uint16_t server_port;            /* offset 4 */
    char crate_serial[16];           /* offset 6: zero-terminated within its 16 bytes */
    uint16_t channel;                /* offset 22: the slot, in a module handle */
    unsigned char library_state[12]; /* the library's own; 36 bytes in all */
} CrateHandle;

int QBX_Init(CrateHandle *handle);
int QBX_OpenSvcControl(CrateHandle *handle, uint32_t server_addr, uint16_t server_port);
int QBX_GetCrates(CrateHandle *handle, char crate_list[16][16]);
int QBX_OpenCrate(CrateHandle *handle, uint32_t server_addr, uint16_t server_port, int flags,
                  const char *crate_serial);
int QBX_GetCrateModules(CrateHandle *handle, uint16_t slot_mids[16]);
int QBX_Close(CrateHandle *handle);
const char *QBX_GetErrorString(int code);

#ifdef __cplusplus
}

static_assert(offsetof(CrateHandle, server_addr) == 0, "CrateHandle layout");
static_assert(offsetof(CrateHandle, server_port) == 4, "CrateHandle layout");
static_assert(offsetof(CrateHandle, crate_serial) == 6, "CrateHandle layout");
static_assert(offsetof(CrateHandle, channel) == 22, "CrateHandle layout");
static_assert(sizeof(CrateHandle) == 36, "CrateHandle size");
#endif

#endif
