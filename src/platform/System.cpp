#include "platform/System.h"

#include <sys/statvfs.h>

#include <chrono>
#include <mutex>

namespace strataeq {
namespace {

std::mutex gQueryMutex;
TDiskSpaceQuery gQuery;

TDiskSpace StatvfsQuery(const std::string& path) {
  std::string folder = path;
  struct statvfs st {};
  if (statvfs(folder.c_str(), &st) != 0) {
    const auto slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    if (statvfs(folder.c_str(), &st) != 0) return {};
  }
  TDiskSpace r;
  r.Free = static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
  r.Total = static_cast<std::int64_t>(st.f_blocks) * static_cast<std::int64_t>(st.f_frsize);
  r.Success = true;
  return r;
}

}  // namespace

TDiskSpace QueryDiskSpace(const std::string& path) {
  TDiskSpaceQuery query;
  {
    std::lock_guard lock(gQueryMutex);
    query = gQuery;
  }
  return query ? query(path) : StatvfsQuery(path);
}

void SetDiskSpaceQuery(TDiskSpaceQuery query) {
  std::lock_guard lock(gQueryMutex);
  gQuery = std::move(query);
}

std::uint32_t GetTickCount() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace strataeq
