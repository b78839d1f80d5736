// Stand-in AVR programming library: one module's program memory, through the simulated
// crate server. The connection lives in the handle's CrateHandle part.
#include "platform/qbxavrapi.h"

#include <string.h>

#include "client/link.h"
#include "platform/crate_system.h"
#include "wire/wire.h"

// The largest read sent as one request; a whole flash of the largest kind fits.
constexpr uint32_t READ_CHUNK_WORDS = 65536;

int QBXAVR_Init(AvrHandle *handle) {
    if (handle == nullptr) return wire::E_BAD_ARGUMENT;
    memset(handle, 0, sizeof *handle);
    crate_link::reset(handle->crate.library_state);
    return wire::E_OK;
}

int QBXAVR_Open(AvrHandle *handle, uint32_t server_addr, uint16_t server_port,
                const char *crate_serial, int slot) {
    if (handle == nullptr || crate_serial == nullptr) return wire::E_BAD_ARGUMENT;
    // There is no implicit crate: a module is always named by crate and slot.
    if (crate_serial[0] == '\0') return wire::E_NO_SERIAL;
    if (strnlen(crate_serial, SERIAL_SIZE) == SERIAL_SIZE) return wire::E_NO_CRATE;
    if (slot < 1 || slot > SLOT_COUNT) return wire::E_NO_MODULE;

    unsigned char request[SERIAL_SIZE + 2] = {};
    memcpy(request, crate_serial, strlen(crate_serial));
    wire::put_u16(request + SERIAL_SIZE, static_cast<uint16_t>(slot));
    unsigned char reply[SERIAL_SIZE + 2];
    uint32_t addr = 0;
    uint16_t port = 0;
    int rc =
        crate_link::connect(handle->crate.library_state, server_addr, server_port, &addr, &port);
    if (rc == wire::E_OK)
        rc = crate_link::call(handle->crate.library_state, wire::OP_AVR_OPEN, request,
                              sizeof request, nullptr, 0, reply, sizeof reply);
    if (rc != wire::E_OK) {
        crate_link::drop(handle->crate.library_state);
        return rc;
    }
    handle->crate.server_addr = addr;
    handle->crate.server_port = port;
    memcpy(handle->crate.crate_serial, reply, SERIAL_SIZE);
    handle->crate.channel = wire::get_u16(reply + SERIAL_SIZE);
    return wire::E_OK;
}

int QBXAVR_ReadProgrammMemory(AvrHandle *handle, void *buffer, uint32_t word_count,
                              uint32_t start_word) {
    if (handle == nullptr || (buffer == nullptr && word_count != 0)) return wire::E_BAD_ARGUMENT;
    unsigned char *into = static_cast<unsigned char *>(buffer);
    uint32_t done = 0;
    do {
        const uint32_t words =
            word_count - done < READ_CHUNK_WORDS ? word_count - done : READ_CHUNK_WORDS;
        unsigned char request[8];
        wire::put_u32(request, start_word + done);
        wire::put_u32(request + 4, words);
        const int rc = crate_link::call(handle->crate.library_state, wire::OP_AVR_READ, request,
                                        sizeof request, nullptr, 0, into + 2 * done, 2 * words);
        if (rc != wire::E_OK) return rc;
        done += words;
    } while (done < word_count);
    return wire::E_OK;
}

int QBXAVR_ChipErase(AvrHandle *handle) {
    if (handle == nullptr) return wire::E_BAD_ARGUMENT;
    return crate_link::call(handle->crate.library_state, wire::OP_AVR_ERASE, nullptr, 0, nullptr, 0,
                            nullptr, 0);
}

int QBXAVR_WriteProgrammMemoryCb(AvrHandle *handle, const void *buffer, uint32_t word_count,
                                 uint32_t start_word, QBXAVR_ProgressCallback callback,
                                 void *callback_arg) {
    if (handle == nullptr || (buffer == nullptr && word_count != 0)) return wire::E_BAD_ARGUMENT;
    const unsigned char *from = static_cast<const unsigned char *>(buffer);
    for (uint32_t done = 0; done < word_count;) {
        const uint32_t words = word_count - done < wire::WRITE_BLOCK_WORDS
                                   ? word_count - done
                                   : wire::WRITE_BLOCK_WORDS;
        unsigned char request[4];
        wire::put_u32(request, start_word + done);
        const int rc = crate_link::call(handle->crate.library_state, wire::OP_AVR_WRITE, request,
                                        sizeof request, from + 2 * done, 2 * words, nullptr, 0);
        if (rc != wire::E_OK) return rc;
        done += words;
        // Called with the words written so far, the total and the caller's argument;
        // its result is not looked at.
        if (callback != nullptr)
            callback(static_cast<intptr_t>(done), static_cast<intptr_t>(word_count),
                     reinterpret_cast<intptr_t>(callback_arg), 0);
    }
    return wire::E_OK;
}

int QBXAVR_Close(AvrHandle *handle) {
    if (handle == nullptr) return wire::E_BAD_ARGUMENT;
    return crate_link::close(handle->crate.library_state);
}

const char *QBXAVR_GetErrorString(int code) { return wire::error_text(code); }
