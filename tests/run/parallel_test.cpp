#include "run/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>

namespace vistarium {
namespace {

// Without it an exception thrown on one of OpenMP's threads ends the program.
TEST(ParallelFailures, AnExceptionOfAnyIterationReachesTheCallingThreadAfterTheLoop) {
  constexpr std::size_t n = 64;
  ParallelFailures failures(n);
  std::atomic<int> ran{0};
#pragma omp parallel for schedule(dynamic, 1)
  for (std::size_t k = 0; k < n; ++k)
    failures.Run(k, [&] {
      ++ran;
      if (k == 37) throw std::bad_alloc();
      if (k == 50) throw std::runtime_error("later");
    });
  EXPECT_EQ(ran.load(), static_cast<int>(n));  // the other iterations still ran
  EXPECT_THROW(failures.Rethrow(), std::bad_alloc);  // the first in iteration order

  ParallelFailures none(n);
#pragma omp parallel for
  for (std::size_t k = 0; k < n; ++k) none.Run(k, [] {});
  EXPECT_NO_THROW(none.Rethrow());
}

}  // namespace
}  // namespace vistarium
