#include "foundation/MMUtils.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <thread>
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/Messages.h"

namespace strataeq {
namespace {

struct MessageTable {
  std::mutex mutex;
  std::map<int, std::string> texts{
      {msg::PropertyWhileOpen, "Change to property while device was open"},
      {msg::InvalidWaveFormatLower, "Invalid wave format"},
      {msg::CouldNotCreateThread, "Could not create thread"},
      {msg::UnableToStartDevice, "Unable to start device"},
      {msg::ErrorFillingBuffer, "Error filling wave buffer"},
      {msg::UnableToFreeHeader, "Unable to free header memory"},
      {msg::InvalidWaveFormat, "Invalid WaveFormat"},
  };
};

MessageTable& Messages() {
  static MessageTable table;
  return table;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string DeviceIdToString(TMMDeviceId id) {
  if (id == InvalidId) return "InvalidId";
  if (id == MapperId) return "MapperId";
  return std::to_string(id);
}

TMMDeviceId StringToDeviceId(std::string_view text) {
  if (EqualsNoCase(text, "InvalidId")) return InvalidId;
  if (EqualsNoCase(text, "MapperId")) return MapperId;
  TMMDeviceId value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty())
    throw EMMError("'" + std::string(text) + "' is not a valid device number");
  return value;
}

std::string LoadResString(int n) {
  MessageTable& t = Messages();
  std::lock_guard lock(t.mutex);
  const auto it = t.texts.find(n);
  return it == t.texts.end() ? std::string() : it->second;
}

void RegisterMessage(int n, std::string text) {
  MessageTable& t = Messages();
  std::lock_guard lock(t.mutex);
  t.texts[n] = std::move(text);
}

std::int32_t MulDivRound(std::int32_t x, std::int32_t y, std::int32_t z) {
  const std::int64_t p = static_cast<std::int64_t>(x) * y;
  return static_cast<std::int32_t>(p / z + (2 * (p % z)) / z);
}

std::int32_t MulDivTrunc(std::int32_t x, std::int32_t y, std::int32_t z) {
  return static_cast<std::int32_t>(static_cast<std::int64_t>(x) * y / z);
}

std::string FormatTimeString(std::int32_t ms, bool withMilliseconds) {
  const int h = ms / 3600000, m = (ms % 3600000) / 60000, s = (ms % 60000) / 1000, t = ms % 1000;
  const int totalMinutes = ms / 60000;
  char buf[48];
  if (withMilliseconds) {
    if (ms < 3600000)
      std::snprintf(buf, sizeof buf, "%d:%2.2d.%3.3d", totalMinutes, s, t);
    else
      std::snprintf(buf, sizeof buf, "%d:%2.2d:%2.2d.%3.3d", h, m, s, t);
  } else {
    if (ms < 3600000)
      std::snprintf(buf, sizeof buf, "%d:%2.2d", totalMinutes, s);
    else
      std::snprintf(buf, sizeof buf, "%d:%2.2d:%2.2d", h, m, s);
  }
  return buf;
}

void Delay(std::int32_t ms, bool processMessages) {
  if (ms <= 0) return;
  const auto start = std::chrono::steady_clock::now();
  const auto total = std::chrono::milliseconds(ms);
  if (!processMessages || !IsMainThread()) {
    std::this_thread::sleep_for(total);
    return;
  }
  for (;;) {
    if (Application().Terminated()) return;
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed >= total) return;
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(total - elapsed);
    if (!WaitForMessage(std::max(remaining, std::chrono::milliseconds(1)))) return;
    ProcessPendingMessages();
  }
}

TDiskSpace DiskSpace(const std::string& path) {
  TDiskSpace r = QueryDiskSpace(path);
  if (!r.Success) {
    r.Free = 0;
    r.Total = 1;
  }
  return r;
}

bool HasDiskSpace(const std::string& path, std::int64_t bytes) {
  const TDiskSpace r = DiskSpace(path);
  return r.Success && r.Free >= bytes;
}

bool IsWin95() { return false; }
bool IsWin98() { return false; }
bool IsWinNT3() { return false; }
bool IsWinNT4() { return true; }

}  // namespace strataeq
