#include "core/download/thread_priority.hpp"

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace tvlib::download {

// Linux gives every thread a nice value of its own; elsewhere setpriority
// would lower the whole process, the host included, so nothing changes.
void lower_thread_priority() noexcept {
#ifdef __linux__
  constexpr int steps = 10;  // CFS weight 110 against the default 1024
  // The system call itself: glibc wraps it only from 2.30 on.
  const auto thread = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, thread);
  if (errno == 0 && current < steps) {
    static_cast<void>(setpriority(PRIO_PROCESS, thread, steps));
  }
#endif
}

}  // namespace tvlib::download
