// TGuiWakeup: lets any thread make the GUI thread run one function soon, without blocking and
// without handing any object across threads. The wake-up is an eventfd that a QSocketNotifier
// watches on the GUI thread's event loop; writing to it is the whole of the other thread's part.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

class TGuiWakeup : public QObject {
 public:
  // OnWake runs on the GUI thread (the thread that creates the object) once per turn of its event
  // loop in which one or more Wake calls have arrived. Raises std::system_error when no eventfd can
  // be had.
  explicit TGuiWakeup(std::function<void()> OnWake, QObject* Parent = nullptr);
  // GUI thread. No other thread may call Wake once destruction has begun.
  ~TGuiWakeup() override;

  // Asks for OnWake. Never blocks and never runs OnWake itself. Any thread.
  void Wake();

 private:
  void Activated();

  int FFd = -1;  // the eventfd; written by any thread, read and closed by the GUI thread
  std::unique_ptr<QSocketNotifier> FNotifier;
  std::function<void()> FOnWake;
};
