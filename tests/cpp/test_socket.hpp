// The few socket calls of the test servers, for POSIX sockets and Winsock
// alike (test_socket_posix.cpp, test_socket_windows.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace tvlib::test {

#ifdef _WIN32
using Socket = std::uintptr_t;  // SOCKET
#else
using Socket = int;
#endif
inline constexpr Socket no_socket = static_cast<Socket>(-1);

// Once per process, before the first socket (Winsock wants it).
void start_sockets();
// A TCP socket bound to 127.0.0.1 on a free port; the socket and its port.
std::pair<Socket, int> bound_socket();
bool listen_on(Socket socket, int backlog);
// The next connection; no_socket once the listener fails.
Socket accept_from(Socket listener);
// Opens a connection to 127.0.0.1:port and returns at once (the connection
// may still be on its way); no_socket when the attempt failed outright.
Socket connect_to(int port);
// Whether a connection from connect_to got an answer (accepted or refused)
// within the time.
bool answered_within(Socket socket, std::chrono::milliseconds time);
// What recv and send return; a send to a peer that has gone away fails and
// never raises SIGPIPE.
long receive_from(Socket socket, char* buffer, int size);
long send_to(Socket socket, const char* bytes, std::size_t size);
void limit_waits(Socket socket, std::chrono::seconds limit);
// Ends both directions, waking a thread blocked on the socket.
void shut_down(Socket socket);
void close_socket(Socket socket);

}  // namespace tvlib::test
