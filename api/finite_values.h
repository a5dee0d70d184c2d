// Whether a float matrix holds only finite values: vectors with NaN or an
// infinity are refused at the door of every operation that takes them, since
// no distance to them means anything. Pure function; any thread.
#ifndef NIVORA_API_FINITE_VALUES_H_
#define NIVORA_API_FINITE_VALUES_H_

#include <cmath>
#include <cstddef>

#include "core/array2d.h"

namespace nivora::internal {

// Branch-free over the whole matrix, so the loop vectorises.
inline bool AllFinite(const Array2D<float>& m) {
  const float* v = m.data;
  const size_t n = m.size();
  bool finite = true;
  for (size_t i = 0; i < n; ++i) finite &= std::isfinite(v[i]);
  return finite;
}

}  // namespace nivora::internal

#endif  // NIVORA_API_FINITE_VALUES_H_
