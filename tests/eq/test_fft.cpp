// Transforms against a direct double-precision DFT for every size, both code paths,
// every direction code; the real transform's layout; the window formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "eq/MMFFT.h"

namespace strataeq {
namespace {

using cd = std::complex<double>;

// X[m] = sum x[n] e^(sign 2 pi i mn / N)
std::vector<cd> Dft(const std::vector<cd>& x, int sign) {
  const std::size_t n = x.size();
  std::vector<cd> w(n), out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
    w[i] = cd(std::cos(a), sign * std::sin(a));
  }
  for (std::size_t m = 0; m < n; ++m) {
    cd s = 0;
    std::size_t idx = 0;
    for (std::size_t k = 0; k < n; ++k) {
      s += x[k] * w[idx];
      idx += m;
      if (idx >= n) idx -= n;
    }
    out[m] = s;
  }
  return out;
}

std::vector<float> RandomFloats(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = d(gen);
  return v;
}

// Largest error over the rms of the expected values; float transforms stay well
// below 1e-6 per stage.
double RelError(const std::vector<float>& got, const std::vector<cd>& want) {
  double err = 0, power = 0;
  for (std::size_t m = 0; m < want.size(); ++m) {
    err = std::max(err, std::abs(cd(got[2 * m], got[2 * m + 1]) - want[m]));
    power += std::norm(want[m]);
  }
  const double rms = std::sqrt(power / static_cast<double>(want.size()));
  return err / std::max(rms, 1e-30);
}

double Tolerance(int k) { return 1.2e-7 * (k + 4); }

struct Case {
  int k;
  bool vector;
};

std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return "N" + std::to_string(1 << info.param.k) + (info.param.vector ? "_vector" : "_portable");
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (int k = 1; k <= 12; ++k) {
    cases.push_back({k, false});
    cases.push_back({k, true});
  }
  return cases;
}

class FFTSize : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    if (GetParam().vector && !VectorFFTAvailable())
      GTEST_SKIP() << "this processor lacks AVX2/FMA: the vectorised transform cannot run";
    AllowVectorFFT(GetParam().vector);
  }
  void TearDown() override { AllowVectorFFT(true); }
  int K() const { return GetParam().k; }
  int N() const { return 1 << GetParam().k; }
};

TEST_P(FFTSize, ComplexTransformMatchesDftForEveryDirectionCode) {
  auto ctx = CreateComplexFFT(K());
  ASSERT_TRUE(ctx);
  EXPECT_EQ(ctx->Size, N());
  const auto input = RandomFloats(2 * static_cast<std::size_t>(N()), 1234u + static_cast<unsigned>(K()));
  std::vector<cd> x(static_cast<std::size_t>(N()));
  for (int i = 0; i < N(); ++i) x[i] = cd(input[2 * i], input[2 * i + 1]);
  const auto fwd = Dft(x, -1);
  auto inv = Dft(x, +1);
  auto fwdScaled = fwd;
  for (auto& v : inv) v /= N();
  for (auto& v : fwdScaled) v /= N();

  // Unknown positive codes and 0 act as 1, unknown negative codes as -2.
  const struct {
    int direction;
    const std::vector<cd>* want;
  } codes[] = {{1, &fwd}, {0, &fwd}, {7, &fwd}, {-1, &inv}, {-2, &fwdScaled}, {-3, &fwdScaled}, {-100, &fwdScaled}};
  for (const auto& c : codes) {
    auto data = input;
    ComplexFFT(ctx.get(), data.data(), c.direction);
    EXPECT_LT(RelError(data, *c.want), Tolerance(K())) << "direction " << c.direction;
  }
}

TEST_P(FFTSize, RealTransformGivesTheDocumentedLayout) {
  auto ctx = CreateRealFFT(K());
  ASSERT_TRUE(ctx);
  const auto input = RandomFloats(static_cast<std::size_t>(N()), 555u + static_cast<unsigned>(K()));
  std::vector<cd> x(input.begin(), input.end());
  const auto want = Dft(x, -1);
  auto data = input;
  RealFFT(ctx.get(), data.data(), 1);
  double power = 0;
  for (const auto& v : want) power += std::norm(v);
  const double tol = Tolerance(K()) * std::sqrt(power / N());
  EXPECT_NEAR(data[0], want[0].real(), tol);
  EXPECT_EQ(data[1], 0.0f);  // the Nyquist term is not kept
  for (int m = 1; m < N() / 2; ++m) {
    ASSERT_NEAR(data[2 * m], want[m].real(), tol) << "m=" << m;
    ASSERT_NEAR(data[2 * m + 1], want[m].imag(), tol) << "m=" << m;
  }
  // Direction codes above 1 are clamped to 1.
  auto again = input;
  RealFFT(ctx.get(), again.data(), 5);
  EXPECT_EQ(again, data);
}

TEST_P(FFTSize, RealInverseRestoresSamplesWhenTheNyquistTermIsKept) {
  auto ctx = CreateRealFFT(K());
  const auto input = RandomFloats(static_cast<std::size_t>(N()), 4242u);
  std::vector<cd> x(input.begin(), input.end());
  const auto spectrum = Dft(x, -1);
  auto data = input;
  RealFFT(ctx.get(), data.data(), 1);
  data[1] = static_cast<float>(spectrum[N() / 2].real());
  RealFFT(ctx.get(), data.data(), -7);  // clamped to -1
  for (int i = 0; i < N(); ++i) ASSERT_NEAR(data[i], input[i], 2e-5) << i;
}

