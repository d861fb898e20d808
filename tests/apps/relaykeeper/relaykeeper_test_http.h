// Plain HTTP/1.1 exchanges with a server on 127.0.0.1 for the metrics tests: one request on a new
// connection, the answer read until the server closes (10 s receive timeout).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "qynId_Sockets.h"

// A connected TCP socket to 127.0.0.1:aPort, -1 when the connection is refused.
inline int ConnectLoopback(TIdPort aPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(aPort);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

struct THttpAnswer {
  int Status = 0; // 0: no answer
  std::string Head, Body;
};

// Sends aRequest bytes on a new connection and reads the answer until the server closes.
inline THttpAnswer HttpExchange(TIdPort aPort, const std::string& aRequest) {
  THttpAnswer out;
  const int fd = ConnectLoopback(aPort);
  if (fd < 0) return out;
  ::send(fd, aRequest.data(), aRequest.size(), MSG_NOSIGNAL);
  std::string all;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) all.append(buf, static_cast<size_t>(n));
  ::close(fd);
  const size_t end = all.find("\r\n\r\n");
  if (all.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return out;
  out.Status = std::stoi(all.substr(9, 3));
  out.Head = all.substr(0, end);
  out.Body = all.substr(end + 4);
  return out;
}

inline THttpAnswer HttpGet(TIdPort aPort, const std::string& aPath) {
  return HttpExchange(aPort, "GET " + aPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}
