// TGuiWakeup: an eventfd watched by the GUI thread's event loop.
#include "app/GuiWakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

TGuiWakeup::TGuiWakeup(std::function<void()> OnWake, QObject* Parent)
    : QObject(Parent), FOnWake(std::move(OnWake)) {
  FFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  FNotifier = std::make_unique<QSocketNotifier>(FFd, QSocketNotifier::Read);
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] { Activated(); });
}

TGuiWakeup::~TGuiWakeup() {
  FNotifier.reset();
  close(FFd);
}

void TGuiWakeup::Wake() {
  // The counter only saturates after 2^64-2 unread wake-ups; EAGAIN then means a wake-up is
  // pending anyway, and EINTR cannot happen on a non-blocking eventfd write.
  const uint64_t One = 1;
  ssize_t Written = write(FFd, &One, sizeof One);
  (void)Written;
}

void TGuiWakeup::Activated() {
  // Reading resets the counter, so the wake-ups that came before this read are served by the
  // call below and any that come after it fire the notifier again.
  uint64_t Count = 0;
  ssize_t Read = read(FFd, &Count, sizeof Count);
  (void)Read;
  FOnWake();
}
