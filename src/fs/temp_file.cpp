#define TIDE_LOG_TAG "utility"
#define TIDE_LOG_COMPONENT "utility_debug"
#include "fs/temp_file.h"

#include <unistd.h>

#include <cerrno>

#include "core/logger.h"
#include "fs/file_ops.h"

namespace tide {

TempFile::TempFile(const std::string& directory)
    : m_directory(directory), m_counter(std::make_shared<int32_t>(0)) {}

TempFile::TempFile(const TempFile& other)
    : m_directory(other.m_directory), m_path(other.m_path), m_keep(other.m_keep) {
  if (!other.m_path.empty() && *other.m_counter > 0) {
    m_counter = other.m_counter;
    ++*m_counter;
  } else {
    m_path.clear();
    m_counter = std::make_shared<int32_t>(0);
  }
}

TempFile& TempFile::operator=(const TempFile& other) {
  if (this == &other || m_counter == other.m_counter) {
    m_directory = other.m_directory;
    m_keep = other.m_keep;
    return *this;
  }
  Release();
  m_directory = other.m_directory;
  m_path = other.m_path;
  m_keep = other.m_keep;
  if (!other.m_path.empty() && *other.m_counter > 0) {
    m_counter = other.m_counter;
    ++*m_counter;
  } else {
    // The source owns nothing (never created, or removed): neither does
    // the copy.
    m_path.clear();
    m_counter = std::make_shared<int32_t>(0);
  }
  return *this;
}

TempFile::~TempFile() { Release(); }

void TempFile::Release() {
  std::shared_ptr<int32_t> counter = m_counter;  // Remove() replaces m_counter
  int32_t& count = *counter;
  if (count == 1) {
    if (!m_keep) Remove();
    count = 0;
  } else if (count >= 2) {
    // Other copies still own the file; dropping this share must not leave
    // the count too high, or the last owner would never delete it.
    --count;
  }
}

int TempFile::Create() {
  UniqueFd fd;
  return Create(&fd);
}

int TempFile::Create(UniqueFd* fd) {
  if (*m_counter != 0) return -1;
  std::string path;
  fd->Reset(FSCreateTempFile(m_directory, &path));
  if (!fd->Valid()) {
    TLOG_ERROR("failed to create TempFile in '%s'", m_directory.c_str());
    return -1;
  }
  m_path = path;
  *m_counter = 1;
  TLOG_DEBUG("creating TempFile '%s'", m_path.c_str());
  return 0;
}

void TempFile::Remove() {
  TLOG_DEBUG("removing TempFile '%s'", m_path.c_str());
  // Our own file in our own folder: unlinked straight away. Only something
  // else in its place (a folder, put there by root) needs the full removal.
  if (!m_path.empty() && unlink(m_path.c_str()) != 0 && errno != ENOENT) FSRemove(m_path);
  *m_counter = 0;
  m_path.clear();
  // Copies keep the emptied counter; a later Create here must not make
  // them owners of the new file.
  m_counter = std::make_shared<int32_t>(0);
}

}  // namespace tide
