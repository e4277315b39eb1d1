// TReportLog: the file that `smppwin --log FILE` appends every report line to, each with the local
// time at which the report came, so that a window left open all day loses no line even though its
// memo keeps only the newest ones.
//
// The memo feed writes to it from the GUI thread, one batch of lines at a time with one write
// call; the notifications never touch the file. A batch that write has taken is in the kernel, so
// a window that is killed loses at most the batch it was writing. Not thread-safe: one thread uses
// the object at a time.
#pragma once

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

class TReportLog {
 public:
  using TClock = std::chrono::system_clock;

  // Opens Path for appending, creating it when it does not exist. Gives nullptr with the reason
  // in Error when the file cannot be opened.
  static std::unique_ptr<TReportLog> Open(const std::string& Path, std::string& Error);
  ~TReportLog();
  TReportLog(const TReportLog&) = delete;
  TReportLog& operator=(const TReportLog&) = delete;

  const std::string& Path() const { return FPath; }

  // Adds "yyyy-mm-dd hh:mm:ss.mmm Text" (local time of When) to the batch. Text must be one line.
  void Add(TClock::time_point When, std::string_view Text);
  // Appends the batch to the file and empties it. A failed write is reported on standard error
  // (once, until a write succeeds again); its lines are lost and later batches are tried anew.
  void Write();

 private:
  TReportLog(int Fd, std::string Path) : FFd(Fd), FPath(std::move(Path)) {}

  const int FFd;
  const std::string FPath;
  std::string FBatch;
  bool FFailing = false;
  // The "yyyy-mm-dd hh:mm:ss" of FSecond, kept because most lines share their second.
  std::time_t FSecond = -1;
  char FSecondText[24] = {};
};
