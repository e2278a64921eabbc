// The call frame of every _mave entry point: an aborting failure writes its
// report to fd 2 and becomes PanicException with its pinned message.
#pragma once

#include <utility>

#include "python/helpers/errors.hpp"

namespace mave::py {

// Raises the Python exception for the C++ exception in flight; call it only
// inside a catch block.
void raise_pinned_in_flight() noexcept;

template <class Body>
PyObject* mave_frame(Body&& body) noexcept {
  return call_frame(std::forward<Body>(body), raise_pinned_in_flight);
}

}  // namespace mave::py
