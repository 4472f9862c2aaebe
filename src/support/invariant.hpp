#pragma once
// A violated programmer invariant (a caller broke a documented precondition).
// Never an ordinary error: the Python layer raises it as an exception that
// plain `except Exception` does not swallow, instead of aborting the process.

#include <stdexcept>
#include <string>

namespace kelvara {

class InvariantError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] inline void invariant_failed(const std::string& message) {
  throw InvariantError(message);
}

}  // namespace kelvara
