// The socket call layer: thin wrappers over the OS socket calls, each making exactly one call
// with its arguments unchanged and returning its result unchanged (some also write a trace line),
// plus the resolution of host, port and protocol texts and the socket layer's exception class.
//
// Every wrapper may be called from any thread; the caller reads LastOSError() right after a
// failed call (trace lines never disturb errno). The look-up wrappers use the C library's
// re-entrant calls with per-thread storage, so resolutions on different threads never disturb
// each other.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>

// The socket layer's exception: carries only its message. Raised by the resolution functions
// below and by the worker's request checks.
class ESocketException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No socket.
constexpr int INVALID_SOCKET = -1;

// select. Traces "Ics_select(<NFds>)" before and "Ics_select = <result>" after the call. The
// caller must never put a descriptor at or above FD_SETSIZE into a set; an NFds above FD_SETSIZE
// fails with EINVAL without calling the OS. Ics_poll is the wait for such descriptors.
int Ics_select(int NFds, fd_set* ReadFds, fd_set* WriteFds, fd_set* ExceptFds,
               struct timeval* Timeout);

// poll, the wait used for every descriptor (it has no FD_SETSIZE limit). Traces exactly like
// Ics_select, with the highest descriptor in the set plus one: "Ics_select(<n>)" before and
// "Ics_select = <result>" after. Timeout in milliseconds, -1 for none.
int Ics_poll(struct pollfd* Fds, nfds_t NFds, int Timeout);

// accept. Traces "Ics_accept = <result>".
int Ics_accept(int S, struct sockaddr* Addr, socklen_t* AddrLen);
// send. Traces "Ics_send(<S>) = <result>".
ssize_t Ics_send(int S, const void* Buf, size_t Len, int Flags);
// recv. Traces "Ics_recv(<S>) = <result>".
ssize_t Ics_recv(int S, void* Buf, size_t Len, int Flags);
// socket. Traces "Ics_socket = <result>". The new descriptor is close-on-exec.
int Ics_socket(int Domain, int Type, int Protocol);
// close. Traces "Ics_closesocket(<S>) = <result>".
int Ics_closesocket(int S);
// shutdown. Traces "Ics_closesocket(<S>) = <result>" (the same text as Ics_closesocket).
int Ics_shutdown(int S, int How);

// The remaining wrappers write no trace line.
int Ics_bind(int S, const struct sockaddr* Addr, socklen_t AddrLen);
int Ics_connect(int S, const struct sockaddr* Addr, socklen_t AddrLen);
int Ics_listen(int S, int Backlog);
int Ics_ioctl(int S, unsigned long Request, void* Arg);
ssize_t Ics_sendto(int S, const void* Buf, size_t Len, int Flags, const struct sockaddr* To,
                   socklen_t ToLen);
int Ics_setsockopt(int S, int Level, int OptName, const void* OptVal, socklen_t OptLen);
int Ics_getsockname(int S, struct sockaddr* Addr, socklen_t* AddrLen);
int Ics_getpeername(int S, struct sockaddr* Addr, socklen_t* AddrLen);

// Name look-ups. Each returns an entry in storage private to the calling thread, valid until the
// same thread's next call of the same function, or null when there is no entry. On failure the
// thread's OS error number is set: for host names it is the resolver's code (HOST_NOT_FOUND = 1,
// TRY_AGAIN = 2, NO_RECOVERY = 3, NO_DATA = 4), because the C library leaves errno undefined
// after a failed host look-up. Names under the reserved domain "invalid" never resolve and are
// answered with HOST_NOT_FOUND without asking any server.
struct hostent* Ics_gethostbyname(const char* Name);
struct servent* Ics_getservbyname(const char* Name, const char* Proto);
struct protoent* Ics_getprotobyname(const char* Name);

// inet_addr: the address in network byte order, all ones (INADDR_NONE) on failure.
in_addr_t Ics_inet_addr(const char* Text);
// inet_ntoa: dotted text of an address in network byte order.
std::string Ics_inet_ntoa(struct in_addr Addr);
uint16_t Ics_htons(uint16_t Value);
uint16_t Ics_ntohs(uint16_t Value);

// The calling thread's OS error number (errno).
int32_t LastOSError();

// Resolves a dotted IPv4 address or a host name (blanks around it are ignored) to an address in
// network byte order. Throws ESocketException:
//   "IcsSocketResolveHost: '<host>' Invalid Hostname." (empty, or 257 characters or more),
//   "IcsSocketResolveHost: '<host>' Invalid IP address." (dotted text the OS refuses),
//   "IcsSocketResolveHost: Cannot convert host address '<host>', Error #<n>" (not found).
uint32_t IcsSocketResolveHost(const std::string& Host);

// Resolves a port number or service name to a port in host byte order; Proto (may be empty)
// narrows the service look-up. Digits at the start give the port directly, cut to 16 bits.
// Throws ESocketException: "IcsSocketResolvePort: Invalid Port." (empty, or 32 characters or
// more), "IcsSocketResolvePort: Cannot convert port '<port>', Error #<n>" (unknown service).
uint16_t IcsSocketResolvePort(const std::string& Port, const std::string& Proto);

// Resolves a protocol number or name ("tcp" gives 6). Throws ESocketException:
// "IcsSocketResolveProto: Invalid Protocol." (empty, or 32 characters or more),
// "IcsSocketResolveProto: Cannot convert protocol '<proto>', Error #<n>" (unknown protocol).
int32_t IcsSocketResolveProto(const std::string& Proto);

// True when Text (leading blanks and trailing blanks allowed) is four decimal parts of at most
// 255 joined by single dots.
bool IsDottedIP(const std::string& Text);

// Text without its leading and trailing characters of code 32 or less, as the address, port and
// protocol setters store them. Pure; any thread.
std::string IcsTrim(const std::string& Text);

// The decimal value of the digits at the start of Text after leading blanks; 0 when there are
// none. Wraps at 32 bits instead of overflowing.
int32_t LeadingDigitsValue(const std::string& Text);
