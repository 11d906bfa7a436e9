#include "util/tempfiles.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "util/files.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

// A process setting: the temporary files a signal removes. The table a
// signal handler reads: a slot's path is allocated and filled before the
// slot is marked used, and marked unused before it is freed; all changes
// are made with the handled signals blocked, so the handler never sees a
// slot half made. An output set of a thousand drawings waits with a few
// thousand files.
constexpr int kSlots = 8192;
constexpr std::size_t kPathMax = 4096;
char* g_paths[kSlots] = {};
volatile std::sig_atomic_t g_used[kSlots] = {};

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1};

struct BlockSignals {
  sigset_t old;
  BlockSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    ::sigprocmask(SIG_BLOCK, &set, &old);
  }
  ~BlockSignals() { ::sigprocmask(SIG_SETMASK, &old, nullptr); }
};

extern "C" void remove_and_exit(int sig) {
  for (int i = 0; i < kSlots; ++i)
    if (g_used[i]) ::unlink(g_paths[i]);
  ::_exit(128 + sig);
}

// A file written and closed, waiting for the set's commit.
struct Waiting {
  std::string name, target, tmp, what;
};
// A process setting: the output set open, and its files waiting.
bool g_inset = false;
std::vector<Waiting> g_waiting;
void (*g_commit_hook)() = nullptr;

std::string folderof(const std::string& path) {
  std::string dir = std::filesystem::path(path).parent_path().string();
  return dir.empty() ? "." : dir;
}

void note(TempOut& t, int e) {
  if (t.err == 0) t.err = e != 0 ? e : EIO;
}

bool registered(const std::string& path) {
  for (int i = 0; i < kSlots; ++i)
    if (g_used[i] && path == g_paths[i]) return true;
  return false;
}

[[noreturn]] void notwritten(const std::string& what, const std::string& name, int err) {
  quit(what + " " + name + " could not be written (" + std::strerror(err) + "); the previous file is unchanged",
       kExitOpen);
}

[[noreturn]] void notsynced(const std::string& folder, int err) {
  quit("the folder " + folder + " could not be synced to the disk (" + std::strerror(err) +
           "): the files just written there may be lost if the machine stops",
       kExitOpen);
}

}  // namespace

int syncfolder(const std::string& path) {
  const std::string dir = folderof(path);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno != 0 ? errno : EIO;
  int e = 0;
  if (::fsync(fd) != 0 && errno != EINVAL) e = errno != 0 ? errno : EIO;
  ::close(fd);
  return e;
}

std::string tempname(const std::string& name) { return name + ".tmp" + std::to_string(::getpid()); }

void registertemp(const std::string& path) {
  BlockSignals b;
  if (path.size() >= kPathMax) quit("temporary file name too long: " + path, kExitOpen);
  if (registered(path)) return;
  for (int i = 0; i < kSlots; ++i)
    if (!g_used[i]) {
      char* p = new char[path.size() + 1];
      std::memcpy(p, path.c_str(), path.size() + 1);
      g_paths[i] = p;
      g_used[i] = 1;
      return;
    }
  quit("more than " + std::to_string(kSlots) + " temporary files at once", kExitOpen);
}

void unregistertemp(const std::string& path) {
  BlockSignals b;
  for (int i = 0; i < kSlots; ++i)
    if (g_used[i] && path == g_paths[i]) {
      g_used[i] = 0;
      delete[] g_paths[i];
      g_paths[i] = nullptr;
      return;
    }
}

void removetemps() {
  BlockSignals b;
  for (int i = 0; i < kSlots; ++i)
    if (g_used[i]) {
      ::unlink(g_paths[i]);
      g_used[i] = 0;
      delete[] g_paths[i];
      g_paths[i] = nullptr;
    }
  g_waiting.clear();
}

