// Run-time loading of shared libraries by their original library names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace strataeq {

// "x.dll" becomes "libx.so" with the base name in lower case ("BLADEENC.DLL" ->
// "libbladeenc.so"); a name that already ends in ".so" is kept as it is.
std::string SharedLibraryFileName(std::string_view name);

// The folders searched for a library, in order: only $STRATAEQ_LIBRARY_PATH when it is
// set and not empty; otherwise the folder of the running executable and the install
// library folder. The system loader is asked after these.
std::vector<std::string> SharedLibraryFolders();

// One loaded library; unloads it when destroyed.
class TDynLib {
 public:
  TDynLib() = default;
  ~TDynLib();
  TDynLib(const TDynLib&) = delete;
  TDynLib& operator=(const TDynLib&) = delete;
  TDynLib(TDynLib&& other) noexcept;
  TDynLib& operator=(TDynLib&& other) noexcept;

  // Loads name (unloading what was loaded before); false when no candidate loads.
  // A name with a '/' is handed to the system loader as it is.
  bool Load(std::string_view name);
  void Unload();
  bool Loaded() const { return handle_ != nullptr; }
  // Null when the library is not loaded or has no such symbol.
  void* Symbol(const char* name) const;
  template <typename F>
  F Function(const char* name) const {
    return reinterpret_cast<F>(Symbol(name));
  }
  // The file that was loaded, and the loader's complaint after a failed Load.
  const std::string& Path() const { return path_; }
  const std::string& LastError() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string path_;
  std::string error_;
};

}  // namespace strataeq
