// The message queue of a socket worker: FIFO, wake-up pipe and the wait that turns socket
// readiness into messages.
#include "net/IcsMessages.h"

#include <charconv>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include "base/Thread.h"
#include "net/IcsLogMsg.h"
#include "net/IcsSocketIntf.h"

namespace {

bool SetNonBlocking(int Fd) {
  const int Flags = ::fcntl(Fd, F_GETFL);
  if (Flags == -1) return false;
  if (Flags & O_NONBLOCK) return true;
  return ::fcntl(Fd, F_SETFL, Flags | O_NONBLOCK) == 0;
}

// Clears InGetMessage when GetMessage leaves, however it leaves.
struct TInGetMessageGuard {
  std::atomic<bool>& Flag;
  ~TInGetMessageGuard() { Flag.store(false, std::memory_order_release); }
};

}  // namespace

int64_t IcsSteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {

// IcsMessageName without building a string: the table name, or the id written into Digits.
std::string_view MessageNameView(uint32_t Msg, char (&Digits)[16]) {
  if (Msg >= WM_ICS_CONNECT && Msg <= WM_ICS_USER) return IcsMessageNames[Msg - WM_ICS_CONNECT];
  const auto R = std::to_chars(Digits, Digits + sizeof Digits, Msg);
  return std::string_view(Digits, static_cast<size_t>(R.ptr - Digits));
}

}  // namespace

std::string IcsMessageName(uint32_t Msg) {
  char Digits[16];
  return std::string(MessageNameView(Msg, Digits));
}

