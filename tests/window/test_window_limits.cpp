// The window's hints say what the filter will not do of what the sliders ask.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "app/EqualizerUnit.h"
#include "controls/MMSlider.h"
#include "eq/MMEQ.h"
#include "platform/WaveApiVirtual.h"
#include "platform/qt/QtMessageLoop.h"

namespace strataeq {
namespace {

TEST(WindowLimits, TheFftAndBandHintsSayWhatTheFilterCannotDo) {
  setenv("STRATAEQ_LIBRARY_PATH", STRATAEQ_CODEC_DIR, 1);
  TQtMessageLoop loop;
  auto audio = TVirtualAudio::Install(1, 1);
  auto form = std::make_unique<TEqForm>();

  form->FftLen->SetPosition(8);
  EXPECT_EQ(form->Equalizer->FFTLength(), 4096);
  EXPECT_EQ(form->FftLen->Hint(), "FFT length 4096: filters as 1024, the longest the filter uses");
  form->FftLen->SetPosition(4);
  EXPECT_EQ(form->FftLen->Hint(), "FFT length 256");

  // Band 1 at +6 dB owns no bin at 256: its hint says so and names what would do better.
  TMMSlider* band1 = form->Sliders[0];
  band1->SetPosition(GainPosition(6.0f));
  form->SliderChanged(band1);
  EXPECT_TRUE(band1->ShowHint());
  EXPECT_EQ(band1->Hint().rfind("band 1 (0 Hz - 60 Hz) at +6.0 dB gives -0.0", 0), 0u) << band1->Hint();
  EXPECT_NE(band1->Hint().find("with FFT length 256"), std::string::npos) << band1->Hint();
  // Band 8 reaches -6 dB at this length: no hint.
  TMMSlider* band8 = form->Sliders[7];
  band8->SetPosition(GainPosition(-6.0f));
  form->SliderChanged(band8);
  EXPECT_FALSE(band8->ShowHint()) << band8->Hint();
}

}  // namespace
}  // namespace strataeq
