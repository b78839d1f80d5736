// Serves one decoded request of one connection against the simulated crate system. No I/O
// here but the state files, so that the frame handling can be driven directly by tests
// and fuzzers.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "server/crate_model.h"

struct Connection {
    enum Role { NONE, SERVICE, CRATE, MODULE } role = NONE;
    int crate = -1;  // index into CrateSystem::crates for CRATE and MODULE
    int slot = 0;    // 1 to 16 for MODULE
};

// What a request touched, for the request log.
struct RequestNote {
    std::string crate;
    int slot = 0;
    uint32_t words = 0;
    uint32_t start_word = 0;
    int delay_ms = 0;  // to be waited, outside the lock, before the reply is sent
};

// Serves `op` with its payload; fills `reply` (the payload of a success reply) and `note`.
// Returns the status for the reply header: 0 or a wire error code, or an injected code.
int serve_request(CrateSystem &system, Connection &connection, uint16_t op,
                  const unsigned char *payload, uint32_t length, std::vector<unsigned char> &reply,
                  RequestNote &note);

// Frees what the connection held (an open module is no longer busy).
void end_connection(CrateSystem &system, Connection &connection);
