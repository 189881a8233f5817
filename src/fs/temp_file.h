// Temporary files that clean up after themselves, made in the daemon's own
// work folder (see work_dir.h) with O_EXCL and O_NOFOLLOW.
//
// Copies share one owner counter, so a temporary handed from one step of a
// handler to the next disappears only when the last copy goes away (unless
// that copy has its keep flag set). Copies of one TempFile stay within one
// thread; the counter is not locked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fs/unique_fd.h"

namespace tide {

class TempFile {
 public:
  explicit TempFile(const std::string& directory);
  TempFile(const TempFile& other);
  TempFile& operator=(const TempFile& other);
  ~TempFile();

  // Makes the file (once). 0, or -1 when it exists already or cannot be made.
  int Create();
  // The same, handing over the open descriptor (read and write).
  int Create(UniqueFd* fd);
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

}  // namespace tide
