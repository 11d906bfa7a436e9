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
// The same with the system's reason (errno `err`) on a line after it.
[[noreturn]] void cantopen(const std::string& name, int err);
// "can't open <name>: not a regular file", status 1.
[[noreturn]] void notregular(const std::string& name);

// A file name with a control character (a NUL byte, an escape, a line end)
// is refused: the system cuts a name at a NUL, so that the density file and
// both box files would go to one file. Stops with "<key> file name holds a
// control character (code <c> at position <p>)", status 2.
void checkname(const std::string& key, const std::string& name);

// A file the run reads must be an existing regular file: a FIFO would block
// the run in open() and a device such as /dev/zero never ends. Missing,
// unreadable, a directory or a loop of symbolic links: "can't open <name>";
// a FIFO, device or socket: "can't open <name>: not a regular file" (both
// status 1). Checked on the name, before anything opens it. openfile and
// openfileu check it for status "OLD".
void checkinputfile(const std::string& name);

// A file the run will write: when it exists it must be a regular file (a
// device such as /dev/null is never replaced), and its directory must take
// a new file, which is tried by making and removing the temporary file the
// write will use. Stops as checkinputfile does.
void checkoutputfile(const std::string& name);

// An output that must not be written through a symbolic link (a box or a
// page file): when `name` is a link, stops with "<what> <name> is a symbolic
// link to <target>: box and page files are not written through a link"
// (status 1).
void refuselink(const std::string& what, const std::string& name);

// True when a and b name the same file: the same device and inode when both
// exist, the same absolute path (symbolic links resolved) when neither does.
bool samefile(const std::string& a, const std::string& b);
// True when `name` is the file on standard input.
bool isstdin(const std::string& name);

}  // namespace trovan