TEST_P(FFTSize, ImpulseGivesOnesForwardAndOneOverNScaled) {
  auto ctx = CreateComplexFFT(K());
  std::vector<float> data(2 * static_cast<std::size_t>(N()));
  data[0] = 1;
  ComplexFFT(ctx.get(), data.data(), 1);
  for (int m = 0; m < N(); ++m) {
    ASSERT_FLOAT_EQ(data[2 * m], 1.0f);
    ASSERT_FLOAT_EQ(data[2 * m + 1], 0.0f);
  }
  std::fill(data.begin(), data.end(), 0.0f);
  data[0] = 1;
  ComplexFFT(ctx.get(), data.data(), -2);
  for (int m = 0; m < N(); ++m) ASSERT_FLOAT_EQ(data[2 * m], 1.0f / N());
}

TEST_P(FFTSize, RealTransformOfAConstantIsNTimesTheValueAtDc) {
  auto ctx = CreateRealFFT(K());
  std::vector<float> data(static_cast<std::size_t>(N()), 0.75f);
  RealFFT(ctx.get(), data.data(), 1);
  EXPECT_NEAR(data[0], 0.75f * N(), 1e-6 * N());
  for (int i = 1; i < N(); ++i) ASSERT_NEAR(data[i], 0.0f, 1e-4) << i;
}

INSTANTIATE_TEST_SUITE_P(AllSizes, FFTSize, testing::ValuesIn(AllCases()), CaseName);

TEST(FFTContext, SizesOutsideOneTo31BitsGiveNoContext) {
  EXPECT_EQ(CreateComplexFFT(0), nullptr);
  EXPECT_EQ(CreateComplexFFT(-3), nullptr);
  EXPECT_EQ(CreateComplexFFT(32), nullptr);
  EXPECT_EQ(CreateRealFFT(0), nullptr);
  EXPECT_EQ(CreateRealFFT(32), nullptr);
  // A 2^31-point table cannot be held: an allocation failure, not a broken context.
  EXPECT_THROW(CreateComplexFFT(31), std::bad_alloc);
}

TEST(FFTContext, MissingContextOrDataDoesNothingAndReleaseClears) {
  std::vector<float> data{1, 2, 3, 4};
  ComplexFFT(nullptr, data.data(), 1);
  RealFFT(nullptr, data.data(), 1);
  auto ctx = CreateComplexFFT(1);
  ComplexFFT(ctx.get(), nullptr, 1);
  EXPECT_EQ(data, (std::vector<float>{1, 2, 3, 4}));
  ReleaseFFT(ctx);
  EXPECT_EQ(ctx, nullptr);
  ReleaseFFT(ctx);  // empty reference: nothing
  auto real = CreateRealFFT(3);
  ReleaseFFT(real);
  EXPECT_EQ(real, nullptr);
}

TEST(FFTWindow, FormulasAtTheirKnownPoints) {
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwHanning, 0, 64), 0.0f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwHanning, 64, 64), 0.0f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwHanning, 32, 64), 1.0f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwHamming, 0, 64), 0.08f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwHamming, 64, 64), 0.08f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwHamming, 32, 64), 1.0f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwBlackman, 0, 64), 0.0f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwBlackman, 32, 64), 1.0f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwBlackman, 16, 64), 0.34f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwGaussian, 32, 64), 1.0f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwGaussian, 0, 64), std::exp(-5.0), 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwWelch, 32, 64), 1.0f, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwWelch, 0, 64), 1.0 - (64.0 / 65) * (64.0 / 65), 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwParzen, 0, 64), 1.0 / 65, 1e-7);
  EXPECT_NEAR(WindowValue(TMMFFTWindow::fwParzen, 16, 64), 1.0 - 32.0 / 65, 1e-7);
  EXPECT_EQ(WindowValue(TMMFFTWindow::fwRectangular, 5, 64), 1.0f);
  EXPECT_EQ(WindowValue(static_cast<TMMFFTWindow>(42), 5, 64), 1.0f);  // unknown code
  EXPECT_EQ(WindowValue(TMMFFTWindow::fwHamming, 3, 0), 1.0f);         // no length: no division by 0
}

TEST(FFTWindow, TablesRoundTheScaledWindow) {
  std::vector<std::int32_t> table(256, -1);
  BuildWindowTable(table.data(), TMMFFTWindow::fwRectangular, 8);
  for (auto v : table) ASSERT_EQ(v, 32767);
  BuildWindowTable(table.data(), TMMFFTWindow::fwHanning, 8);
  EXPECT_EQ(table[0], 0);
  EXPECT_EQ(table[128], 32767);
  for (int i = 0; i < 256; ++i)
    ASSERT_EQ(table[i],
              static_cast<std::int32_t>(std::floor(WindowValue(TMMFFTWindow::fwHanning, i, 256) * 32767.0 + 0.5)));
  BuildWindowTable(table.data(), TMMFFTWindow::fwHamming, 8);
  EXPECT_EQ(table[0], 2621);  // 0.08 * 32767 = 2621.36
}

TEST(FFTVectors, HelpersMultiplyAndClear) {
  std::vector<float> a{1, 2, 3, 4}, b{5, 6, -1, 0.5f};
  MultiplyComplex(a.data(), b.data(), 2);  // (1+2i)(5+6i) = -7+16i; (3+4i)(-1+0.5i) = -5-2.5i
  EXPECT_EQ(a, (std::vector<float>{-7, 16, -5, -2.5f}));
  MultiplyFloats(a.data(), 4, 2.0f);
  EXPECT_EQ(a, (std::vector<float>{-14, 32, -10, -5}));
  ClearComplex(a.data(), 1);
  EXPECT_EQ(a, (std::vector<float>{0, 0, -10, -5}));
  ClearFloats(a.data(), 4);
  EXPECT_EQ(a, (std::vector<float>(4, 0.0f)));
}

}  // namespace
}  // namespace strataeq
