// The framed binary protocol between the stand-in crate libraries and the simulated crate
// server, and the error codes both sides share. A frame is an 8-byte header (operation,
// status, payload length; little-endian) followed by the payload. Flash data travels in
// large frames: a read returns the whole range in one reply, a write sends 1024 words.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace wire {

constexpr uint32_t HEADER_SIZE = 8;
// The largest payload either side accepts: a whole 65536-word flash plus its request fields.
constexpr uint32_t MAX_PAYLOAD = 2 * 65536 + 64;
constexpr uint32_t WRITE_BLOCK_WORDS = 1024;
constexpr uint32_t SERIAL_FIELD = 16;

enum Op : uint16_t {
    OP_SVC_OPEN = 1,       // -> status
    OP_GET_CRATES = 2,     // -> 16 serials of 16 bytes
    OP_CRATE_OPEN = 3,     // serial[16] -> serial[16]
    OP_CRATE_MODULES = 4,  // -> 16 module IDs, u16 each
    OP_AVR_OPEN = 5,       // serial[16], u16 slot -> serial[16], u16 channel
    OP_AVR_READ = 6,       // u32 start word, u32 word count -> 2 * count bytes
    OP_AVR_ERASE = 7,      // -> status
    OP_AVR_WRITE = 8,      // u32 start word, data (whole words) -> status
    OP_CLOSE = 9,          // -> status; the server then ends the connection
};

// Error codes of both libraries: small positive numbers, apart from the program's own
// negative codes. A code injected by the simulator reaches the caller unchanged.
enum Error : int {
    E_OK = 0,
    E_CONNECT = 1,  // cannot connect to the crate server
    E_CONNECTION_LOST = 2,
    E_TIMEOUT = 3,
    E_PROTOCOL = 4,  // malformed, oversized or unexpected frame
    E_NO_CRATE = 5,
    E_NO_MODULE = 6,  // slot empty or no such module
    E_BUSY = 7,       // module open elsewhere
    E_RANGE = 8,      // address or word count outside the flash
    E_NO_SERIAL = 9,  // empty crate serial given to a module open
    E_NOT_OPEN = 10,  // handle not prepared or not open
    E_BAD_ARGUMENT = 11,
    E_DEVICE = 12,       // module device fault (the simulator's default injected code)
    E_WRONG_STATE = 13,  // request not valid on this connection
};

// The text of a code, never null; an unknown code gets a generic text.
const char *error_text(int code);

const char *op_name(uint16_t op);

struct Header {
    uint16_t op;
    uint16_t status;
    uint32_t length;
};

void put_u16(unsigned char *at, uint16_t value);
void put_u32(unsigned char *at, uint32_t value);
uint16_t get_u16(const unsigned char *at);
uint32_t get_u32(const unsigned char *at);

void encode_header(const Header &header, unsigned char out[HEADER_SIZE]);
// Returns E_OK with *header filled, or E_PROTOCOL for a length over MAX_PAYLOAD.
int decode_header(const unsigned char in[HEADER_SIZE], Header *header);

// Blocking socket I/O that survives EINTR and never raises SIGPIPE. Both return E_OK,
// E_CONNECTION_LOST, or E_TIMEOUT when the socket's timeout ran out.
int send_parts(int fd, const void *part1, size_t length1, const void *part2, size_t length2,
               const void *part3, size_t length3);
int recv_exact(int fd, void *buffer, size_t length);

}  // namespace wire
