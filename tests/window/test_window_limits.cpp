// The window's hints say what the filter will not do of what the sliders ask.
#include <gtest/gtest.h>

#include "app/EqualizerUnit.h"
#include "controls/MMSlider.h"
#include "eq/MMEQ.h"
#include "platform/WaveApiVirtual.h"
#include "platform/qt/QtMessageLoop.h"

namespace strataeq {

TEST(WindowLimits, TheFftAndBandHintsSayWhatTheFilterCannotDo) {
  setenv("STRATAEQ_LIBRARY_PATH", STRATAEQ_CODEC_DIR, 1);
  TQtMessageLoop loop;
  auto audio = TVirtualAudio::Install(1, 1);
  TEqForm form;
  form.FftLen->SetPosition(8);
  EXPECT_EQ(form.FftLen->Hint(), "filters as 1024, the longest the filter uses");
  form.FftLen->SetPosition(4);
  EXPECT_FALSE(form.FftLen->ShowHint());
  for (auto [band, gain, short_] : {std::tuple{0, 6.0f, true}, {7, -99.0f, false}}) {
    TMMSlider* s = form.Sliders[static_cast<std::size_t>(band)];
    s->SetPosition(GainPosition(gain));
    form.SliderChanged(s);
    EXPECT_EQ(s->ShowHint(), short_) << s->Hint();
  }
  EXPECT_EQ(form.Sliders[0]->Hint().rfind("band 1 (0 Hz - 60 Hz) at +6.0 dB gives ", 0), 0u) << form.Sliders[0]->Hint();
}

}  // namespace strataeq
