// Painting cost of a band slider of the window (21 x 99, owner-drawn thumb, two scales),
// on a shown widget of the offscreen platform; each iteration paints synchronously.
//   BandSliderFullRepaint: a property change drops the cached groove and scales, and the
//                          whole slider is drawn again and copied to the window.
//   BandSliderThumbMove:   a new position, and the repaint of the old and new thumb area
//                          (the static art stays cached).
//   BandSliderRepaintCached: the whole slider repainted with nothing changed.
#include <QCoreApplication>
#include <QWindow>
#include <cstdlib>
#include <QWidget>
#include <benchmark/benchmark.h>

#include "app/WindowControls.h"

namespace {

using namespace strataeq;

struct ShownBandSlider {
  QWidget window;
  TMMSlider* slider;
  long thumbs = 0;  // thumbs drawn: proof that each repaint painted
  ShownBandSlider() {
    window.resize(60, 120);
    slider = new TMMSlider(&window);
    window::BandSliderValues(*slider);
    slider->OnDrawThumb = [this](TObject* sender, QPainter& c, QRect r, bool dragged, bool focused) {
      ++thumbs;
      window::WindowThumb(sender, c, r, dragged, focused);
    };
    slider->move(10, 10);
    window.show();
    for (int i = 0; i < 100 && !window.windowHandle()->isExposed(); ++i)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!window.windowHandle()->isExposed()) std::abort();
    slider->repaint();
    thumbs = 0;
  }
  void Report(benchmark::State& state) const {
    state.counters["paints_per_iteration"] = double(thumbs) / double(state.iterations());
  }
};

void BandSliderFullRepaint(benchmark::State& state) {
  ShownBandSlider s;
  bool white = false;
  for (auto _ : state) {
    white = !white;
    s.slider->SetGrooveColor(white ? clWhite : clBtnFace);
    s.slider->repaint();
  }
  s.Report(state);
}
BENCHMARK(BandSliderFullRepaint)->Unit(benchmark::kMicrosecond);

void BandSliderThumbMove(benchmark::State& state) {
  ShownBandSlider s;
  int position = -990;
  for (auto _ : state) {
    const QRect before = s.slider->ThumbRect();
    position = position >= 990 ? -990 : position + 37;
    s.slider->SetPosition(position);
    s.slider->repaint(before.united(s.slider->ThumbRect()));
  }
  s.Report(state);
}
BENCHMARK(BandSliderThumbMove)->Unit(benchmark::kMicrosecond);

void BandSliderRepaintCached(benchmark::State& state) {
  ShownBandSlider s;
  for (auto _ : state) s.slider->repaint();
  s.Report(state);
}
BENCHMARK(BandSliderRepaintCached)->Unit(benchmark::kMicrosecond);

}  // namespace
