// Output files written whole or not at all.
//
// The density file, the box files and the page file are each written to a
// temporary file beside their name ("name.tmp<pid>") and renamed over the
// name only when every byte was written, flushed to the disk and the file
// closed without error. A run that fails, stops or is killed in the middle
// of a write therefore leaves the previous file as it was, and two runs that
// write the same name at once leave the whole file of one of them.
//
// Every write and the close are checked: a failure (a full disk, a lost
// device) removes the temporary file and stops the run with status 1,
// naming the file: "<what> <name> could not be written (<reason>); the
// previous file is unchanged".
//
// The temporary files in use are kept in a fixed table that a signal
// handler can read: SIGTERM, SIGINT, SIGHUP and SIGPIPE remove them and end
// the program with status 128 + the signal number; a stop removes them
// too (removetemps, from main()).
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

namespace trovan {

struct TempOut {
  std::string name;    // the name the file is written under, as given
  std::string target;  // the file that is replaced: name, or the file a symbolic link names
  std::string tmp;     // the temporary file
  std::string what;    // "density file", "box file", "page file"
  std::FILE* f = nullptr;
  int err = 0;  // errno of the first failed write, 0 while all went well
};

// The temporary name of `name` for this process.
std::string tempname(const std::string& name);

// Creates the temporary file of `name`; stops with "can't open <name>"
// (status 1) when it cannot be made.
TempOut opentemp(const std::string& name, const std::string& what);
// Appends n bytes; a failure is remembered and reported by committemp.
void writetemp(TempOut& t, const void* data, std::size_t n);
void writetemp(TempOut& t, const std::string& text);
// Flushes, syncs and closes the temporary file and renames it over the
// target. On any failure the temporary file is removed and the run stops.
void committemp(TempOut& t);
// Closes and removes the temporary file (nothing is replaced).
void droptemp(TempOut& t);

// The table of temporary files that a stop or a signal removes.
void registertemp(const std::string& path);
void unregistertemp(const std::string& path);
void removetemps();  // removes every registered file (not for a signal handler)

// Installs the handler of SIGTERM, SIGINT, SIGHUP and SIGPIPE.
void installsignalcleanup();

}  // namespace trovan
