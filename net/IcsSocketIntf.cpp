// The socket call layer: one OS call per wrapper with its trace line, the re-entrant name
// look-ups, and the resolution of host, port and protocol texts.
#include "net/IcsSocketIntf.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "net/IcsLogMsg.h"

namespace {

// Traces a line and hands back the result, keeping errno as the OS call left it (LogMsg itself
// preserves errno; the explicit save documents that callers depend on it).
template <typename T>
T TraceResult(std::string_view Prefix, T Result) {
  const int SavedErrno = errno;
  char Digits[24];
  const auto R = std::to_chars(Digits, Digits + sizeof Digits, Result);
  LogMsg(Prefix, std::string_view(Digits, static_cast<size_t>(R.ptr - Digits)));
  errno = SavedErrno;
  return Result;
}

// Name + "(" + Fd + ") = " + Result, for the calls on one descriptor.
template <typename T>
T TraceFdResult(std::string_view Name, int Fd, T Result) {
  const int SavedErrno = errno;
  char FdDigits[16], Digits[24];
  const auto F = std::to_chars(FdDigits, FdDigits + sizeof FdDigits, Fd);
  const auto R = std::to_chars(Digits, Digits + sizeof Digits, Result);
  LogMsg(Name, std::string_view(FdDigits, static_cast<size_t>(F.ptr - FdDigits)),
         ") = ", std::string_view(Digits, static_cast<size_t>(R.ptr - Digits)));
  errno = SavedErrno;
  return Result;
}

// "Ics_select(" + N + ")" without building a string.
void TraceSelect(int N) {
  char Digits[16];
  const auto R = std::to_chars(Digits, Digits + sizeof Digits, N);
  LogMsg("Ics_select(", std::string_view(Digits, static_cast<size_t>(R.ptr - Digits)), ")");
}

// Per-thread storage for the re-entrant look-up calls; grown when the C library asks for more.
struct TLookupStore {
  std::vector<char> Buf = std::vector<char>(1024);
};

bool IsInvalidDomain(const char* Name) {
  // Names under the reserved top-level domain "invalid" must never resolve; answering them here
  // keeps the answer independent of whatever DNS server the machine has (or lacks).
  std::string N(Name ? Name : "");
  while (!N.empty() && N.back() == '.') N.pop_back();
  for (auto& C : N) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  const std::string Tld = "invalid";
  if (N == Tld) return true;
  return N.size() > Tld.size() && N.compare(N.size() - Tld.size(), Tld.size(), Tld) == 0 &&
         N[N.size() - Tld.size() - 1] == '.';
}

// Copies Text without leading and trailing characters of code 32 or less.
std::string TrimControl(const std::string& Text) {
  size_t B = 0, E = Text.size();
  while (B < E && static_cast<unsigned char>(Text[B]) <= 32) ++B;
  while (E > B && static_cast<unsigned char>(Text[E - 1]) <= 32) --E;
  return Text.substr(B, E - B);
}

bool IsDigit(char C) {
  return C >= '0' && C <= '9';
}

std::string FormatError(const char* Pattern, const std::string& Text, int32_t Code) {
  // Patterns hold one %s and one %d; the text is user input, so it is substituted here rather
  // than handed to a printf-style formatter.
  std::string Out;
  for (const char* P = Pattern; *P; ++P) {
    if (P[0] == '%' && P[1] == 's') {
      Out += Text;
      ++P;
    } else if (P[0] == '%' && P[1] == 'd') {
      Out += std::to_string(Code);
      ++P;
    } else {
      Out += *P;
    }
  }
  return Out;
}

}  // namespace

int Ics_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
               struct timeval* timeout) {
  TraceSelect(nfds);
  if (nfds < 0 || nfds > FD_SETSIZE) {
    // A descriptor set cannot hold such descriptors; select would read and write past the sets.
    errno = EINVAL;
    return TraceResult("Ics_select = ", -1);
  }
  return TraceResult("Ics_select = ", ::select(nfds, readfds, writefds, exceptfds, timeout));
}

int Ics_poll(struct pollfd* fds, nfds_t nfds, int timeout) {
  int Highest = -1;
  for (nfds_t I = 0; I < nfds; ++I) {
    if (fds[I].fd > Highest) Highest = fds[I].fd;
  }
  TraceSelect(Highest + 1);
  return TraceResult("Ics_select = ", ::poll(fds, nfds, timeout));
}

int Ics_accept(int s, struct sockaddr* addr, socklen_t* addrlen) {
  return TraceResult("Ics_accept = ", ::accept4(s, addr, addrlen, SOCK_CLOEXEC));
}

