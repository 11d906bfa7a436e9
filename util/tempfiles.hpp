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
// The temporary files in use are kept in a table that a signal handler can
// read: SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT and SIGUSR1 remove them
// and end the program with status 128 + the signal number; a stop removes
// them too (removetemps, from main()). SIGXFSZ is ignored: a file beyond
// the size limit (ulimit -f) is a failed write (EFBIG) like a full disk.
//
// The output set: a run's density, box and page files belong together, and
// a run that fails part of the way must not leave a new density file beside
// the boxes of the previous run. Between beginoutputs() and
// commitoutputs(), committemp writes, syncs and closes each temporary file
// but does not rename it; commitoutputs then renames them all in one short
// step with the catchable signals held back, removes the files of an
// earlier run that this set replaces, and syncs the folders. A stop or a
// signal before that removes every temporary file of the set, and every
// earlier file is as it was.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

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

// Installs the handler of SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT and
// SIGUSR1, and ignores SIGXFSZ.
void installsignalcleanup();

// The output set (see above). beginoutputs starts a set (dropping one left
// open); pendingoutputs lists the names (as given) of the files written and
// waiting; pendingpath is the temporary file that holds the waiting
// contents of `name`, or `name` itself when it waits for nothing (a writer
// that adds to a file it wrote before reads it from there).
// commitoutputs renames every waiting file over its name, removes the
// regular files among `stale` (symbolic links and others are left alone),
// ends the set and syncs the folders; a failure stops the run with status 1.
// dropoutputs removes the waiting files and ends the set (nothing is
// replaced). Without a set, committemp renames at once.
void beginoutputs();
bool inoutputs();
std::vector<std::string> pendingoutputs();
std::string pendingpath(const std::string& name);
void commitoutputs(const std::vector<std::string>& stale = {});
void dropoutputs();

// For tests only: a function commitoutputs calls first, with every file of
// the set written and waiting, so that a test can stop the program there.
// The program sets none; its test build (trovan_testhooks) sets one.
void setcommithook(void (*hook)());

// Makes the directory entry of `path` durable (fsync of its folder);
// returns 0 or the errno of the failure. A file system that cannot sync a
// folder (EINVAL) counts as done.
int syncfolder(const std::string& path);

// The output set of a scope: begun on construction, dropped on destruction
// unless committed.
struct OutputSet {
  OutputSet() { beginoutputs(); }
  ~OutputSet() { dropoutputs(); }
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
};

}  // namespace trovan
