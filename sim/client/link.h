// One library handle's connection to the crate server, kept in the handle's library_state
// bytes (no state outside the handle): a marker, the link state and the socket.
#pragma once

#include <stdint.h>

namespace crate_link {

constexpr int STATE_BYTES = 12;

// Marks the state as prepared and not connected.
void reset(unsigned char state[STATE_BYTES]);

// Connects to the server at addr:port (or at QBXD_ENDPOINT when that is set), with connect
// and I/O timeouts. Returns E_OK and fills *reached_addr/*reached_port, or E_CONNECT,
// E_NOT_OPEN (state never prepared) or E_BAD_ARGUMENT (QBXD_ENDPOINT unreadable).
int connect(unsigned char state[STATE_BYTES], uint32_t addr, uint16_t port, uint32_t *reached_addr,
            uint16_t *reached_port);

// Sends one request (the two request parts as its payload) and receives the reply's payload,
// which must be exactly reply_length bytes, into `reply`. Returns the server's status, or a
// transport error, after which the link is dropped and later calls report it lost.
int call(unsigned char state[STATE_BYTES], uint16_t op, const void *part1, uint32_t length1,
         const void *part2, uint32_t length2, void *reply, uint32_t reply_length);

// Ends the link: asks the server to close, then closes the socket and resets the state.
// Returns the server's status, E_NOT_OPEN for a link never opened, or E_CONNECTION_LOST.
int close(unsigned char state[STATE_BYTES]);

// Closes the socket without a word to the server, after a failed open.
void drop(unsigned char state[STATE_BYTES]);

}  // namespace crate_link