ssize_t Ics_send(int s, const void* buf, size_t len, int flags) {
  return TraceFdResult("Ics_send(", s, ::send(s, buf, len, flags));
}

ssize_t Ics_recv(int s, void* buf, size_t len, int flags) {
  return TraceFdResult("Ics_recv(", s, ::recv(s, buf, len, flags));
}

int Ics_socket(int domain, int type, int protocol) {
  return TraceResult("Ics_socket = ", ::socket(domain, type | SOCK_CLOEXEC, protocol));
}

int Ics_closesocket(int s) {
  return TraceFdResult("Ics_closesocket(", s, ::close(s));
}

int Ics_shutdown(int s, int how) {
  return TraceFdResult("Ics_closesocket(", s, ::shutdown(s, how));
}

int Ics_bind(int s, const struct sockaddr* addr, socklen_t addrlen) {
  return ::bind(s, addr, addrlen);
}

int Ics_connect(int s, const struct sockaddr* addr, socklen_t addrlen) {
  return ::connect(s, addr, addrlen);
}

int Ics_listen(int s, int backlog) {
  return ::listen(s, backlog);
}

int Ics_ioctl(int s, unsigned long request, void* arg) {
  return ::ioctl(s, request, arg);
}

ssize_t Ics_sendto(int s, const void* buf, size_t len, int flags, const struct sockaddr* to,
                   socklen_t tolen) {
  return ::sendto(s, buf, len, flags, to, tolen);
}

int Ics_setsockopt(int s, int level, int optname, const void* optval, socklen_t optlen) {
  return ::setsockopt(s, level, optname, optval, optlen);
}

int Ics_getsockname(int s, struct sockaddr* addr, socklen_t* addrlen) {
  return ::getsockname(s, addr, addrlen);
}

int Ics_getpeername(int s, struct sockaddr* addr, socklen_t* addrlen) {
  return ::getpeername(s, addr, addrlen);
}

struct hostent* Ics_gethostbyname(const char* name) {
  thread_local struct hostent Entry;
  thread_local TLookupStore Store;
  if (name == nullptr || IsInvalidDomain(name)) {
    errno = HOST_NOT_FOUND;
    return nullptr;
  }
  for (;;) {
    struct hostent* Result = nullptr;
    int HErr = 0;
    const int Rc =
        ::gethostbyname_r(name, &Entry, Store.Buf.data(), Store.Buf.size(), &Result, &HErr);
    if (Rc == ERANGE && Store.Buf.size() < (1u << 20)) {
      Store.Buf.resize(Store.Buf.size() * 2);
      continue;
    }
    if (Result == nullptr) {
      errno = HErr != 0 ? HErr : (Rc != 0 ? Rc : HOST_NOT_FOUND);
      return nullptr;
    }
    return Result;
  }
}

struct servent* Ics_getservbyname(const char* name, const char* proto) {
  thread_local struct servent Entry;
  thread_local TLookupStore Store;
  for (;;) {
    struct servent* Result = nullptr;
    errno = 0;
    const int Rc =
        ::getservbyname_r(name, proto, &Entry, Store.Buf.data(), Store.Buf.size(), &Result);
    if (Rc == ERANGE && Store.Buf.size() < (1u << 20)) {
      Store.Buf.resize(Store.Buf.size() * 2);
      continue;
    }
    if (Result == nullptr && Rc != 0) errno = Rc;
    return Result;
  }
}

struct protoent* Ics_getprotobyname(const char* name) {
  thread_local struct protoent Entry;
  thread_local TLookupStore Store;
  for (;;) {
    struct protoent* Result = nullptr;
    errno = 0;
    const int Rc = ::getprotobyname_r(name, &Entry, Store.Buf.data(), Store.Buf.size(), &Result);
    if (Rc == ERANGE && Store.Buf.size() < (1u << 20)) {
      Store.Buf.resize(Store.Buf.size() * 2);
      continue;
    }
    if (Result == nullptr && Rc != 0) errno = Rc;
    return Result;
  }
}

in_addr_t Ics_inet_addr(const char* cp) {
  return ::inet_addr(cp);
}

std::string Ics_inet_ntoa(struct in_addr in) {
  char Text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &in, Text, sizeof(Text));
  return Text;
}

uint16_t Ics_htons(uint16_t v) {
  return htons(v);
}

uint16_t Ics_ntohs(uint16_t v) {
  return ntohs(v);
}

int32_t LastOSError() {
  return errno;
}

