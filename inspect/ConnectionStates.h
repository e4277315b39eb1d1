// TConnectionStates: what each connection of the client is doing, read from the client's report
// lines and its PDU trace (the lines name failures, the trace shows connections open, bind and
// close), for a window's live state labels. No sockets and no Qt: the workbench feeds it on its
// GUI thread, the tests feed it by hand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "inspect/PduTraceRing.h"
#include "smpp/SMPPClientInfo.h"

// The life of one connection.
enum class TLinkState : uint8_t { lsClosed, lsConnecting, lsBinding, lsBound, lsReconnecting };

// "closed", "connecting", "binding", "bound", "reconnecting".
const char* LinkStateName(TLinkState State);

// Which notification carried a report line: RcxOnData or TcxOnData.
enum class TReportChannel : uint8_t { rcRcx, rcTcx };

struct TLinkStatus {
  TLinkState State = TLinkState::lsClosed;
  // The last failure in words ("connection refused", "host not found", "connection lost", "bind
  // refused: ESME_RINVPASWD", "TLS handshake failed: ..."); empty once the connection is bound
  // again or closed by Unbind.
  std::string Reason;
  // PduTraceNowNs of the next connect while reconnecting after a failed connect; 0 when unknown
  // (after a lost connection, the keep-alive decides when).
  int64_t RetryAtNs = 0;
};

// The label of a status at NowNs: "bound", "reconnecting in 4 s (connection refused)",
// "closed (bind refused: ESME_RINVPASWD)". Pure; any thread.
std::string LinkStatusText(const TLinkStatus& Status, int64_t NowNs);

// Not thread-safe: one thread (the window's) calls everything, feeding reports and trace records
// in the order they happened.
class TConnectionStates {
 public:
  // The wait the client announces after a failed connect ("try Connect in 5 sec").
  static constexpr int64_t kRetryWaitNs = 5'000'000'000;

  // Bind was pressed with Mode: the connections of that mode are connecting, the others closed.
  void BindAsked(TBindMode Mode);
  // Unbind was pressed: closes that follow are the ones asked for.
  void UnbindAsked();
  // Unbind's wait has ended: every connection is closed.
  void UnbindDone();
  // A report line of the client as it came (unescaped), at NowNs.
  void OnReport(TReportChannel Channel, std::string_view Line, int64_t NowNs);
  // A traced PDU, connection boundary or failed connect.
  void OnTrace(const TPduTraceRecord& Record);

  const TLinkStatus& Status(TPduConnection Connection) const {
    return FLinks[static_cast<size_t>(Connection)];
  }
  // Whether the connection belongs to the mode last bound (the pair's two, or the transceiver).
  bool InUse(TPduConnection Connection) const;
  TBindMode Mode() const { return FMode; }
  bool Unbinding() const { return FUnbinding; }
  // Bind can act when no connection is in use and no Unbind is under way; Unbind when one is.
  bool CanBind() const;
  bool CanUnbind() const;

 private:
  struct TLink : TLinkStatus {
    // A failure seen during the current attempt, for the retry or close that ends it.
    std::string Pending;
    // The trace told of a failed connect whose retry line has not come yet: that line starts the
    // countdown and keeps the trace's reason.
    bool RetryLineDue = false;
  };
  TLink& Link(TPduConnection C) { return FLinks[static_cast<size_t>(C)]; }
  void Failed(TLink& L, TLinkState Next, const char* Default, int64_t RetryAtNs);

  TLink FLinks[3];
  TBindMode FMode = TBindMode::bmPair;
  bool FUnbinding = false;
};
