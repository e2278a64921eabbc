// Work done with the interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace mave::py {

// Runs f() with the interpreter lock released and returns its result. An
// exception thrown by f is rethrown once the lock is held again, so that the
// call frame that translates it runs under the lock. f must not touch any
// Python object; whatever it reads must be kept alive by the caller.
template <class F>
auto without_gil(F&& f) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  std::exception_ptr error;
  PyThreadState* state = PyEval_SaveThread();
  if constexpr (std::is_void_v<R>) {
    try {
      f();
    } catch (...) {
      error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<R> result;
    try {
      result.emplace(f());
    } catch (...) {
      error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

}  // namespace mave::py
