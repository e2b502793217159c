// The version record of an executable file: written into each program at build time
// (from the project's version) and read back from the file on disk, so that a program
// shows the version of the file it was started from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kavar::version {

// The fixed part of the record: four 16-bit numbers, two to a half, most significant
// first (1402.10.10.1 is MS 0x057A000A, LS 0x000A0001).
struct TFixedFileInfo {
    std::uint32_t FileVersionMS = 0;
    std::uint32_t FileVersionLS = 0;
};

// The record of the file at path; nullopt when the file has none or cannot be read.
std::optional<TFixedFileInfo> ReadFileVersion(const std::string& path);

}  // namespace kavar::version
