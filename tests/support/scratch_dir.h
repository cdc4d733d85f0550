// A fresh folder for one test, removed with everything in it afterwards.
// Paths are plain byte strings spelled with the system's separator, as the
// program itself spells them.
#ifndef STASHWELL_TESTS_SUPPORT_SCRATCH_DIR_H_
#define STASHWELL_TESTS_SUPPORT_SCRATCH_DIR_H_

#include <string>

namespace stashwell {

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The folder itself, without a trailing separator.
  const std::string& path() const { return path_; }
  // path() + separator + name.
  std::string Path(const std::string& name) const;

  // Writes bytes to name (created or replaced); returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const;
  // The bytes of a file, or nothing when it cannot be read.
  static bool Read(const std::string& path, std::string* bytes);
  static std::string ReadOrEmpty(const std::string& path);
  static bool Exists(const std::string& path);
  std::string MakeDir(const std::string& name) const;

 private:
  std::string path_;
};

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

}  // namespace stashwell

#endif  // STASHWELL_TESTS_SUPPORT_SCRATCH_DIR_H_
