#include "refine/descriptor_matching.h"

#include <immintrin.h>

#include <algorithm>
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

// References side by side, eight to a panel (a panel holds dimension k of
// its eight references at [8 k, 8 k + 8)), two panels to a block; queries
// six to a block. The block's twelve sums of eight and the two panels fill
// fifteen of the sixteen vector registers.
constexpr int kLanes = 8;
constexpr int kBlockReferences = 2 * kLanes;
constexpr int kBlockQueries = 6;
// References compared with every query before the next ones: their panels
// (128 KB for SIFT) stay in the second-level cache.
constexpr int kChunkReferences = 256;

__attribute__((target("avx2,fma"))) void NearestTwoAvx2(const float* queries, int queryCount, const float* references,
                                                        int referenceCount, int dims, std::vector<Best>& best) {
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
  const __m256 two = _mm256_set1_ps(2.0f);
  alignas(32) float d[kBlockReferences];
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
        __m256 sum[kBlockQueries][2];
        for (int i = 0; i < kBlockQueries; ++i) sum[i][0] = sum[i][1] = _mm256_setzero_ps();
        for (int k = 0; k < dims; ++k) {
          const __m256 a = _mm256_loadu_ps(p0 + kLanes * k), b = _mm256_loadu_ps(p1 + kLanes * k);
          for (int i = 0; i < kBlockQueries; ++i) {
            const __m256 v = _mm256_broadcast_ss(q[i] + k);
            sum[i][0] = _mm256_fmadd_ps(v, a, sum[i][0]);
            sum[i][1] = _mm256_fmadd_ps(v, b, sum[i][1]);
          }
        }
        // Out of the registers only once the sums are complete (indexed by
        // the block's rows below, they would live in memory throughout).
        for (int i = 0; i < kBlockQueries; ++i) {
          _mm256_store_ps(dots[i], sum[i][0]);
          _mm256_store_ps(dots[i] + kLanes, sum[i][1]);
        }
        // |r|^2 - 2 q.r: the squared distance less |q|^2, which is the same
        // for every reference.
        const __m256 n0 = _mm256_loadu_ps(norms.data() + r0), n1 = _mm256_loadu_ps(norms.data() + r0 + kLanes);
        for (int i = 0; i < rows; ++i) {
          Best& b = best[static_cast<std::size_t>(q0 + i)];
          const __m256 d0 = _mm256_fnmadd_ps(two, _mm256_load_ps(dots[i]), n0),
                       d1 = _mm256_fnmadd_ps(two, _mm256_load_ps(dots[i] + kLanes), n1);
          // Most blocks hold nothing nearer than the second nearest so far.
          const __m256 second = _mm256_set1_ps(b.Second);
          const int closer = _mm256_movemask_ps(_mm256_cmp_ps(d0, second, _CMP_LT_OQ)) |
                             _mm256_movemask_ps(_mm256_cmp_ps(d1, second, _CMP_LT_OQ));
          if (closer == 0) continue;
          _mm256_store_ps(d, d0);
          _mm256_store_ps(d + kLanes, d1);
          for (int j = 0; j < kBlockReferences; ++j) b.Offer(d[j], r0 + j);
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

std::vector<NearestTwo> FindNearestTwo(const float* queries, int queryCount, const float* references,
                                       int referenceCount, int dims) {
  if (!HaveAvx2AndFma() || referenceCount < 2 || queryCount <= 0)
    return FindNearestTwoPlain(queries, queryCount, references, referenceCount, dims);
  std::vector<Best> best(static_cast<std::size_t>(queryCount));
  NearestTwoAvx2(queries, queryCount, references, referenceCount, dims, best);
  return Results(best);
}

}  // namespace vistarium::refine
