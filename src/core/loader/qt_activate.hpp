// Qt's QMetaObject::activate, found at run time in the Qt core library that
// the host's Qt for Python links against (the modules do not link Qt).
#pragma once

#include <filesystem>
#include <string_view>

namespace tvlib::loader {

// QMetaObject::activate(QObject*, int, void**) of the Qt core library that
// `qtcore_module` (Qt for Python's QtCore extension module, loaded) links
// against, or nullptr: the module is not loaded, where its calls into Qt go
// is not certain, or that Qt is not one the function is known to keep its
// signature and behaviour in (qt_version_tested). Nothing is loaded here.
void* find_qt_activate(const std::filesystem::path& qtcore_module) noexcept;

// Whether a qVersion() text names a Qt the direct emission is tested with:
// 5.15 and 6.5 to 6.12. activate is internal to Qt and may change in any
// release after those.
bool qt_version_tested(std::string_view version) noexcept;

}  // namespace tvlib::loader
