// The four batch files through which the panel installs, removes, starts and stops the
// service with administrator rights. They lie in the program folder and are rewritten
// whenever needed.
#pragma once

#include <string>

namespace kavar::panel {

enum class TBatchFile { Install, Uninstall, Start, Stop };

// In the order they are written.
inline constexpr TBatchFile kBatchFiles[] = {TBatchFile::Install, TBatchFile::Uninstall,
                                             TBatchFile::Start, TBatchFile::Stop};

// "SVCinstall.BAT", "SVCuninstall.BAT", "SVCstart.BAT", "SVCstop.BAT".
std::string BatchFileName(TBatchFile file);

// The file's bytes: the two preamble lines and the file's own lines, in the ANSI code
// page, each line ending in one blank and CR LF.
std::string BatchFileContent(TBatchFile file);

// Writes all four files into folder (install, uninstall, start, stop), replacing any
// there. Throws std::system_error naming the file when one cannot be written.
void WriteBatchFiles(const std::string& folder);

// Deletes those of the four files that exist in folder. Throws std::system_error naming
// the file when an existing one cannot be deleted.
void DeleteBatchFiles(const std::string& folder);

}  // namespace kavar::panel
