// File naming and opening for the run's files: the reflection file, the
// density file and the box files named from the density file's prefix.
#pragma once
#include <fstream>
#include <string>

namespace trovan {

// The name up to, not including, its last "."; the whole name (without
// trailing blanks) when it has none. A "." inside a directory name is not
// an extension: "run.1/map" has the prefix "run.1/map".
std::string getflnmprfx(const std::string& name);

// Open `name` (trailing blanks dropped) formatted (openfile) or binary
// (openfileu). Status "OLD" opens an existing file to read; "UNKNOWN" opens
// to read and write without truncating, creating the file when missing;
// "NEW"/"REPLACE" open to write from the start. A file that cannot be opened
// prints "can't open " and the name and stops the run with status 1.
void openfile(std::fstream& f, const std::string& name, const std::string& status);
void openfileu(std::fstream& f, const std::string& name, const std::string& status);

// Stops the run as openfile does for `name`.
[[noreturn]] void cantopen(const std::string& name);

}  // namespace trovan
