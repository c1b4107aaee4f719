#pragma once
// Rounding and checked integer arithmetic used throughout the program.
//
// Every conversion of a real to an integer rounds to nearest with halves to
// the even neighbour (2.5 -> 2, 3.5 -> 4, -0.5 -> 0). A result that does not
// fit its integer type is an error (NumericOverflow), never a wrap-around.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vistarium {

class NumericOverflow : public std::overflow_error {
public:
  using std::overflow_error::overflow_error;
};

// Nearest integer value, halves to even, as a double (no range check): the
// value std::nearbyint gives under the default rounding mode, which the
// program never changes. Adding and subtracting 2^52 lets the hardware's
// nearest-even rounding drop the fraction, without the library call and the
// saving of the floating-point environment that std::nearbyint costs in the
// sampling loops.
static_assert(FLT_EVAL_METHOD == 0, "doubles must be evaluated in double precision");
inline double RoundHalfEven(double x) {
  constexpr double kTwo52 = 4503599627370496.0;
  const double a = std::fabs(x);
  if (!(a < kTwo52)) return x;  // already whole, or not a number
  return std::copysign((a + kTwo52) - kTwo52, x);
}

// Reports a real that does not fit an integer of `bits` bits (kept out of
// line so that the rounding itself stays small enough to inline).
[[noreturn]] __attribute__((noinline, cold)) inline void ThrowDoesNotFit(double x, int bits) {
  throw NumericOverflow("Numeric overflow: " + std::to_string(x) + " does not fit a " + std::to_string(bits) +
                        "-bit integer");
}

// Round to a 32-bit integer; throws NumericOverflow when the rounded value
// (or a NaN) does not fit.
__attribute__((always_inline)) inline std::int32_t Round(double x) {
#if defined(__SSE2__)
  // Inside this range the processor's conversion, which rounds in the
  // current (nearest-even) mode, gives the same integer in one instruction.
  if (x > -2147483648.0 && x < 2147483647.0) [[likely]]
    return _mm_cvtsd_si32(_mm_set_sd(x));
#endif
  const double r = RoundHalfEven(x);
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) [[unlikely]]
    ThrowDoesNotFit(x, 32);
  return static_cast<std::int32_t>(r);
}

// Round to a 64-bit integer, with the same rules.
inline std::int64_t Round64(double x) {
  const double r = RoundHalfEven(x);
  // 2^63 is exactly representable; every double below it fits.
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) [[unlikely]]
    ThrowDoesNotFit(x, 64);
  return static_cast<std::int64_t>(r);
}

// Floor to a 32-bit integer, for the few places that truncate downwards.
inline std::int32_t Floor(double x) { return Round(std::floor(x)); }

// Checked 32-bit integer arithmetic.
inline std::int32_t CheckedAdd(std::int32_t a, std::int32_t b) {
  std::int32_t r;
  if (__builtin_add_overflow(a, b, &r)) throw NumericOverflow("Integer overflow in addition");
  return r;
}
inline std::int32_t CheckedSub(std::int32_t a, std::int32_t b) {
  std::int32_t r;
  if (__builtin_sub_overflow(a, b, &r)) throw NumericOverflow("Integer overflow in subtraction");
  return r;
}
inline std::int32_t CheckedMul(std::int32_t a, std::int32_t b) {
  std::int32_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw NumericOverflow("Integer overflow in multiplication");
  return r;
}
inline std::int32_t CheckedNeg(std::int32_t a) { return CheckedSub(0, a); }

// Converts a size or count to int32, throwing when it does not fit.
template <typename T>
inline std::int32_t CheckedInt32(T v) {
  if (v < static_cast<T>(0) ? static_cast<long long>(v) < std::numeric_limits<std::int32_t>::min()
                            : static_cast<unsigned long long>(v) >
                                  static_cast<unsigned long long>(std::numeric_limits<std::int32_t>::max()))
    throw NumericOverflow("Integer value does not fit 32 bits");
  return static_cast<std::int32_t>(v);
}

}  // namespace vistarium
