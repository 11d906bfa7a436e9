// trovan: density maps of aperiodic crystals in superspace.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <iostream>

#include "driver/trovan.hpp"
#include "util/stop.hpp"
#include "util/tempfiles.hpp"

namespace {

// True when file descriptor fd is open.
bool isopen(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

void tostderr(const std::string& message) { std::cerr << "trovan: " << message << std::endl; }

}  // namespace

int main() {
  // Without a standard output the listing is lost, and the first file the
  // run opens would take its place and receive the listing.
  if (!isopen(1)) {
    if (isopen(2)) tostderr("standard output is closed: the listing can not be written");
    return trovan::kExitOpen;
  }
  // A closed standard input or error is /dev/null, so that no file of the
  // run takes their place.
  if (!isopen(0)) ::open("/dev/null", O_RDONLY);
  if (!isopen(2)) ::open("/dev/null", O_WRONLY);
  trovan::installsignalcleanup();

  int status = trovan::kExitOk;
  bool told = false;
  try {
    trovan::run();
  } catch (const trovan::Stop& s) {
    trovan::removetemps();
    status = s.status;
    // The reason of the stop also on standard error, so that a run whose
    // listing goes to a file shows why it stopped.
    tostderr(s.what());
    told = true;
  } catch (const std::exception& e) {
    // Not a stop of the program's own (memory exhausted, a library's
    // failure): still a clear stop, without temporary files left behind.
    trovan::removetemps();
    status = trovan::kExitError;
    std::cout << ' ' << e.what() << std::endl;
    tostderr(e.what());
    told = true;
  }
  std::cout.flush();
  if (!std::cout) {
    if (!told) tostderr("the listing could not be written to standard output");
    if (status == trovan::kExitOk) status = trovan::kExitOpen;
  }
  return status;
}
