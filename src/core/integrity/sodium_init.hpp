// libsodium wants sodium_init() before any other call; it is cheap and
// thread-safe after the first time.
#pragma once

#include <sodium.h>

#include <stdexcept>

namespace tvlib::integrity::detail {

inline void ensure_sodium() {
  static const bool ready = [] {
    if (sodium_init() < 0) {
      throw std::runtime_error("the cryptography library could not be initialised");
    }
    return true;
  }();
  static_cast<void>(ready);
}

}  // namespace tvlib::integrity::detail
