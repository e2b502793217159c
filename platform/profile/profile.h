// INI files as the settings need them: sections and keys case-insensitive, values read up
// to 2047 characters, integers decimal or 0x hex, one key written in place with the rest of
// the file kept byte for byte. The file is in the ANSI code page; values here are UTF-8.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kavar::profile {

class IniFile {
  public:
    // Reads the file. A missing file is an empty one; a file that exists but cannot be
    // read also reads as empty (LoadError() says why) and refuses to be saved over.
    explicit IniFile(std::string fileName);

    const std::string& FileName() const { return fileName_; }
    bool Exists() const { return exists_; }
    const std::string& LoadError() const { return loadError_; }

    // The value of the first such key of the first such section, blanks around it and one
    // pair of enclosing quotes removed, cut to 2047 characters; def when missing.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // Decimal, or hexadecimal after "0x"; a value that is not a whole number in range
    // (or a missing key) gives def.
    std::int32_t ReadInteger(const std::string& section, const std::string& key,
                             std::int32_t def) const;

    // Sets one key in memory: the key's line is replaced, or the key is added at the end of
    // its section, or the section is added at the end of the file. Throws
    // std::invalid_argument for a value with a line break (it would corrupt the file).
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

    // Writes the file atomically (a temporary file renamed over it), so a crash leaves the
    // old or the new file, never a mix. A new file gets createMode; an existing one keeps its
    // mode. Throws std::runtime_error naming the file.
    void Save(mode_t createMode = 0600) const;

    // The file's bytes as they stand in memory (tests).
    const std::string& Bytes() const { return bytes_; }

  private:
    std::string fileName_;
    std::string bytes_;
    bool exists_ = false;
    std::string loadError_;
};

// Single calls, each reading (and writing) the whole file.
std::string ReadString(const std::string& fileName, const std::string& section,
                       const std::string& key, const std::string& def);
std::int32_t ReadInteger(const std::string& fileName, const std::string& section,
                         const std::string& key, std::int32_t def);
void WriteString(const std::string& fileName, const std::string& section, const std::string& key,
                 const std::string& value);

// The integer reading of ReadInteger, for a text already in hand.
bool TryParseInteger(const std::string& text, std::int32_t& value);

}  // namespace kavar::profile
