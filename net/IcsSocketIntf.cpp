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

int Ics_select(int NFds, fd_set* ReadFds, fd_set* WriteFds, fd_set* ExceptFds,
               struct timeval* Timeout) {
  TraceSelect(NFds);
  if (NFds < 0 || NFds > FD_SETSIZE) {
    // A descriptor set cannot hold such descriptors; select would read and write past the sets.
    errno = EINVAL;
    return TraceResult("Ics_select = ", -1);
  }
  return TraceResult("Ics_select = ", ::select(NFds, ReadFds, WriteFds, ExceptFds, Timeout));
}

int Ics_poll(struct pollfd* Fds, nfds_t NFds, int Timeout) {
  int Highest = -1;
  for (nfds_t I = 0; I < NFds; ++I) {
    if (Fds[I].fd > Highest) Highest = Fds[I].fd;
  }
  TraceSelect(Highest + 1);
  return TraceResult("Ics_select = ", ::poll(Fds, NFds, Timeout));
}

int Ics_accept(int S, struct sockaddr* Addr, socklen_t* AddrLen) {
  return TraceResult("Ics_accept = ", ::accept4(S, Addr, AddrLen, SOCK_CLOEXEC));
}

ssize_t Ics_send(int S, const void* Buf, size_t Len, int Flags) {
  return TraceFdResult("Ics_send(", S, ::send(S, Buf, Len, Flags));
}

ssize_t Ics_recv(int S, void* Buf, size_t Len, int Flags) {
  return TraceFdResult("Ics_recv(", S, ::recv(S, Buf, Len, Flags));
}

int Ics_socket(int Domain, int Type, int Protocol) {
  return TraceResult("Ics_socket = ", ::socket(Domain, Type | SOCK_CLOEXEC, Protocol));
}

int Ics_closesocket(int S) {
  return TraceFdResult("Ics_closesocket(", S, ::close(S));
}

int Ics_shutdown(int S, int How) {
  return TraceFdResult("Ics_closesocket(", S, ::shutdown(S, How));
}

int Ics_bind(int S, const struct sockaddr* Addr, socklen_t AddrLen) {
  return ::bind(S, Addr, AddrLen);
}

int Ics_connect(int S, const struct sockaddr* Addr, socklen_t AddrLen) {
  return ::connect(S, Addr, AddrLen);
}

int Ics_listen(int S, int Backlog) {
  return ::listen(S, Backlog);
}

int Ics_ioctl(int S, unsigned long Request, void* Arg) {
  return ::ioctl(S, Request, Arg);
}

ssize_t Ics_sendto(int S, const void* Buf, size_t Len, int Flags, const struct sockaddr* To,
                   socklen_t ToLen) {
  return ::sendto(S, Buf, Len, Flags, To, ToLen);
}

int Ics_setsockopt(int S, int Level, int OptName, const void* OptVal, socklen_t OptLen) {
  return ::setsockopt(S, Level, OptName, OptVal, OptLen);
}

int Ics_getsockname(int S, struct sockaddr* Addr, socklen_t* AddrLen) {
  return ::getsockname(S, Addr, AddrLen);
}

int Ics_getpeername(int S, struct sockaddr* Addr, socklen_t* AddrLen) {
  return ::getpeername(S, Addr, AddrLen);
}

struct hostent* Ics_gethostbyname(const char* Name) {
  thread_local struct hostent Entry;
  thread_local TLookupStore Store;
  if (Name == nullptr || IsInvalidDomain(Name)) {
    errno = HOST_NOT_FOUND;
    return nullptr;
  }
  for (;;) {
    struct hostent* Result = nullptr;
    int HErr = 0;
    const int Rc =
        ::gethostbyname_r(Name, &Entry, Store.Buf.data(), Store.Buf.size(), &Result, &HErr);
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

struct servent* Ics_getservbyname(const char* Name, const char* Proto) {
  thread_local struct servent Entry;
  thread_local TLookupStore Store;
  for (;;) {
    struct servent* Result = nullptr;
    errno = 0;
    const int Rc =
        ::getservbyname_r(Name, Proto, &Entry, Store.Buf.data(), Store.Buf.size(), &Result);
    if (Rc == ERANGE && Store.Buf.size() < (1u << 20)) {
      Store.Buf.resize(Store.Buf.size() * 2);
      continue;
    }
    if (Result == nullptr && Rc != 0) errno = Rc;
    return Result;
  }
}

struct protoent* Ics_getprotobyname(const char* Name) {
  thread_local struct protoent Entry;
  thread_local TLookupStore Store;
  for (;;) {
    struct protoent* Result = nullptr;
    errno = 0;
    const int Rc = ::getprotobyname_r(Name, &Entry, Store.Buf.data(), Store.Buf.size(), &Result);
    if (Rc == ERANGE && Store.Buf.size() < (1u << 20)) {
      Store.Buf.resize(Store.Buf.size() * 2);
      continue;
    }
    if (Result == nullptr && Rc != 0) errno = Rc;
    return Result;
  }
}

in_addr_t Ics_inet_addr(const char* Text) {
  return ::inet_addr(Text);
}

std::string Ics_inet_ntoa(struct in_addr Addr) {
  char Text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &Addr, Text, sizeof(Text));
  return Text;
}

uint16_t Ics_htons(uint16_t Value) {
  return htons(Value);
}

uint16_t Ics_ntohs(uint16_t Value) {
  return ntohs(Value);
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
