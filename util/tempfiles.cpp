#include "util/tempfiles.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "util/files.hpp"
#include "util/stop.hpp"

namespace trovan {

namespace {

// A process setting: the temporary files a signal removes. The table a
// signal handler reads: fixed storage, a slot is filled before
// it is marked used and marked unused before it is reused, and changes are
// made with the handled signals blocked.
constexpr int kSlots = 8;
constexpr std::size_t kPathMax = 4096;
char g_paths[kSlots][kPathMax];
volatile std::sig_atomic_t g_used[kSlots] = {};

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGPIPE};

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

// The directory entry of a rename must reach the disk too, or a crash of
// the machine could bring back the old file.
void syncdir(const std::string& path) {
  std::filesystem::path dir = std::filesystem::path(path).parent_path();
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

void note(TempOut& t, int e) {
  if (t.err == 0) t.err = e != 0 ? e : EIO;
}

}  // namespace

std::string tempname(const std::string& name) { return name + ".tmp" + std::to_string(::getpid()); }

void registertemp(const std::string& path) {
  BlockSignals b;
  if (path.size() >= kPathMax) quit("temporary file name too long: " + path, kExitOpen);
  for (int i = 0; i < kSlots; ++i)
    if (g_used[i] && path == g_paths[i]) return;
  for (int i = 0; i < kSlots; ++i)
    if (!g_used[i]) {
      std::memcpy(g_paths[i], path.c_str(), path.size() + 1);
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
      return;
    }
}

void removetemps() {
  BlockSignals b;
  for (int i = 0; i < kSlots; ++i)
    if (g_used[i]) {
      ::unlink(g_paths[i]);
      g_used[i] = 0;
    }
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
  registertemp(t.tmp);
  const int fd = ::open(t.tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    unregistertemp(t.tmp);
    cantopen(name);
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
  if (t.err == 0 && std::rename(t.tmp.c_str(), t.target.c_str()) != 0) note(t, errno);
  if (t.err != 0) {
    ::unlink(t.tmp.c_str());
    unregistertemp(t.tmp);
    t.tmp.clear();
    quit(t.what + " " + t.name + " could not be written (" + std::strerror(t.err) +
             "); the previous file is unchanged",
         kExitOpen);
  }
  unregistertemp(t.tmp);
  t.tmp.clear();
  syncdir(t.target);
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