bool IcsCreateWakeupPipe(int& PipeRead, int& PipeWrite) {
  int Fds[2];
  if (::pipe2(Fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    PipeRead = -1;
    PipeWrite = -1;
    return false;
  }
  PipeRead = Fds[0];
  PipeWrite = Fds[1];
  return true;
}

TIcsMsgQueue::TIcsMsgQueue() = default;

TIcsMsgQueue::~TIcsMsgQueue() {
  LogMsg(Name() + ".Destroy");
  ShuttingDown.store(true, std::memory_order_release);
  PostMessage(WM_QUIT, 0, 0);
  // The owner's loop has normally ended already; this only covers a GetMessage still on its way
  // out, which sees ShuttingDown (or the wake-up byte just written) and returns.
  while (InGetMessage.load(std::memory_order_acquire)) std::this_thread::yield();
}

std::string TIcsMsgQueue::Name() const {
  std::lock_guard<std::mutex> Guard(NameLock);
  return FName;
}

void TIcsMsgQueue::SetName(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(NameLock);
  FName = Value;
}

void TIcsMsgQueue::SetPipe(int ARead, int AWrite) {
  // Both ends must be non-blocking: a poster must never wait on a full pipe while it holds the
  // queue lock, and the reader must never block on a byte another pass already took.
  if (ARead >= 0) SetNonBlocking(ARead);
  if (AWrite >= 0) SetNonBlocking(AWrite);
  PipeRead.store(ARead, std::memory_order_release);
  PipeWrite.store(AWrite, std::memory_order_release);
}

bool TIcsMsgQueue::PostMessage(uint32_t Msg, int32_t WParam, int32_t LParam) {
  const int SavedErrno = errno;
  {
    std::lock_guard<std::recursive_mutex> Guard(QueueLock);
    char Digits[16];
    LogMsg("PostMessage ", MessageNameView(Msg, Digits));
    FQueue.push_back(TIcsClassMsg{Msg, WParam, LParam});
    // The byte is written after the message is in the FIFO and under the lock, so a waiter that
    // wakes and takes the lock finds the message. A full pipe (EAGAIN) already holds a pending
    // wake-up, so the failed write loses nothing.
    const int Fd = PipeWrite.load(std::memory_order_acquire);
    const uint32_t Owner = OwnerThreadId.load(std::memory_order_acquire);
    if (Fd >= 0 && (Owner == 0 || Owner != GetCurrentThreadId())) {
      const char Byte = 0;
      [[maybe_unused]] ssize_t Written = ::write(Fd, &Byte, 1);
    }
  }
  errno = SavedErrno;
  return true;
}

bool TIcsMsgQueue::GetMessage(TIcsClassMsg& Rec) {
  if (ShuttingDown.load(std::memory_order_acquire)) {
    Rec = TIcsClassMsg{};
    return false;
  }
  // The flag is set before and cleared after the lock is held, so that once the destructor sees
  // it clear, no GetMessage can still be touching the lock.
  InGetMessage.store(true, std::memory_order_release);
  TInGetMessageGuard Clear{InGetMessage};
  std::unique_lock<std::recursive_mutex> Guard(QueueLock);
  Rec.Msg = 0;
  // A socket the OS reports as not open (it was closed but is still named as watched) is left
  // out of the waits of this call, instead of turning the wait into a busy loop.
  int SkippedSocket = -1;

  while (FQueue.empty() && !ShuttingDown.load(std::memory_order_acquire)) {
    Guard.unlock();

    struct pollfd Fds[2] = {};
    nfds_t Count = 1;
    const int PipeFd = PipeRead.load(std::memory_order_acquire);
    Fds[0].fd = PipeFd;  // a negative descriptor is ignored by poll
    Fds[0].events = POLLIN;
    const int Sock = WatchedSocket.load(std::memory_order_acquire);
    if (Sock != -1 && Sock != SkippedSocket) {
      short Events = 0;
      if (SelectRead.load(std::memory_order_acquire)) {
        LogMsg("select for read");
        Events |= POLLIN;
      }
      if (SelectWrite.load(std::memory_order_acquire)) {
        LogMsg("select for write");
        Events |= POLLOUT;
      }
      if (Events != 0) {
        // POLLPRI stands for the exception set (urgent data).
        Fds[1].fd = Sock;
        Fds[1].events = static_cast<short>(Events | POLLPRI);
        Count = 2;
      }
    }
    // Without a pipe nothing could end an unbounded wait, so the wait then looks again every
    // 10 ms; with a pipe it sleeps until something is ready.
    int Wait = PipeFd >= 0 ? -1 : 10;
    int64_t Deadline = DeadlineMs.load(std::memory_order_acquire);
    if (Deadline != 0) {
      const int64_t Left = std::max<int64_t>(0, Deadline - IcsSteadyMs());
      if (Wait < 0 || Left < Wait) Wait = static_cast<int>(std::min<int64_t>(Left, INT_MAX));
    }
    const int Ready = Ics_poll(Fds, Count, Wait);
    if (Ready == 0 && Deadline != 0 && IcsSteadyMs() >= Deadline &&
        DeadlineMs.compare_exchange_strong(Deadline, 0)) {
      Rec.Msg = WM_ICS_DEADLINE;
      return true;  // Clear resets InGetMessage; the lock is not held here
    }

    if (Ready > 0) {
      if (PipeFd >= 0 && Fds[0].revents != 0) {
        LogMsg("Pipe read");
        char Byte;
        [[maybe_unused]] ssize_t Got = ::read(PipeFd, &Byte, 1);
      } else if (Count == 2) {
        const short Rev = Fds[1].revents;
        const short Want = Fds[1].events;
        uint32_t Msg = 0;
        if (Rev & POLLNVAL) {
          LogMsg("select: socket " + std::to_string(Sock) + " is not open");
          SkippedSocket = Sock;
        } else if ((Want & POLLIN) && (Rev & (POLLIN | POLLHUP | POLLERR))) {
          // Like select, an error or hang-up counts as readable: the read then reports it.
          Msg = Listening.load(std::memory_order_acquire) ? WM_ICS_SESSION_AVAILABLE
                                                          : WM_ICS_DATA_AVAILABLE;
        } else if ((Want & POLLOUT) && (Rev & (POLLOUT | POLLHUP | POLLERR))) {
          Msg = WM_ICS_WRITE_READY;
        } else if (Rev & POLLPRI) {
          Msg = WM_ICS_SOCKET_EXCEPTION;
        }
        if (Msg != 0) {
          Rec.Msg = Msg;
          return true;  // Clear resets InGetMessage; the lock is not held here
        }
      }
    }
    Guard.lock();
  }

  bool Result = false;
  if (!FQueue.empty()) {
    const TIcsClassMsg Front = FQueue.front();
    FQueue.pop_front();
    Rec = Front;
    Result = Rec.Msg != WM_QUIT;
  } else {
    Rec = TIcsClassMsg{};
  }
  return Result;
}

uint32_t TIcsMsgQueue::DispatchMessage(const TIcsClassMsg& Rec) {
  {
    char Digits[16];
    std::lock_guard<std::mutex> Guard(NameLock);
    LogMsg(FName, " DispatchMessage ", MessageNameView(Rec.Msg, Digits));
  }
  if (OnMessage) return OnMessage(Rec.Msg, Rec.WParam, Rec.LParam);
  return 0;
}