void installsignalcleanup() {
  for (int s : kSignals) {
    struct sigaction old {};
    ::sigaction(s, nullptr, &old);
    // A signal the caller ignores (nohup, a shell's background job) stays
    // ignored.
    if (old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = remove_and_exit;
    sigemptyset(&sa.sa_mask);
    for (int m : kSignals) sigaddset(&sa.sa_mask, m);
    ::sigaction(s, &sa, nullptr);
  }
  // Beyond the file size limit a write fails with EFBIG and is reported as
  // any failed write is, instead of killing the run without a word.
  ::signal(SIGXFSZ, SIG_IGN);
}

TempOut opentemp(const std::string& name, const std::string& what) {
  TempOut t;
  t.name = name;
  t.what = what;
  t.target = name;
  // Written through a symbolic link, the file it names is replaced, not the
  // link.
  struct stat ls {};
  if (::lstat(name.c_str(), &ls) == 0 && S_ISLNK(ls.st_mode)) {
    std::error_code ec;
    std::filesystem::path c = std::filesystem::canonical(name, ec);
    if (ec) cantopen(name);
    t.target = c.string();
  }
  t.tmp = tempname(t.target);
  // A file of the output set waiting under this temporary name keeps it;
  // the new contents take another.
  for (int k = 2; registered(t.tmp); ++k) t.tmp = tempname(t.target) + "_" + std::to_string(k);
  registertemp(t.tmp);
  const int fd = ::open(t.tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int e = errno;
    unregistertemp(t.tmp);
    cantopen(name, e);
  }
  // The new file keeps the permissions of the one it replaces.
  struct stat st {};
  if (::stat(t.target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::fchmod(fd, st.st_mode & 07777);
  t.f = ::fdopen(fd, "wb");
  if (!t.f) {
    ::close(fd);
    ::unlink(t.tmp.c_str());
    unregistertemp(t.tmp);
    cantopen(name);
  }
  return t;
}

void writetemp(TempOut& t, const void* data, std::size_t n) {
  if (t.err != 0 || !t.f || n == 0) return;
  if (std::fwrite(data, 1, n, t.f) != n) note(t, errno);
}

void writetemp(TempOut& t, const std::string& text) { writetemp(t, text.data(), text.size()); }

void committemp(TempOut& t) {
  if (t.f) {
    if (std::fflush(t.f) != 0) note(t, errno);
    if (t.err == 0 && ::fsync(::fileno(t.f)) != 0) note(t, errno);
    if (std::fclose(t.f) != 0) note(t, errno);
    t.f = nullptr;
  } else {
    note(t, EBADF);
  }
  if (t.err == 0 && g_inset) {
    // Written and on the disk: it waits for the rest of the set. Newer
    // contents of a name replace those waiting.
    for (auto it = g_waiting.begin(); it != g_waiting.end(); ++it)
      if (it->target == t.target) {
        ::unlink(it->tmp.c_str());
        unregistertemp(it->tmp);
        g_waiting.erase(it);
        break;
      }
    g_waiting.push_back({t.name, t.target, t.tmp, t.what});
    t.tmp.clear();
    return;
  }
  if (t.err == 0 && std::rename(t.tmp.c_str(), t.target.c_str()) != 0) note(t, errno);
  if (t.err != 0) {
    ::unlink(t.tmp.c_str());
    unregistertemp(t.tmp);
    t.tmp.clear();
    notwritten(t.what, t.name, t.err);
  }
  unregistertemp(t.tmp);
  t.tmp.clear();
  if (const int e = syncfolder(t.target)) notsynced(folderof(t.target), e);
}

void beginoutputs() {
  dropoutputs();
  g_inset = true;
}

bool inoutputs() { return g_inset; }

std::vector<std::string> pendingoutputs() {
  std::vector<std::string> names;
  for (const Waiting& w : g_waiting) names.push_back(w.name);
  return names;
}

std::string pendingpath(const std::string& name) {
  for (const Waiting& w : g_waiting)
    if (w.name == name || w.target == name) return w.tmp;
  return name;
}

void setcommithook(void (*hook)()) { g_commit_hook = hook; }

void commitoutputs(const std::vector<std::string>& stale) {
  if (g_commit_hook) g_commit_hook();
  std::vector<Waiting> set;
  set.swap(g_waiting);
  g_inset = false;
  std::vector<std::string> folders;
  const auto addfolder = [&folders](const std::string& path) {
    const std::string f = folderof(path);
    if (std::find(folders.begin(), folders.end(), f) == folders.end()) folders.push_back(f);
  };
  int err = 0;
  std::string failed, what;
  {
    // The one short step: a signal that arrives now is handled after it,
    // when the set is either all in place or (on a failed rename) the files
    // not yet renamed are removed.
    BlockSignals b;
    for (const Waiting& w : set) {
      if (err == 0 && std::rename(w.tmp.c_str(), w.target.c_str()) != 0) {
        err = errno != 0 ? errno : EIO;
        failed = w.name;
        what = w.what;
      }
      if (err != 0) ::unlink(w.tmp.c_str());
      unregistertemp(w.tmp);
      addfolder(w.target);
    }
    if (err == 0)
      for (const std::string& s : stale) {
        struct stat st {};
        if (::lstat(s.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(s.c_str()) == 0) addfolder(s);
      }
  }
  if (err != 0) notwritten(what, failed, err);
  for (const std::string& f : folders)
    if (const int e = syncfolder(f + "/.")) notsynced(f, e);
}

void dropoutputs() {
  for (const Waiting& w : g_waiting) {
    ::unlink(w.tmp.c_str());
    unregistertemp(w.tmp);
  }
  g_waiting.clear();
  g_inset = false;
}

void droptemp(TempOut& t) {
  if (t.f) std::fclose(t.f);
  t.f = nullptr;
  if (!t.tmp.empty()) {
    ::unlink(t.tmp.c_str());
    unregistertemp(t.tmp);
    t.tmp.clear();
  }
}

}  // namespace trovan
