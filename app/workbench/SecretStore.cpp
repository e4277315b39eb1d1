// The desktop's secret store through QtKeychain: one job per call, its end or a timeout reported
// once.
#include "app/workbench/SecretStore.h"

#include <qt6keychain/keychain.h>
#include <QObject>
#include <QTimer>

namespace {

class TKeychainStore : public TSecretStore {
 public:
  TKeychainStore(QString Service, int TimeoutMs)
      : FService(std::move(Service)), FTimeoutMs(TimeoutMs) {}

  void Write(const QString& Key, const QString& Password, TDone Done) override {
    auto* Job = new QKeychain::WritePasswordJob(FService);
    Job->setTextData(Password);
    Start(Job, Key, [Done = std::move(Done)](QKeychain::Job* J, const QString& Error) {
      Done(J ? ErrorOf(J) : Error);
    });
  }

  void Read(const QString& Key, TReadDone Done) override {
    Start(new QKeychain::ReadPasswordJob(FService), Key,
          [Done = std::move(Done)](QKeychain::Job* J, const QString& Error) {
            if (!J) return Done(std::nullopt, Error);
            if (J->error() == QKeychain::EntryNotFound) return Done(std::nullopt, {});
            if (J->error() != QKeychain::NoError) return Done(std::nullopt, ErrorOf(J));
            Done(static_cast<QKeychain::ReadPasswordJob*>(J)->textData(), {});
          });
  }

  void Remove(const QString& Key, TDone Done) override {
    Start(new QKeychain::DeletePasswordJob(FService), Key,
          [Done = std::move(Done)](QKeychain::Job* J, const QString& Error) {
            if (J && J->error() == QKeychain::EntryNotFound) return Done({});
            Done(J ? ErrorOf(J) : Error);
          });
  }

 private:
  static QString ErrorOf(QKeychain::Job* J) {
    return J->error() == QKeychain::NoError ? QString() : J->errorString();
  }

  // Runs Job for Key and calls End once: with the job when it finished, or with null and the
  // reason when the time ran out first. The job deletes itself when it ends, whenever that is;
  // FContext going with the store disconnects both ends, so nothing calls into a destroyed store.
  void Start(QKeychain::Job* Job, const QString& Key,
             std::function<void(QKeychain::Job*, const QString&)> End) {
    Job->setInsecureFallback(false);
    Job->setAutoDelete(true);
    Job->setKey(Key);
    auto Once =
        std::make_shared<std::function<void(QKeychain::Job*, const QString&)>>(std::move(End));
    QObject::connect(Job, &QKeychain::Job::finished, &FContext, [Once](QKeychain::Job* J) {
      if (auto F = std::exchange(*Once, nullptr)) F(J, {});
    });
    QTimer::singleShot(FTimeoutMs, &FContext, [Once, Ms = FTimeoutMs] {
      if (auto F = std::exchange(*Once, nullptr))
        F(nullptr, QString("the secret store did not answer within %1 s").arg(Ms / 1000.0));
    });
    // Started from the event loop, so that no callback runs inside the call that asked.
    QMetaObject::invokeMethod(Job, &QKeychain::Job::start, Qt::QueuedConnection);
  }

  QString FService;
  int FTimeoutMs;
  QObject FContext;
};

}  // namespace

std::unique_ptr<TSecretStore> MakeKeychainStore(const QString& Service, int TimeoutMs) {
  return std::make_unique<TKeychainStore>(Service, TimeoutMs);
}
