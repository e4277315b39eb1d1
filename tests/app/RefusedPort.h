// A loopback port nothing listens on, for the window tests that must see a connect refused.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// One the OS gave a socket that is closed again at once.
inline uint16_t RefusedPort() {
  int Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof A;
  bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
  getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len);
  close(Fd);
  return ntohs(A.sin_port);
}
