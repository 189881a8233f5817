#define TIDE_LOG_TAG "utility"
#define TIDE_LOG_COMPONENT "utility_debug"
#include "fs/critical_section.h"

#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include "core/logger.h"

namespace tide {

CriticalSection::CriticalSection(std::mutex* mutex, bool enter) : m_mutex(mutex) {
  if (enter) Enter();
}

CriticalSection::CriticalSection(int fd, bool enter) : m_fd(fd) {
  if (enter) Enter();
}

CriticalSection::~CriticalSection() { Leave(); }

void CriticalSection::Enter() {
  if (m_entered) return;
  if (m_mutex) {
    m_mutex->lock();
  } else {
    // A signal may interrupt the wait; the section must not be entered
    // without the lock.
    while (flock(m_fd, LOCK_EX) < 0) {
      if (errno != EINTR) {
        TLOG_ERROR("flock(%d): %s", m_fd, strerror(errno));
        return;
      }
    }
  }
  m_entered = true;
  TLOG_DEBUG("entering critical section");
}

void CriticalSection::Leave() {
  if (!m_entered) return;
  TLOG_DEBUG("leaving critical section");
  if (m_mutex) {
    m_mutex->unlock();
  } else {
    flock(m_fd, LOCK_UN);
  }
  m_entered = false;
}

}  // namespace tide
