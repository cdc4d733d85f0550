#include "support/scratch_dir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace stashwell {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  const auto stamp =
      std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path dir =
      fs::temp_directory_path() / ("stashwell-test-" + std::to_string(stamp) +
                                   "-" + std::to_string(counter++));
  fs::create_directories(dir);
  path_ = dir.string();
}

ScratchDir::~ScratchDir() {
  std::error_code error;
  // Read-only files left by a test must not keep the folder alive.
  for (auto it = fs::recursive_directory_iterator(path_, error);
       !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add,
                    error);
  }
  fs::remove_all(path_, error);
}

std::string ScratchDir::Path(const std::string& name) const {
  return path_ + kSeparator + name;
}

std::string ScratchDir::Write(const std::string& name,
                              const std::string& bytes) const {
  const std::string path = Path(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

bool ScratchDir::Read(const std::string& path, std::string* bytes) {
#ifdef _WIN32
  // The run log is open with the right to delete it: a reader must share
  // deletion, as the C library's own opens do not.
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char block[65536];
  DWORD got = 0;
  while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) {
    bytes->append(block, got);
  }
  CloseHandle(file);
  return true;
#else
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  *bytes = content.str();
  return true;
#endif
}

std::string ScratchDir::ReadOrEmpty(const std::string& path) {
  std::string bytes;
  Read(path, &bytes);
  return bytes;
}

bool ScratchDir::Exists(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

std::string ScratchDir::MakeDir(const std::string& name) const {
  const std::string path = Path(name);
  fs::create_directories(path);
  return path;
}

}  // namespace stashwell