uint32_t IcsSocketResolveHost(const std::string& Host) {
  if (Host.empty() || Host.size() >= 257) {
    throw ESocketException("IcsSocketResolveHost: '" + Host + "' Invalid Hostname.");
  }
  const std::string Copy = TrimControl(Host);
  if (IsDottedIP(Host)) {
    const in_addr_t Addr = Ics_inet_addr(Copy.c_str());
    if (Addr == INADDR_NONE) {
      if (Copy == "255.255.255.255") return INADDR_NONE;
      throw ESocketException("IcsSocketResolveHost: '" + Host + "' Invalid IP address.");
    }
    return Addr;
  }
  struct hostent* Entry = Ics_gethostbyname(Copy.c_str());
  // Only IPv4 entries carry an address this layer can use.
  if (Entry == nullptr || Entry->h_addrtype != AF_INET || Entry->h_length != 4 ||
      Entry->h_addr_list == nullptr || Entry->h_addr_list[0] == nullptr) {
    const int32_t Code = Entry == nullptr ? LastOSError() : HOST_NOT_FOUND;
    throw ESocketException(FormatError(
        "IcsSocketResolveHost: Cannot convert host address '%s', Error #%d", Host, Code));
  }
  uint32_t Addr;
  std::memcpy(&Addr, Entry->h_addr_list[0], sizeof(Addr));
  return Addr;
}

uint16_t IcsSocketResolvePort(const std::string& Port, const std::string& Proto) {
  if (Port.empty() || Port.size() >= 32) {
    throw ESocketException("IcsSocketResolvePort: Invalid Port.");
  }
  if (IsDigit(Port[0])) return static_cast<uint16_t>(LeadingDigitsValue(Port) & 0xFFFF);
  const std::string PortCopy = TrimControl(Port);
  // The protocol text is not length-checked by the caller; the look-up takes at most 31 bytes of
  // it, as a fixed 32-byte buffer would.
  std::string ProtoCopy = TrimControl(Proto);
  if (ProtoCopy.size() > 31) ProtoCopy.resize(31);
  struct servent* Entry =
      Ics_getservbyname(PortCopy.c_str(), ProtoCopy.empty() ? nullptr : ProtoCopy.c_str());
  if (Entry == nullptr) {
    throw ESocketException(FormatError("IcsSocketResolvePort: Cannot convert port '%s', Error #%d",
                                       Port, LastOSError()));
  }
  return Ics_ntohs(static_cast<uint16_t>(Entry->s_port));
}

int32_t IcsSocketResolveProto(const std::string& Proto) {
  if (Proto.empty() || Proto.size() >= 32) {
    throw ESocketException("IcsSocketResolveProto: Invalid Protocol.");
  }
  const std::string Copy = TrimControl(Proto);
  if (!Copy.empty() && IsDigit(Copy[0])) return LeadingDigitsValue(Copy);
  struct protoent* Entry = Ics_getprotobyname(Copy.c_str());
  if (Entry == nullptr) {
    throw ESocketException(FormatError(
        "IcsSocketResolveProto: Cannot convert protocol '%s', Error #%d", Copy, LastOSError()));
  }
  return static_cast<uint16_t>(Entry->p_proto);
}

bool IsDottedIP(const std::string& Text) {
  size_t I = 0;
  const size_t N = Text.size();
  while (I < N && Text[I] == ' ') ++I;
  if (I < N && Text[I] == '.') return false;
  int Dots = 0;
  uint32_t Part = 0;  // capped just above 255 so that long digit runs cannot overflow
  for (; I < N; ++I) {
    const char C = Text[I];
    if (IsDigit(C)) {
      Part = Part * 10 + static_cast<uint32_t>(C - '0');
      if (Part > 256) Part = 256;
    } else if (C == '.') {
      if (++Dots > 3) return false;
      if (Part > 255) return false;
      Part = 0;
      if (I + 1 >= N || !IsDigit(Text[I + 1])) return false;
    } else {
      for (; I < N; ++I) {
        if (Text[I] != ' ') return false;
      }
      break;
    }
  }
  return Dots == 3 && Part <= 255;
}

int32_t LeadingDigitsValue(const std::string& Text) {
  size_t I = 0;
  while (I < Text.size() && Text[I] == ' ') ++I;
  uint32_t Value = 0;  // unsigned, so that long digit runs wrap instead of overflowing
  for (; I < Text.size() && IsDigit(Text[I]); ++I) {
    Value = Value * 10 + static_cast<uint32_t>(Text[I] - '0');
  }
  return static_cast<int32_t>(Value);
}

std::string IcsTrim(const std::string& Text) {
  size_t B = 0;
  size_t E = Text.size();
  while (B < E && static_cast<unsigned char>(Text[B]) <= 32) ++B;
  while (E > B && static_cast<unsigned char>(Text[E - 1]) <= 32) --E;
  return Text.substr(B, E - B);
}
