#include <windows.h>

#include "core/download/thread_priority.hpp"

namespace tvlib::download {

void lower_thread_priority() noexcept {
  static_cast<void>(
      SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL));
}

}  // namespace tvlib::download
