// The straight-line transforms for N <= 16, apart from the general ones: complex
// transforms of 2 to 16 points and forward real transforms of 8 and 16 samples.
#pragma once

namespace strataeq::detail {

// Whether the straight-line code took the transform (N <= 16); interleaved complex data.
bool SmallTransform(int n, float* data, bool inverse);
// Forward real transforms of 8 and 16 samples in place: X[0] .. X[N/2].
void RealSmall8(float* d);
void RealSmall16(float* d);

}  // namespace strataeq::detail
