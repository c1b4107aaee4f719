#include "refine/descriptor_matching.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vistarium::refine {

namespace {

constexpr float kFar = std::numeric_limits<float>::infinity();

// The nearest two seen so far, in the order the references are offered.
struct Best {
  float First = kFar, Second = kFar;
  int Index = -1;
  void Offer(float d, int r) {
    if (d < First) {
      Second = First;
      First = d;
      Index = r;
    } else if (d < Second) {
      Second = d;
    }
  }
};

bool HaveAvx2AndFma() {
  static const bool have = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return have;
}

// References side by side, a vector's lanes to a panel (a panel holds
// dimension k of its references at [lanes k, lanes k + lanes)), two panels
// to a block; queries six to a block. The block's twelve sums and the two
// panels fill fifteen of the sixteen vector registers. Written with the
// compiler's vector types, so that one body serves AVX2 (eight lanes, fused
// multiply-add) and the SSE2 every x86-64 processor has (four lanes).
constexpr int kBlockQueries = 6;
// References compared with every query before the next ones: their panels
// (128 KB for SIFT) stay in the second-level cache.
constexpr int kChunkReferences = 256;

template <typename V>
__attribute__((always_inline)) inline void NearestTwoBlocked(const float* queries, int queryCount,
                                                             const float* references, int referenceCount, int dims,
                                                             std::vector<Best>& best) {
  constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(float));
  constexpr int kBlockReferences = 2 * kLanes;
  const int padded = (referenceCount + kBlockReferences - 1) / kBlockReferences * kBlockReferences;
  std::vector<float> panels(static_cast<std::size_t>(padded) * static_cast<std::size_t>(dims), 0.0f);
  // Padding references lie infinitely far from every query.
  std::vector<float> norms(static_cast<std::size_t>(padded), kFar);
  for (int r = 0; r < referenceCount; ++r) {
    const float* row = references + static_cast<std::size_t>(r) * dims;
    float* panel = panels.data() + static_cast<std::size_t>(r / kLanes) * kLanes * dims + r % kLanes;
    float norm = 0.0f;
    for (int k = 0; k < dims; ++k) {
      panel[static_cast<std::size_t>(k) * kLanes] = row[k];
      norm += row[k] * row[k];
    }
    norms[static_cast<std::size_t>(r)] = norm;
  }
  const std::vector<float> none(static_cast<std::size_t>(dims), 0.0f);
  alignas(32) float dots[kBlockQueries][kBlockReferences];
  for (int chunk = 0; chunk < padded; chunk += kChunkReferences) {
    const int chunkEnd = std::min(padded, chunk + kChunkReferences);
    for (int q0 = 0; q0 < queryCount; q0 += kBlockQueries) {
      const int rows = std::min(kBlockQueries, queryCount - q0);
      const float* q[kBlockQueries];
      for (int i = 0; i < kBlockQueries; ++i)
        q[i] = i < rows ? queries + static_cast<std::size_t>(q0 + i) * dims : none.data();
      for (int r0 = chunk; r0 < chunkEnd; r0 += kBlockReferences) {
        const float* p0 = panels.data() + static_cast<std::size_t>(r0) * dims;
        const float* p1 = p0 + static_cast<std::size_t>(kLanes) * dims;
        V sum[kBlockQueries][2] = {};
        for (int k = 0; k < dims; ++k) {
          V a, b;
          std::memcpy(&a, p0 + kLanes * k, sizeof a);
          std::memcpy(&b, p1 + kLanes * k, sizeof b);
          for (int i = 0; i < kBlockQueries; ++i) {
            const V v = V{} + q[i][k];
            sum[i][0] += v * a;
            sum[i][1] += v * b;
          }
        }
        // Out of the registers only once the sums are complete (indexed by
        // the block's rows below, they would live in memory throughout).
        for (int i = 0; i < kBlockQueries; ++i) {
          std::memcpy(dots[i], &sum[i][0], sizeof(V));
          std::memcpy(dots[i] + kLanes, &sum[i][1], sizeof(V));
        }
        // |r|^2 - 2 q.r: the squared distance less |q|^2, which is the same
        // for every reference.
        V n0, n1, d0, d1;
        std::memcpy(&n0, norms.data() + r0, sizeof n0);
        std::memcpy(&n1, norms.data() + r0 + kLanes, sizeof n1);
        for (int i = 0; i < rows; ++i) {
          Best& b = best[static_cast<std::size_t>(q0 + i)];
          std::memcpy(&d0, dots[i], sizeof d0);
          std::memcpy(&d1, dots[i] + kLanes, sizeof d1);
          d0 = n0 - 2.0f * d0;
          d1 = n1 - 2.0f * d1;
          // Most blocks hold nothing nearer than the second nearest so far.
          const auto closer = (d0 < b.Second) | (d1 < b.Second);
          bool any = false;
          for (int j = 0; j < kLanes; ++j) any = any || closer[j] != 0;
          if (!any) continue;
          for (int j = 0; j < kLanes; ++j) b.Offer(d0[j], r0 + j);
          for (int j = 0; j < kLanes; ++j) b.Offer(d1[j], r0 + kLanes + j);
        }
      }
    }
  }
  for (int i = 0; i < queryCount; ++i) {
    const float* row = queries + static_cast<std::size_t>(i) * dims;
    float norm = 0.0f;
    for (int k = 0; k < dims; ++k) norm += row[k] * row[k];
    Best& b = best[static_cast<std::size_t>(i)];
    b.First = std::max(0.0f, b.First + norm);
    b.Second = std::max(0.0f, b.Second + norm);
  }
}

