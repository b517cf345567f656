// A stand-in for a Qt core library in the loader's tests: qVersion and
// QMetaObject::activate under Qt's linker names, and what the tests need to
// tell one copy from another. Built twice, under two names (FAKE_QT_NAME).
#ifdef _WIN32
#define FAKE_QT_EXPORT __declspec(dllexport)
#else
#define FAKE_QT_EXPORT __attribute__((visibility("default")))
#endif

class QObject;

class QMetaObject {
 public:
  FAKE_QT_EXPORT static void activate(QObject* sender, int signal_index,
                                      void** arguments);
};

namespace {

const char* version = "6.8.3";
int activations = 0;

}  // namespace

void QMetaObject::activate(QObject* /*sender*/, int /*signal_index*/,
                           void** /*arguments*/) {
  ++activations;
}

extern "C" {

FAKE_QT_EXPORT const char* qVersion() { return version; }

FAKE_QT_EXPORT void fake_qt_set_version(const char* text) { version = text; }

FAKE_QT_EXPORT const char* fake_qt_name() { return FAKE_QT_NAME; }

FAKE_QT_EXPORT int fake_qt_activations() { return activations; }
}
