// Fixed facts of the QBX crate system that the program and the crate libraries share:
// where the crate server listens, and the sizes of its crate and slot lists.
#pragma once

#include <stdint.h>

constexpr uint32_t SERVER_ADDR = 0x7F000001;  // 127.0.0.1
constexpr uint16_t SERVER_PORT = 11111;
constexpr int MAX_CRATES = 16;            // entries of the crate list
constexpr int SERIAL_SIZE = 16;           // bytes of one crate serial, terminating zero included
constexpr int SLOT_COUNT = 16;            // slots of a crate, numbered 1 to 16
constexpr uint16_t MID_EMPTY = 0;         // module ID of an empty slot
constexpr uint16_t MID_UNKNOWN = 0xFFFF;  // module ID of a module the server has not identified
