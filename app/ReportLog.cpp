// TReportLog: report lines appended to a file, with their local time.
#include "app/ReportLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::unique_ptr<TReportLog> TReportLog::Open(const std::string& Path, std::string& Error) {
  const int Fd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (Fd < 0) {
    Error = "cannot open the log file '" + Path + "': " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<TReportLog>(new TReportLog(Fd, Path));
}

TReportLog::~TReportLog() {
  Write();
  ::close(FFd);
}

void TReportLog::Add(TClock::time_point When, std::string_view Text) {
  using namespace std::chrono;
  const auto Ms = time_point_cast<milliseconds>(When).time_since_epoch().count();
  // Floor division: a time before 1970 still gets its own second and 0..999 milliseconds.
  const std::time_t Second = static_cast<std::time_t>(Ms / 1000 - (Ms % 1000 < 0));
  if (Second != FSecond) {
    std::tm Local{};
    localtime_r(&Second, &Local);
    std::strftime(FSecondText, sizeof FSecondText, "%Y-%m-%d %H:%M:%S", &Local);
    FSecond = Second;
  }
  char Millis[8];
  std::snprintf(Millis, sizeof Millis, ".%03d ", static_cast<int>((Ms % 1000 + 1000) % 1000));
  FBatch += FSecondText;
  FBatch += Millis;
  FBatch += Text;
  FBatch += '\n';
}

void TReportLog::Write() {
  if (FBatch.empty()) return;
  size_t Done = 0;
  int Error = 0;
  while (Done < FBatch.size()) {
    const ssize_t N = ::write(FFd, FBatch.data() + Done, FBatch.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      Error = N < 0 ? errno : EIO;
      break;
    }
    Done += static_cast<size_t>(N);
  }
  FBatch.clear();
  if (Error && !FFailing)
    std::fprintf(stderr, "smppwin: writing the log file '%s' failed: %s; lines are lost\n",
                 FPath.c_str(), std::strerror(Error));
  FFailing = Error != 0;
}
