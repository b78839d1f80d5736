// Fuzzes the simulated crate server's frame handling: the input is a series of frames,
// each preceded by a byte choosing one of three connections, served against a small crate
// system as the server does (header decoding, payload bounds, request dispatch).
#include <stdint.h>
#include <vector>

#include "fwimage/firmware_image.h"
#include "server/crate_model.h"
#include "server/requests.h"
#include "wire/wire.h"

static void add_module(Crate &crate, int slot, const char *kind_name) {
    Module &module = crate.slots[slot - 1];
    module.kind = find_module_kind(kind_name);
    module.mid = static_cast<uint16_t>(module.kind->mid);
    module.flash.assign(2 * module.kind->flash_words, 0xFF);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CrateSystem system;
    system.crates.resize(2);
    system.crates[0].serial = "CR-A";
    system.crates[1].serial = "CR-B";
    add_module(system.crates[0], 1, "QBX61");
    add_module(system.crates[0], 2, "QBX62");
    system.crates[1].slots[3].mid = 0xFFFF;
    system.crates[1].slots[4].faults.write = 12;  // faults, but no flash: opens must fail
    add_module(system.crates[1], 16, "QBX61");
    system.crates[1].slots[15].faults.write = 12;
    system.crates[1].slots[15].faults.write_after_words = 1024;
    system.crates[1].slots[15].faults.stuck = {{0, 0}, {8191, 1}, {9000, 2}};

    Connection connections[3];
    std::vector<unsigned char> reply;
    size_t at = 0;
    while (at + 1 + wire::HEADER_SIZE <= size) {
        Connection &connection = connections[data[at] % 3];
        wire::Header header;
        if (wire::decode_header(data + at + 1, &header) != wire::E_OK) break;  // hung up
        at += 1 + wire::HEADER_SIZE;
        if (header.length > size - at) break;  // the server would wait for the rest
        std::vector<unsigned char> payload(data + at, data + at + header.length);
        at += header.length;
        RequestNote note;
        const int rc = serve_request(system, connection, header.op, payload.data(), header.length,
                                     reply, note);
        // Every status must fit the reply header, and every reply a frame.
        if (rc < 0 || rc > 0xFFFF || reply.size() > wire::MAX_PAYLOAD) __builtin_trap();
    }
    for (Connection &connection : connections) end_connection(system, connection);
    for (const Crate &crate : system.crates)
        for (const Module &module : crate.slots)
            if (module.busy || (module.kind && module.flash.size() != 2 * module.kind->flash_words))
                __builtin_trap();
    return 0;
}
