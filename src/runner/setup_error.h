// What the run cannot go on with: a wrong command line, a file, reader, library or report that
// fails before the first test. One line on standard error, status 2.
#pragma once

#include <stdexcept>

namespace qvrun {

class SetupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace qvrun
