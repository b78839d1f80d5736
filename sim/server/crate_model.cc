#include "server/crate_model.h"

#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "fwimage/firmware_image.h"

using nlohmann::json;

namespace {

// Numbers may be written as JSON numbers or as texts such as "0x3D3D".
uint32_t number(const json &value) {
    if (value.is_string())
        return static_cast<uint32_t>(std::stoul(value.get<std::string>(), nullptr, 0));
    return value.get<uint32_t>();
}

// An injected code travels in a 16-bit status field and 0 means success.
int code(const json &faults, const char *name) {
    if (!faults.contains(name)) return 0;
    const uint32_t value = number(faults.at(name));
    if (value > 0xFFFF) throw std::runtime_error(std::string("code out of 0..65535: ") + name);
    return static_cast<int>(value);
}

std::vector<uint8_t> bytes_of(const json &value) {
    if (value.is_string()) return text_bytes(value.get<std::string>());
    return value.get<std::vector<uint8_t>>();
}

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::vector<uint8_t> initial_flash(const ModuleKind &kind, const json &slot,
                                   const std::string &base_dir) {
    const uint32_t flash_bytes = 2 * kind.flash_words;
    std::vector<uint8_t> flash(flash_bytes, 0xFF);
    if (slot.contains("firmware")) {
        std::string path = slot.at("firmware").get<std::string>();
        if (path.empty() || path[0] != '/') path = base_dir + "/" + path;
        std::ifstream in(path, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read firmware " + path);
        std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
        if (file.size() > flash_bytes)
            throw std::runtime_error("firmware larger than flash: " + path);
        std::copy(file.begin(), file.end(), flash.begin());
    } else if (slot.contains("image")) {
        const json &image = slot.at("image");
        ImageSpec image_spec;
        image_spec.kind = &kind;
        image_spec.serial = image.value("serial", "");
        image_spec.date = image.value("date", image_spec.date);
        if (image.contains("version"))
            image_spec.version = image.at("version").get<std::vector<uint8_t>>();
        if (image.contains("keep")) image_spec.keep = bytes_of(image.at("keep"));
        if (image.contains("preserved")) image_spec.preserved = bytes_of(image.at("preserved"));
        image_spec.valid_crc = !image.value("bad_crc", false);
        image_spec.pattern_seed = image.value("seed", static_cast<uint8_t>(7));
        const std::vector<uint8_t> built = build_firmware_image(image_spec);
        std::copy(built.begin(), built.end(), flash.begin());
    }
    return flash;
}

void load_module(const json &slot, const std::string &base_dir, Module *module) {
    if (slot.is_string() && slot.get<std::string>() == "unidentified") {
        module->mid = MID_UNKNOWN;
        return;
    }
    if (slot.contains("kind")) {
        const std::string name = slot.at("kind").get<std::string>();
        module->kind = find_module_kind(name);
        if (module->kind == nullptr) throw std::runtime_error("unknown module kind " + name);
        module->mid = static_cast<uint16_t>(module->kind->mid);
    } else {
        module->mid = static_cast<uint16_t>(number(slot.at("mid")));
        for (const ModuleKind &kind : module_kinds)
            if (static_cast<uint16_t>(kind.mid) == module->mid) module->kind = &kind;
    }
    if (module->kind != nullptr) module->flash = initial_flash(*module->kind, slot, base_dir);
    const json faults = slot.value("faults", json::object());
    ModuleFaults &f = module->faults;
    f.open = code(faults, "open");
    f.read_info = code(faults, "read_info");
    f.read_save = code(faults, "read_save");
    f.erase = code(faults, "erase");
    f.write = code(faults, "write");
    f.write_after_words =
        faults.contains("write_after_words") ? number(faults.at("write_after_words")) : 0;
    f.read_back = code(faults, "read_back");
    f.close = code(faults, "close");
    f.write_delay_ms = code(faults, "write_delay_ms");
    for (const json &stuck : faults.value("stuck", json::array()))
        f.stuck.emplace_back(number(stuck.at("addr")),
                             static_cast<uint8_t>(number(stuck.at("value"))));
}

// Crate serials may hold any byte but a zero; a file name keeps only the plain ones.
std::string file_name_part(const std::string &serial) {
    std::string name;
    for (unsigned char c : serial) {
        if (isalnum(c) || c == '-' || c == '_') {
            name += static_cast<char>(c);
        } else {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", c);
            name += escaped;
        }
    }
    return name;
}

}  // namespace

bool load_crate_system(const std::string &path, CrateSystem *system, std::string *error) {
    try {
        std::ifstream in(path);
        if (!in) throw std::runtime_error("cannot read " + path);
        const json config = json::parse(in);
        const json faults = config.value("faults", json::object());
        system->service_fault = code(faults, "service_open");
        system->crate_list_fault = code(faults, "crate_list");
        const json &crates = config.at("crates");
        if (crates.size() > MAX_CRATES) throw std::runtime_error("more than 16 crates");
        for (const json &entry : crates) {
            Crate crate;
            crate.serial = entry.at("serial").get<std::string>();
            if (crate.serial.empty() || crate.serial.size() >= SERIAL_SIZE ||
                crate.serial.find('\0') != std::string::npos)
                throw std::runtime_error("crate serial must have 1 to 15 characters: " +
                                         crate.serial);
            for (const Crate &other : system->crates)
                if (other.serial == crate.serial)
                    throw std::runtime_error("duplicate crate " + crate.serial);
            const json crate_faults = entry.value("faults", json::object());
            crate.open_fault = code(crate_faults, "open");
            crate.modules_fault = code(crate_faults, "module_list");
            const json slots = entry.value("slots", json::object());
            for (const auto &[key, slot] : slots.items()) {
                const unsigned long number_of_slot = std::stoul(key);
                if (number_of_slot < 1 || number_of_slot > SLOT_COUNT)
                    throw std::runtime_error("slot out of 1..16: " + key);
                load_module(slot, directory_of(path), &crate.slots[number_of_slot - 1]);
            }
            system->crates.push_back(std::move(crate));
        }
    } catch (const std::exception &e) {
        *error = e.what();
        return false;
    }
    return true;
}

bool attach_state_dir(const std::string &dir, CrateSystem *system, std::string *error) {
    mkdir(dir.c_str(), 0755);
    system->state_dir = dir;
    for (Crate &crate : system->crates) {
        for (int slot = 0; slot < SLOT_COUNT; ++slot) {
            Module &module = crate.slots[slot];
            if (module.flash.empty()) continue;
            module.state_file = dir + "/" + file_name_part(crate.serial) + "-" +
                                std::to_string(slot + 1) + ".flash";
            std::ifstream in(module.state_file, std::ios::binary);
            std::vector<uint8_t> kept((std::istreambuf_iterator<char>(in)), {});
            if (kept.size() == module.flash.size()) {
                module.flash = std::move(kept);
            } else if (!persist_flash(module)) {
                *error = "cannot write " + module.state_file;
                return false;
            }
        }
    }
    return true;
}

bool persist_flash(const Module &module) {
    if (module.state_file.empty()) return true;
    const std::string temporary = module.state_file + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, module.flash.data(), module.flash.size()) ==
              static_cast<ssize_t>(module.flash.size());
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    return ok && rename(temporary.c_str(), module.state_file.c_str()) == 0;
}
