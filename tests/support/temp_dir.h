// A scratch directory for one test, removed with everything in it when the
// test ends.
#pragma once

#include <string>

namespace tide::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_path; }
  // Path() + "/" + relative.
  std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

  // Writes `contents` to Path()/relative, creating parent folders.
  std::string WriteFile(const std::string& relative, const std::string& contents) const;
  static std::string ReadFile(const std::string& path);

 private:
  std::string m_path;
};

}  // namespace tide::test
