// Temporary files that clean up after themselves.
//
// TempFile: copies share one owner counter, so a temporary handed from one
// step of a handler to the next disappears only when the last copy goes
// away (unless that copy has its keep flag set). Copies of one TempFile stay
// within one thread; the counter is not locked.
//
// SFFile: the same for a single owner, with no sharing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tide {

class TempFile {
 public:
  // Directory where temporaries go when the constructor is given none.
  // Written at start-up, before any worker runs.
  static std::string default_prefix;

  explicit TempFile(const std::string& directory = "");
  TempFile(const TempFile& other);
  TempFile& operator=(const TempFile& other);
  ~TempFile();

  // Makes the file (once). 0, or -1 when it exists already or cannot be made.
  int Create();
  // Deletes the file now; copies that share it no longer own anything.
  void Remove();

  const std::string& Path() const { return m_path; }
  const std::string& Directory() const { return m_directory; }
  bool Keep() const { return m_keep; }
  // With keep set, the last owner leaves the file on disk.
  void SetKeep(bool keep) { m_keep = keep; }
  // 0 = not created (or removed), 1 = created and owned once, n = n owners.
  int32_t OwnerCount() const { return *m_counter; }

 private:
  // Gives up this object's share: the sole owner deletes the file.
  void Release();

  std::string m_directory;
  std::string m_path;
  std::shared_ptr<int32_t> m_counter;
  bool m_keep = false;
};

class SFFile {
 public:
  static std::string default_prefix;

  explicit SFFile(const std::string& directory = "");
  SFFile(const SFFile&) = delete;
  SFFile& operator=(const SFFile&) = delete;
  ~SFFile();

  // 0 when the file exists (made now or before), -1 when it cannot be made.
  int Create();
  void Remove();

  const std::string& Path() const { return m_path; }
  const std::string& Directory() const { return m_directory; }

 private:
  std::string m_directory;
  std::string m_path;
};

}  // namespace tide
