#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

#include "test_socket.hpp"

namespace tvlib::test {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

void start_sockets() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    throw std::runtime_error("Winsock does not start");
  }
}

std::pair<Socket, int> bound_socket() {
  const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = loopback(0);
  int size = sizeof address;
  if (socket == INVALID_SOCKET ||
      ::bind(socket, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("cannot bind a socket on 127.0.0.1");
  }
  return {socket, ntohs(address.sin_port)};
}

bool listen_on(Socket socket, int backlog) { return ::listen(socket, backlog) == 0; }

Socket accept_from(Socket listener) {
  const SOCKET socket = ::accept(listener, nullptr, nullptr);
  return socket == INVALID_SOCKET ? no_socket : socket;
}

Socket connect_to(int port) {
  const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) {
    return no_socket;
  }
  u_long non_blocking = 1;
  ::ioctlsocket(socket, static_cast<long>(FIONBIO), &non_blocking);
  const sockaddr_in address = loopback(port);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
          0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    ::closesocket(socket);
    return no_socket;
  }
  return socket;
}

bool answered_within(Socket socket, std::chrono::milliseconds time) {
  WSAPOLLFD entry{socket, POLLOUT, 0};
  return ::WSAPoll(&entry, 1, static_cast<int>(time.count())) != 0;
}

long receive_from(Socket socket, char* buffer, int size) {
  return ::recv(socket, buffer, size, 0);
}

long send_to(Socket socket, const char* bytes, std::size_t size) {
  // Winsock has no SIGPIPE: a send to a closed peer just fails.
  return ::send(socket, bytes, static_cast<int>(size), 0);
}

void limit_waits(Socket socket, std::chrono::seconds limit) {
  const DWORD wait = static_cast<DWORD>(limit.count() * 1000);
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait),
               sizeof wait);
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&wait),
               sizeof wait);
}

void shut_down(Socket socket) { ::shutdown(socket, SD_BOTH); }

void close_socket(Socket socket) { ::closesocket(socket); }

}  // namespace tvlib::test
