// Environment variables for the tests, UTF-8 on every platform (wide calls on
// Windows, where the narrow ones go through the ANSI code page).
#pragma once

#include <optional>
#include <string>

namespace tvlib::test {

std::optional<std::string> variable(const char* name);
void set_variable(const char* name, const std::string& value);
void unset_variable(const char* name);

// Whether this Windows process runs under Wine rather than Windows.
bool running_under_wine();

// This process's id, to keep the files of concurrent runs apart.
int process_id();

// Sets a variable for one scope, then puts back what was there.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value)
      : name_(name), old_(variable(name)) {
    set_variable(name, value);
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ScopedVariable(ScopedVariable&&) = delete;
  ScopedVariable& operator=(ScopedVariable&&) = delete;
  ~ScopedVariable() {
    if (old_) {
      set_variable(name_, *old_);
    } else {
      unset_variable(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace tvlib::test
