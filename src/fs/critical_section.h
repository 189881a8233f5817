// A scoped exclusive section over a process mutex or, between processes, an
// exclusive flock on a descriptor. Entered on construction, left on
// destruction; Enter/Leave may also be called in between.
#pragma once

#include <mutex>

namespace tide {

class CriticalSection {
 public:
  explicit CriticalSection(std::mutex* mutex, bool enter = true);
  explicit CriticalSection(int fd, bool enter = true);
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter();
  void Leave();
  bool Entered() const { return m_entered; }

 private:
  std::mutex* m_mutex = nullptr;
  int m_fd = -1;
  bool m_entered = false;
};

}  // namespace tide
