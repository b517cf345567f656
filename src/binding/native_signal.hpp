// Signals of Qt objects made in Python, emitted through Qt itself.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <stdexcept>

#include "binding/qt_binding.hpp"

namespace tvlib::binding {

namespace py = pybind11;

// One signal of one Qt object, emitted by Qt's own QMetaObject::activate,
// where every emission ends, Python's included, without the argument tuple
// and the Python frames of Python's emit(). Emitting needs the GIL all the
// same: activate calls the sender's virtual metaObject(), and for an object
// made in Python that is Qt for Python's override, Python code. A signal to
// a slot of another thread is queued; a Python slot called directly takes
// the GIL itself, as Qt for Python does for every call of one.
//
// The entry point is found at run time in the Qt core library that the
// host's Qt for Python has loaded (the modules do not link Qt): the same
// function under the same name in Qt 5 and Qt 6.
class NativeSignal {
 public:
  // With the GIL: whether this process's Qt has the entry point.
  static bool reachable(const QtBinding& qt);

  // With the GIL. Nothing when this process's Qt has no such entry point or
  // `object` no such signal (`signature` as "name(int)"): the caller emits
  // through Python then.
  static std::optional<NativeSignal> find(const QtBinding& qt, const py::handle& object,
                                          const char* signature);

  // From any thread, with the GIL held, while the object lives. Throws
  // std::logic_error without it: nothing is emitted then.
  void emit(int value) const;
  void emit() const;

 private:
  // QMetaObject::activate(QObject* sender, int method_index, void** argv).
  using Activate = void (*)(void* sender, int method_index, void** arguments);

  NativeSignal(Activate activate, void* sender, int index)
      : activate_(activate), sender_(sender), index_(index) {}

  Activate activate_;
  void* sender_;
  int index_;
};

}  // namespace tvlib::binding
