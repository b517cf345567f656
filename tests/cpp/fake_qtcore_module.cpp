// Stands in for Qt for Python's QtCore module in the loader's tests: a
// library linked against one Qt core, calling into it.
#ifdef _WIN32
#define FAKE_MODULE_EXPORT __declspec(dllexport)
#else
#define FAKE_MODULE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

const char* qVersion();
const char* fake_qt_name();

// The name of the Qt core library this module's own calls reach.
FAKE_MODULE_EXPORT const char* fake_module_qt_name() {
  return qVersion() != nullptr ? fake_qt_name() : "";
}
}
