/* The AVR programming library qbxavrapi: opens one module's AVR through the crate server,
 * erases, reads and writes its program memory in 16-bit words (word address = byte
 * address / 2). Operations return 0 on success, else the library's own error code;
 * QBXAVR_GetErrorString gives its text, owned by the library and never null. After a
 * successful QBXAVR_Open the handle's crate.crate_serial and crate.channel name the
 * crate and slot reached. The progress callback is called once per written block. */
#ifndef QBXAVRAPI_H
#define QBXAVRAPI_H

#include <stdint.h>

#include "qbxapi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AvrHandle {
    CrateHandle crate;              /* crate_serial and channel name the module once open */
    unsigned char library_state[4]; /* 40 bytes in all */
} AvrHandle;

typedef int (*QBXAVR_ProgressCallback)(intptr_t, intptr_t, intptr_t, intptr_t);

int QBXAVR_Init(AvrHandle *handle);
int QBXAVR_Open(AvrHandle *handle, uint32_t server_addr, uint16_t server_port,
                const char *crate_serial, int slot);
int QBXAVR_ReadProgrammMemory(AvrHandle *handle, void *buffer, uint32_t word_count,
                              uint32_t start_word);
int QBXAVR_ChipErase(AvrHandle *handle);
int QBXAVR_WriteProgrammMemoryCb(AvrHandle *handle, const void *buffer, uint32_t word_count,
                                 uint32_t start_word, QBXAVR_ProgressCallback callback,
                                 void *callback_arg);
int QBXAVR_Close(AvrHandle *handle);
const char *QBXAVR_GetErrorString(int code);

#ifdef __cplusplus
}

static_assert(offsetof(AvrHandle, crate) == 0, "AvrHandle layout");
static_assert(offsetof(AvrHandle, crate.crate_serial) == 6, "AvrHandle layout");
static_assert(offsetof(AvrHandle, crate.channel) == 22, "AvrHandle layout");
static_assert(sizeof(AvrHandle) == 40, "AvrHandle size");
#endif

#endif
