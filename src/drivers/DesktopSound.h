// Sends the whole desktop's sound through the equalizer: a virtual playback device,
// "StrataEq Equalizer" (a null sink of the sound server), becomes the default device
// and takes the applications' running streams; the live route records its monitor and
// plays to the real device. Stop puts the streams and the default back and removes
// the device. What a killed run left behind is found by the device's name and put
// back at the next Start.
#pragma once

#include <memory>
#include <string>

#include "foundation/MMUtils.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMDesktopError);

class TDesktopSound {
 public:
  static constexpr const char* kSinkName = "strataeq_equalizer";
  static constexpr const char* kDescription = "StrataEq Equalizer";

  TDesktopSound();
  ~TDesktopSound();  // stops
  TDesktopSound(const TDesktopSound&) = delete;
  TDesktopSound& operator=(const TDesktopSound&) = delete;

  // output: the server name of the real playback device, empty for the default one.
  // Raises EMMDesktopError when there is no server, no real device, or output is the
  // virtual device itself.
  void Start(const std::string& output = {}, int sampleRate = 44100);
  // Puts everything back; safe to call twice and without a Start.
  void Stop();
  bool Active() const { return active_; }

  // Server names while active.
  std::string SinkName() const { return kSinkName; }
  std::string MonitorName() const { return std::string(kSinkName) + ".monitor"; }
  const std::string& OutputName() const { return output_; }
  // How many application streams Start moved onto the virtual device.
  int MovedStreams() const { return moved_; }

  // Whether the real playback device is still there (headphones unplugged, a USB or
  // Bluetooth device gone: no); waits up to a second for the server to show it gone.
  bool OutputPresent();
  // Makes the device the desktop would now use the output, and returns its server name:
  // the server's default when it is a real device, otherwise the real device the server
  // ranks highest; never the virtual device. Raises EMMDesktopError when there is none.
  std::string FollowDesktop();

 private:
  class TServer;
  // Puts back what an earlier run left behind; true when there was something.
  bool Recover();

  std::unique_ptr<TServer> server_;
  bool active_ = false;
  std::string output_;
  int moved_ = 0;
};

}  // namespace strataeq
