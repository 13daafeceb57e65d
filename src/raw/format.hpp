#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "raw/floppy_layouts.hpp"

namespace fat12img {

// The 11 bytes of a volume label as the boot sector and the root entry hold them.
using LabelField = std::array<uint8_t, 11>;

// What format writes: a layout, and, when asked for, a label and a serial number. Either
// of those writes the extended boot signature, without which readers take the label
// field to be empty; plain format writes neither, and so the same bytes as ever.
struct FormatOptions {
    const FloppyLayout* layout = &defaultFloppyLayout();
    std::optional<LabelField> label;
    std::optional<uint32_t> serial;
};

// Reads one of format's parameters (size=, label=, serial=) into options; false when the
// key is none of them or the value is not one it takes.
bool setFormatParameter(FormatOptions& options, const char* key, const char* value);

// The first 512 bytes of a formatted image: the template's jump, name, code and message,
// the parameter block of the layout, and 0x55 0xAA.
std::vector<uint8_t> formattedBootSector(const FormatOptions& options);

enum class FloppyWrite : uint8_t { Done, CannotCreate, WriteFailed };

// Writes a whole empty floppy into a file just created or emptied, from its start; false
// when any of it could not be written.
bool writeFloppy(std::FILE* file, const FormatOptions& options = {});

// Replaces the image file at imagePath, which the caller has closed and mounts again
// afterwards unless the file could not be created, with an empty formatted floppy.
// imageClosed says whether that close succeeded (a failed one may be a lost write to
// report). With syncWrites (--sync) the floppy is on the disk before the file is closed.
// Prints what failed.
FloppyWrite cmdFormat(const char* imagePath, bool imageClosed, bool syncWrites,
                      const FormatOptions& options = {});

}  // namespace fat12img
