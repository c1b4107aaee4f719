#pragma once
// Failures for want of memory, told as what did not fit and how much, e.g.
// "not enough memory for the panorama of 31 MP (126 MB) and its 4 pictures
// of 12 MP (192 MB); close other programs". The allocation that failed
// reports only std::bad_alloc; the command that catches it knows what it was
// making and turns it into this error.

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "run/run_state.h"

namespace vistarium::app {

class OutOfMemory : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::string_view kMemoryHint = "close other programs";

// "N MP (M MB)" for a picture store of `pixels` 4-byte pixels: megapixels
// and megabytes rounded to whole numbers (at least one decimal below 10).
std::string PictureMemoryText(std::int64_t pixels);

// "not enough memory for WHAT; HINT".
std::string NotEnoughMemory(std::string_view what, std::string_view hint = kMemoryHint);

// Whether an error is want of memory: std::bad_alloc, or a thread that could
// not be started for want of resources.
bool IsWantOfMemory(std::exception_ptr error);

// Runs `work`; want of memory inside it becomes OutOfMemory with
// NotEnoughMemory(what(), hint), `what` being asked only then (it may look
// at what the work got done).
template <typename Work, typename What>
void TellingWantOfMemory(Work&& work, What&& what, std::string_view hint = kMemoryHint) {
  try {
    work();
  } catch (...) {
    if (IsWantOfMemory(std::current_exception())) throw OutOfMemory(NotEnoughMemory(what(), hint));
    throw;
  }
}

// What the finding phase holds at its peak: the pictures it decodes, two at
// a time, e.g.
// "matching 4 pictures of 12 MP (48 MB) each, 4 of them held at once".
std::string FindingMemoryUse(const RunState& rs);

// What the construction holds: the panorama and the pictures it is filled
// from, e.g. "the panorama of 31 MP (126 MB) and its 4 pictures of 12 MP
// (48 MB) each". Without a panorama size yet, the pictures only.
std::string ConstructionMemoryUse(const RunState& rs);

}  // namespace vistarium::app
