// Operating-system queries: free space, version tests, clocks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace strataeq {

struct TDiskSpace {
  std::int64_t Free = 0;
  std::int64_t Total = 1;
  bool Success = false;
};

// Free and total bytes of the file system holding path (the folder part of a file
// path). Tests replace the query to simulate a full disk.
TDiskSpace QueryDiskSpace(const std::string& path);
using TDiskSpaceQuery = std::function<TDiskSpace(const std::string&)>;
void SetDiskSpaceQuery(TDiskSpaceQuery query);  // empty restores the real query

// Milliseconds since an arbitrary start, on the steady clock.
std::uint32_t GetTickCount();

}  // namespace strataeq
