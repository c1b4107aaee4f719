#pragma once
// The two nearest descriptors of every query among the reference
// descriptors, by comparing every pair. For SIFT's descriptors this is
// exact and, with vector instructions, faster than approximate trees at the
// few thousand features a picture gets: the squared distance is
// |q|^2 + |r|^2 - 2 q.r, and the dot products of a block of queries with a
// block of references are what the processor does best.
//
// SIFT's descriptors hold whole numbers from 0 to 255 and are about 512
// long, so that every sum taken here is a whole number far below 2^24 and
// exact in single precision, in any order: the plain version and the
// blocked one give the same result, the blocked one in AVX2 and FMA where
// the processor has them and in SSE2 otherwise.

#include <vector>

namespace vistarium::refine {

struct NearestTwo {
  int First = -1;  // the nearest reference; the lowest index among equals
  float FirstSquared = 0.0f, SecondSquared = 0.0f;  // squared distances to the nearest two
};

// Descriptors are rows of `dims` floats, one after another. With fewer than
// two references every First is -1.
std::vector<NearestTwo> FindNearestTwo(const float* queries, int queryCount, const float* references,
                                       int referenceCount, int dims);
// The blocked search in SSE2, as processors without AVX2 run it.
std::vector<NearestTwo> FindNearestTwoWithoutAvx2(const float* queries, int queryCount, const float* references,
                                                   int referenceCount, int dims);
// The plain version: every distance summed as the definition says.
std::vector<NearestTwo> FindNearestTwoPlain(const float* queries, int queryCount, const float* references,
                                            int referenceCount, int dims);

}  // namespace vistarium::refine
