#define TIDE_LOG_TAG "utility"
#define TIDE_LOG_COMPONENT "utility_debug"
#include "sync/temp_file.h"

#include "core/logger.h"
#include "sync/file_ops.h"

namespace tide {

std::string TempFile::default_prefix = "/tmp";
std::string SFFile::default_prefix = "/tmp";

TempFile::TempFile(const std::string& directory)
    : m_directory(directory.empty() ? default_prefix : directory), m_counter(std::make_shared<int32_t>(0)) {}

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
  if (*m_counter != 0) return -1;
  std::string path;
  if (FSCreateTempFile(m_directory, &path) < 0) {
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
  if (!m_path.empty()) FSRemove(m_path);
  *m_counter = 0;
  m_path.clear();
  // Copies keep the emptied counter; a later Create here must not make
  // them owners of the new file.
  m_counter = std::make_shared<int32_t>(0);
}

SFFile::SFFile(const std::string& directory) : m_directory(directory.empty() ? default_prefix : directory) {}

SFFile::~SFFile() {
  if (!m_path.empty()) Remove();
}

int SFFile::Create() {
  if (!m_path.empty()) {
    TLOG_DEBUG("use exist file");
    return 0;
  }
  std::string path;
  if (FSCreateTempFile(m_directory, &path) < 0) {
    TLOG_ERROR("failed to create File in '%s'", m_directory.c_str());
    return -1;
  }
  m_path = path;
  TLOG_DEBUG("creating File '%s'", m_path.c_str());
  return 0;
}

void SFFile::Remove() {
  TLOG_DEBUG("removing File '%s'", m_path.c_str());
  if (!m_path.empty()) FSRemove(m_path);
  m_path.clear();
}

}  // namespace tide
