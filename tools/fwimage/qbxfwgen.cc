// qbxfwgen: writes a firmware image for a module kind, for demos and rehearsals.
//   qbxfwgen --kind QBX71 [--version 1.2] [--date TEXT] [--serial TEXT] [--keep TEXT]
//            [--preserved TEXT] [--size BYTES] [--bad-crc] -o FILE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fwimage/firmware_image.h"

static int usage() {
    fprintf(
        stderr,
        "usage: qbxfwgen --kind NAME [--version A.B] [--date TEXT] [--serial TEXT]\n"
        "                [--keep TEXT] [--preserved TEXT] [--size BYTES] [--bad-crc] -o FILE\n");
    return 2;
}

static std::vector<uint8_t> version_numbers(const char *text) {
    std::vector<uint8_t> numbers;
    for (const char *at = text; *at != '\0';) {
        char *end = nullptr;
        numbers.push_back(static_cast<uint8_t>(strtoul(at, &end, 10)));
        at = *end == '.' ? end + 1 : end + strlen(end);
    }
    return numbers;
}

int main(int argc, char **argv) {
    ImageSpec image_spec;
    const char *output = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--bad-crc") {
            image_spec.valid_crc = false;
            continue;
        }
        if (i + 1 >= argc) return usage();
        const char *value = argv[++i];
        if (option == "--kind")
            image_spec.kind = find_module_kind(value);
        else if (option == "--version")
            image_spec.version = version_numbers(value);
        else if (option == "--date")
            image_spec.date = value;
        else if (option == "--serial")
            image_spec.serial = value;
        else if (option == "--keep")
            image_spec.keep = text_bytes(value);
        else if (option == "--preserved")
            image_spec.preserved = text_bytes(value);
        else if (option == "--size")
            image_spec.size = static_cast<uint32_t>(strtoul(value, nullptr, 0));
        else if (option == "-o")
            output = value;
        else
            return usage();
    }
    if (image_spec.kind == nullptr || output == nullptr) return usage();
    const std::vector<uint8_t> image = build_firmware_image(image_spec);
    FILE *file = fopen(output, "wb");
    if (file == nullptr || fwrite(image.data(), 1, image.size(), file) != image.size() ||
        fclose(file) != 0) {
        perror(output);
        return 1;
    }
    return 0;
}