using Eight = float __attribute__((vector_size(32)));
using Four = float __attribute__((vector_size(16)));

__attribute__((target("avx2,fma"))) void NearestTwoAvx2(const float* queries, int queryCount, const float* references,
                                                        int referenceCount, int dims, std::vector<Best>& best) {
  NearestTwoBlocked<Eight>(queries, queryCount, references, referenceCount, dims, best);
}

std::vector<NearestTwo> Results(const std::vector<Best>& best) {
  std::vector<NearestTwo> out(best.size());
  for (std::size_t i = 0; i < best.size(); ++i) out[i] = {best[i].Index, best[i].First, best[i].Second};
  return out;
}

}  // namespace

std::vector<NearestTwo> FindNearestTwoPlain(const float* queries, int queryCount, const float* references,
                                            int referenceCount, int dims) {
  std::vector<Best> best(static_cast<std::size_t>(std::max(0, queryCount)));
  if (referenceCount < 2) return Results(best);
  for (int i = 0; i < queryCount; ++i) {
    const float* q = queries + static_cast<std::size_t>(i) * dims;
    for (int r = 0; r < referenceCount; ++r) {
      const float* p = references + static_cast<std::size_t>(r) * dims;
      float sum = 0.0f;
      for (int k = 0; k < dims; ++k) sum += (q[k] - p[k]) * (q[k] - p[k]);
      best[static_cast<std::size_t>(i)].Offer(sum, r);
    }
  }
  return Results(best);
}

std::vector<NearestTwo> FindNearestTwoWithoutAvx2(const float* queries, int queryCount, const float* references,
                                                   int referenceCount, int dims) {
  std::vector<Best> best(static_cast<std::size_t>(std::max(0, queryCount)));
  if (referenceCount >= 2 && queryCount > 0)
    NearestTwoBlocked<Four>(queries, queryCount, references, referenceCount, dims, best);
  return Results(best);
}

std::vector<NearestTwo> FindNearestTwo(const float* queries, int queryCount, const float* references,
                                       int referenceCount, int dims) {
  if (!HaveAvx2AndFma()) return FindNearestTwoWithoutAvx2(queries, queryCount, references, referenceCount, dims);
  std::vector<Best> best(static_cast<std::size_t>(std::max(0, queryCount)));
  if (referenceCount >= 2 && queryCount > 0)
    NearestTwoAvx2(queries, queryCount, references, referenceCount, dims, best);
  return Results(best);
}

}  // namespace vistarium::refine
