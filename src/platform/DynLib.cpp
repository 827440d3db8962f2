#include "platform/DynLib.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <utility>

#ifndef STRATAEQ_INSTALL_LIBDIR
#define STRATAEQ_INSTALL_LIBDIR "/usr/local/lib/strataeq"
#endif

namespace strataeq {
namespace {

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i]) return false;
  return true;
}

std::string ExecutableFolder() {
  std::string buf(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  buf.resize(static_cast<std::size_t>(n));
  const auto slash = buf.find_last_of('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : buf.substr(0, slash);
}

std::string JoinPath(const std::string& folder, const std::string& file) {
  if (folder.empty()) return file;
  return folder.back() == '/' ? folder + file : folder + "/" + file;
}

}  // namespace

std::string SharedLibraryFileName(std::string_view name) {
  if (EndsWithNoCase(name, ".so")) return std::string(name);
  std::string_view base = name;
  if (EndsWithNoCase(base, ".dll")) base.remove_suffix(4);
  std::string result = "lib";
  for (char c : base) result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result + ".so";
}

std::vector<std::string> SharedLibraryFolders() {
  if (const char* env = std::getenv("STRATAEQ_LIBRARY_PATH"); env && *env) return {env};
  std::vector<std::string> folders;
  const std::string exe = ExecutableFolder();
  if (!exe.empty()) folders.push_back(exe);
#ifdef STRATAEQ_INSTALL_RELLIBDIR
  // An installation moved to another prefix keeps its libraries beside its bin folder.
  if (!exe.empty()) folders.push_back(exe + "/../" STRATAEQ_INSTALL_RELLIBDIR);
#endif
  folders.emplace_back(STRATAEQ_INSTALL_LIBDIR);
  return folders;
}

TDynLib::~TDynLib() { Unload(); }

TDynLib::TDynLib(TDynLib&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      path_(std::move(other.path_)),
      error_(std::move(other.error_)) {}

TDynLib& TDynLib::operator=(TDynLib&& other) noexcept {
  if (this != &other) {
    Unload();
    handle_ = std::exchange(other.handle_, nullptr);
    path_ = std::move(other.path_);
    error_ = std::move(other.error_);
  }
  return *this;
}

bool TDynLib::Load(std::string_view name) {
  Unload();
  error_.clear();
  std::vector<std::string> candidates;
  if (name.find('/') != std::string_view::npos) {
    candidates.emplace_back(name);
  } else {
    const std::string file = SharedLibraryFileName(name);
    const bool overridden = [] {
      const char* env = std::getenv("STRATAEQ_LIBRARY_PATH");
      return env && *env;
    }();
    for (const std::string& folder : SharedLibraryFolders()) candidates.push_back(JoinPath(folder, file));
    // The override stands for the whole search, so that a missing library stays missing.
    if (!overridden) candidates.push_back(file);
  }
  for (const std::string& candidate : candidates) {
    // A candidate that is absent is not worth the loader's complaint.
    if (candidate.find('/') != std::string::npos && access(candidate.c_str(), F_OK) != 0) {
      if (error_.empty()) error_ = candidate + ": no such file";
      continue;
    }
    dlerror();
    if (void* h = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      handle_ = h;
      path_ = candidate;
      error_.clear();
      return true;
    }
    const char* why = dlerror();
    error_ = why ? why : candidate + ": cannot be loaded";
  }
  return false;
}

void TDynLib::Unload() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
  path_.clear();
}

void* TDynLib::Symbol(const char* name) const {
  if (!handle_) return nullptr;
  return dlsym(handle_, name);
}

}  // namespace strataeq
