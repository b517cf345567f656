#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "test_socket.hpp"

namespace tvlib::test {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

void start_sockets() {}

std::pair<Socket, int> bound_socket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("cannot bind a socket on 127.0.0.1");
  }
  return {fd, ntohs(address.sin_port)};
}

bool listen_on(Socket socket, int backlog) { return ::listen(socket, backlog) == 0; }

Socket accept_from(Socket listener) {
  const int socket = ::accept(listener, nullptr, nullptr);
  return socket < 0 ? no_socket : socket;
}

Socket connect_to(int port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const sockaddr_in address = loopback(port);
  if (socket >= 0 &&
      ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
          0 &&
      errno != EINPROGRESS) {
    ::close(socket);
    return no_socket;
  }
  return socket < 0 ? no_socket : socket;
}

bool answered_within(Socket socket, std::chrono::milliseconds time) {
  pollfd entry{socket, POLLOUT, 0};
  return ::poll(&entry, 1, static_cast<int>(time.count())) != 0;
}

long receive_from(Socket socket, char* buffer, int size) {
  return ::recv(socket, buffer, static_cast<std::size_t>(size), 0);
}

long send_to(Socket socket, const char* bytes, std::size_t size) {
  return ::send(socket, bytes, size, MSG_NOSIGNAL);
}

void limit_waits(Socket socket, std::chrono::seconds limit) {
  const timeval wait{static_cast<time_t>(limit.count()), 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
}

void shut_down(Socket socket) { ::shutdown(socket, SHUT_RDWR); }

void close_socket(Socket socket) { ::close(socket); }

}  // namespace tvlib::test
