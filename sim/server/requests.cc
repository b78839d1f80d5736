#include "server/requests.h"

#include <string.h>

#include "wire/wire.h"

namespace {

int find_crate(const CrateSystem &system, const unsigned char *serial_field, std::string *serial) {
    *serial =
        std::string(reinterpret_cast<const char *>(serial_field),
                    strnlen(reinterpret_cast<const char *>(serial_field), wire::SERIAL_FIELD));
    for (size_t i = 0; i < system.crates.size(); ++i)
        if (system.crates[i].serial == *serial) return static_cast<int>(i);
    return -1;
}

void put_serial(std::vector<unsigned char> &reply, const std::string &serial) {
    reply.insert(reply.end(), serial.begin(), serial.end());
    reply.resize(reply.size() + wire::SERIAL_FIELD - serial.size(), 0);
}

int serve_service(CrateSystem &system, uint16_t op, std::vector<unsigned char> &reply) {
    if (op != wire::OP_GET_CRATES) return wire::E_WRONG_STATE;
    if (system.crate_list_fault) return system.crate_list_fault;
    for (const Crate &crate : system.crates) put_serial(reply, crate.serial);
    reply.resize(MAX_CRATES * SERIAL_SIZE, 0);
    return wire::E_OK;
}

int serve_crate(const Crate &crate, uint16_t op, std::vector<unsigned char> &reply) {
    if (op != wire::OP_CRATE_MODULES) return wire::E_WRONG_STATE;
    if (crate.modules_fault) return crate.modules_fault;
    reply.resize(2 * SLOT_COUNT);
    for (int slot = 0; slot < SLOT_COUNT; ++slot)
        wire::put_u16(&reply[2 * slot], crate.slots[slot].mid);
    return wire::E_OK;
}

int open_module(CrateSystem &system, Connection &connection, const unsigned char *payload,
                uint32_t length, std::vector<unsigned char> &reply, RequestNote &note) {
    if (length != wire::SERIAL_FIELD + 2) return wire::E_PROTOCOL;
    note.slot = wire::get_u16(payload + wire::SERIAL_FIELD);
    const int index = find_crate(system, payload, &note.crate);
    if (index < 0) return wire::E_NO_CRATE;
    if (note.slot < 1 || note.slot > SLOT_COUNT) return wire::E_NO_MODULE;
    Module &module = system.crates[index].slots[note.slot - 1];
    if (module.kind == nullptr) return wire::E_NO_MODULE;
    if (module.busy) return wire::E_BUSY;
    if (module.faults.open) return module.faults.open;
    module.busy = true;
    connection = {Connection::MODULE, index, note.slot};
    put_serial(reply, note.crate);
    reply.resize(reply.size() + 2);
    wire::put_u16(&reply[wire::SERIAL_FIELD], static_cast<uint16_t>(note.slot));
    return wire::E_OK;
}

// Start word and word count of a request, checked against the flash.
int flash_range(const Module &module, uint32_t start_word, uint32_t words) {
    const uint64_t end = 2 * (static_cast<uint64_t>(start_word) + words);
    return end <= module.flash.size() ? wire::E_OK : wire::E_RANGE;
}

int serve_module(CrateSystem &system, Connection &connection, uint16_t op,
                 const unsigned char *payload, uint32_t length, std::vector<unsigned char> &reply,
                 RequestNote &note) {
    Module &module = system.crates[connection.crate].slots[connection.slot - 1];
    const ModuleKind &kind = *module.kind;
    const ModuleFaults &faults = module.faults;
    switch (op) {
    case wire::OP_AVR_READ: {
        if (length != 8) return wire::E_PROTOCOL;
        note.start_word = wire::get_u32(payload);
        note.words = wire::get_u32(payload + 4);
        if (flash_range(module, note.start_word, note.words) != wire::E_OK) return wire::E_RANGE;
        if (faults.read_info && note.start_word == kind.info_addr / 2) return faults.read_info;
        if (faults.read_save && kind.save_size && note.start_word == kind.save_addr / 2)
            return faults.read_save;
        if (faults.read_back && note.start_word == 0) return faults.read_back;
        const uint32_t first = 2 * note.start_word;
        reply.assign(module.flash.begin() + first, module.flash.begin() + first + 2 * note.words);
        for (const auto &[address, value] : faults.stuck)
            if (address >= first && address < first + 2 * note.words)
                reply[address - first] = value;
        return wire::E_OK;
    }
    case wire::OP_AVR_ERASE:
        if (length != 0) return wire::E_PROTOCOL;
        if (faults.erase) return faults.erase;
        module.flash.assign(module.flash.size(), 0xFF);
        return persist_flash(module) ? wire::E_OK : wire::E_DEVICE;
    case wire::OP_AVR_WRITE: {
        if (length < 4 || (length - 4) % 2 != 0) return wire::E_PROTOCOL;
        note.start_word = wire::get_u32(payload);
        note.words = (length - 4) / 2;
        note.delay_ms = faults.write_delay_ms;
        if (flash_range(module, note.start_word, note.words) != wire::E_OK) return wire::E_RANGE;
        if (faults.write && note.start_word + note.words > faults.write_after_words)
            return faults.write;
        // NOR flash: a write can only clear bits; only an erase sets them again.
        unsigned char *cell = module.flash.data() + 2 * note.start_word;
        for (uint32_t i = 0; i < 2 * note.words; ++i) cell[i] &= payload[4 + i];
        return persist_flash(module) ? wire::E_OK : wire::E_DEVICE;
    }
    default:
        return wire::E_WRONG_STATE;
    }
}

}  // namespace

int serve_request(CrateSystem &system, Connection &connection, uint16_t op,
                  const unsigned char *payload, uint32_t length, std::vector<unsigned char> &reply,
                  RequestNote &note) {
    reply.clear();
    if (connection.crate >= 0) note.crate = system.crates[connection.crate].serial;
    note.slot = connection.slot;

    if (op == wire::OP_CLOSE) {
        int rc = wire::E_OK;
        if (connection.role == Connection::MODULE)
            rc = system.crates[connection.crate].slots[connection.slot - 1].faults.close;
        end_connection(system, connection);
        return rc;
    }
    switch (connection.role) {
    case Connection::NONE:
        if (op == wire::OP_SVC_OPEN) {
            if (length != 0) return wire::E_PROTOCOL;
            if (system.service_fault) return system.service_fault;
            connection.role = Connection::SERVICE;
            return wire::E_OK;
        }
        if (op == wire::OP_CRATE_OPEN) {
            if (length != wire::SERIAL_FIELD) return wire::E_PROTOCOL;
            const int index = find_crate(system, payload, &note.crate);
            if (index < 0) return wire::E_NO_CRATE;
            if (system.crates[index].open_fault) return system.crates[index].open_fault;
            connection = {Connection::CRATE, index, 0};
            put_serial(reply, note.crate);
            return wire::E_OK;
        }
        if (op == wire::OP_AVR_OPEN)
            return open_module(system, connection, payload, length, reply, note);
        return op > wire::OP_CLOSE || op == 0 ? wire::E_PROTOCOL : wire::E_WRONG_STATE;
    case Connection::SERVICE:
        return serve_service(system, op, reply);
    case Connection::CRATE:
        return serve_crate(system.crates[connection.crate], op, reply);
    case Connection::MODULE:
        return serve_module(system, connection, op, payload, length, reply, note);
    }
    return wire::E_PROTOCOL;
}

void end_connection(CrateSystem &system, Connection &connection) {
    if (connection.role == Connection::MODULE)
        system.crates[connection.crate].slots[connection.slot - 1].busy = false;
    connection = Connection{};
}
