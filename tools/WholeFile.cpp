// A file written beside its name and renamed over it once whole.
#include "tools/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// True when Path exists and is not a regular file: it cannot be replaced by a rename.
bool Special(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && !S_ISREG(St.st_mode);
}

// The name pattern of a new file beside Path, for mkstemp: its folder, a dot, its name, a dot
// and six X.
std::string BesidePattern(const std::string& Path) {
  const size_t Slash = Path.rfind('/');
  const std::string Folder = Slash == std::string::npos ? "" : Path.substr(0, Slash + 1);
  const std::string Name = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
  return Folder + "." + Name + ".XXXXXX";
}

// A new file beside Path, open for writing; -1 and the reason when none can be made.
int OpenBeside(const std::string& Path, std::string& Made, std::string& Why) {
  std::string Pattern = BesidePattern(Path);
  std::vector<char> Name(Pattern.begin(), Pattern.end());
  Name.push_back('\0');
  const int Fd = ::mkostemp(Name.data(), O_CLOEXEC);
  if (Fd < 0) {
    Why = std::strerror(errno);
    return -1;
  }
  Made = Name.data();
  return Fd;
}

bool WriteAll(int Fd, const std::string& Text) {
  for (size_t Done = 0; Done < Text.size();) {
    const ssize_t N = ::write(Fd, Text.data() + Done, Text.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Done += static_cast<size_t>(N);
  }
  return true;
}

}  // namespace

bool PrepareWholeFile(const std::string& Path, std::string& Why) {
  if (Path.empty() || Path.back() == '/') {
    Why = "not a file name";
    return false;
  }
  if (Special(Path)) return true;
  std::string Made;
  const int Fd = OpenBeside(Path, Made, Why);
  if (Fd < 0) return false;
  ::close(Fd);
  ::unlink(Made.c_str());
  // The file of an earlier run goes now: until this run writes its own there is none.
  if (::unlink(Path.c_str()) != 0 && errno != ENOENT) {
    Why = std::strerror(errno);
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& Path, const std::string& Text, std::string& Why) {
  if (Special(Path)) {
    const int Fd = ::open(Path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool Written = Fd >= 0 && WriteAll(Fd, Text);
    if (!Written) Why = std::strerror(errno);
    if (Fd >= 0) ::close(Fd);
    return Written;
  }
  std::string Made;
  const int Fd = OpenBeside(Path, Made, Why);
  if (Fd < 0) return false;
  // mkstemp makes it readable by its owner alone; the file is read like any other the user makes
  // (the umask cannot be read without changing it, which other threads would see).
  ::fchmod(Fd, 0644);
  // On the disk before the rename: after a crash the name holds the whole file or none.
  bool Done = WriteAll(Fd, Text) && ::fsync(Fd) == 0;
  const int Errno = errno;
  Done = ::close(Fd) == 0 && Done;
  if (Done && ::rename(Made.c_str(), Path.c_str()) == 0) return true;
  Why = std::strerror(Done ? errno : Errno);
  ::unlink(Made.c_str());
  return false;
}
