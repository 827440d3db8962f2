// The window's side of its routes: Start builds the route the choices make, Stop ends
// it, its end returns the window to idle, and the timer shows its readouts.
#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <cmath>
#include <cstdio>

#include "app/EqualizerUnit.h"
#include "controls/TransBtn.h"
#include "display/MMConect.h"
#include "drivers/MMHTimer.h"
#include "eq/MMEQ.h"
#include "routes/Route.h"

namespace strataeq {

// OutDev as it was before the desktop route followed the desktop elsewhere.
void TEqForm::RestoreFollowedOutput() {
  if (followedCaption_.empty()) return;
  OutDev->SetCaption(std::exchange(followedCaption_, std::string()));
  outHint_.clear();
  OutDev->SetHint(std::exchange(followedHint_, std::string()));
}

int TEqForm::DropOuts() const { return dropOutsBefore_ + (route_ ? route_->Dropouts() : 0); }

void TEqForm::CpuTimerTimer(TObject*) {
  Cpu->setText(QStringLiteral("Cpu Usage : %1 %").arg(GetCpuUsage()));
  if (route_) route_->Poll();
  if (const int dropOuts = DropOuts(); dropOuts != dropOutsShown_) {
    dropOutsShown_ = dropOuts;
    lblDropOuts->setText(QStringLiteral("Dropouts : %1").arg(dropOuts));
  }
  if (const std::int64_t clipped = Equalizer->ClippedBuffers(); clipped != clippedShown_) {
    clippedShown_ = clipped;
    ClipMark->setVisible(clipped > 0);
    const QString hint = clipped > 0 ? QStringLiteral("Clipped : %1").arg(clipped) : QString();
    lblDropOuts->setToolTip(hint);
    ClipMark->setToolTip(hint);
  }
  // While a device route runs, OutDev's hint tells how late the sound comes out.
  if (running_ && route_ && route_->MeasuredLatencyMs() > 0) {
    const double ms = route_->MeasuredLatencyMs();
    // Less than a millisecond of change is noise for a screen reader reading the hint.
    const bool news = outHint_.empty() || std::abs(ms - latencyShownMs_) >= 1.0;
    char text[64];
    std::snprintf(text, sizeof text, " : latency %.0f ms", ms);
    if (outHint_.empty()) outHint_ = OutDev->Hint();
    if (news) {
      latencyShownMs_ = ms;
      OutDev->SetHint(outHint_ + text);
    }
  }
}

// ---- start and stop

void TEqForm::btnStartClick(TObject*) {
  Guard([&] {
    using routes::TRouteKind;
    const bool inFile = FInWaveFile || FInMpegFile, outFile = FOutWaveFile || FOutMp3File;
    routes::TRouteSpec spec;
    spec.Kind = inFile ? (outFile ? TRouteKind::FileToFile : TRouteKind::FileToDevice)
                       : outFile ? TRouteKind::DeviceToFile
                                 : desktopChosen_ ? TRouteKind::Desktop : TRouteKind::DeviceToDevice;
    // The desktop's device becomes the default one; the route records its monitor.
    spec.FromDesktop = !inFile && desktopChosen_;
    spec.Input = inputName_;
    spec.Output = outputName_;
    spec.OutputKind = FOutMp3File ? routes::TFileKind::Mp3 : routes::TFileKind::Wav;
    spec.InDevice = inDevice_;
    spec.OutDevice = outDevice_;
    spec.OutDeviceChosen = !outFile && outDevice_ != MapperId;
    if (latencyTargetMs_ > 0) spec.LatencyMs = latencyTargetMs_;
    if (outFile) CheckOutputFile();
    auto route = std::make_unique<routes::TRoute>(spec, Equalizer.get());
    route->SetTap(Connector.get());
    // Closed outside the driver's stop.
    route->OnEnded = [this] { QTimer::singleShot(0, this, [this] { RouteEnded(); }); };
    route->OnDesktopFollowed = [this](const std::string&, const std::string& to) {
      if (followedCaption_.empty()) {
        followedCaption_ = OutDev->Caption();
        followedHint_ = outHint_.empty() ? OutDev->Hint() : outHint_;
      }
      OutDev->SetCaption(to);
      outHint_.clear();
      OutDev->SetHint("Output Device : " + to + " (the desktop's sound moved here)");
    };
    route->Open();
    route_ = std::move(route);
    LockControls();
    if (spec.Kind == TRouteKind::FileToFile) StartProgress(route_->SourceLength());
    try {
      route_->Start();
    } catch (...) {
      // A route that failed to start reports no end: the window returns to idle itself.
      route_.reset();
      HideProgress();
      UnlockControls();
      throw;
    }
  });
}

void TEqForm::btnStopClick(TObject*) {
  Guard([&] {
    if (route_) route_->Stop();
  });
}

void TEqForm::RouteEnded() {
  if (!route_) return;
  bool followed = false;
  Guard([&] { followed = route_->FollowDesktop(); });
  if (followed) return;
  // The last tick may have come before the last buffer.
  if (ProgressTimer->Enabled()) ProgressTimerTimer(this);
  const std::unique_ptr<routes::TRoute> route = std::move(route_);
  dropOutsBefore_ += route->Dropouts();
  Guard([&] { route->Finish(); });
  HideProgress();
  RestoreFollowedOutput();
  UnlockControls();
}

}  // namespace strataeq
