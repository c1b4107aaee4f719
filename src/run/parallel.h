#pragma once
// An exception must not leave an OpenMP region: the program would end at
// once (std::terminate), so a picture too large for the memory would crash
// instead of being reported. Each iteration of a parallel loop runs through
// Run(), which keeps what it threw; Rethrow() raises the first one on the
// calling thread once the loop is over.
//
//   ParallelFailures failures(n);
//   #pragma omp parallel for
//   for (std::size_t k = 0; k < n; ++k) failures.Run(k, [&] { ... });
//   failures.Rethrow();

#include <cstddef>
#include <exception>
#include <vector>

namespace vistarium {

class ParallelFailures {
public:
  explicit ParallelFailures(std::size_t iterations) : failures_(iterations) {}

  template <typename Body>
  void Run(std::size_t iteration, Body&& body) noexcept {
    try {
      body();
    } catch (...) {
      failures_[iteration] = std::current_exception();
    }
  }

  void Rethrow() const {
    for (const std::exception_ptr& f : failures_)
      if (f) std::rethrow_exception(f);
  }

private:
  std::vector<std::exception_ptr> failures_;
};

}  // namespace vistarium
