// What view registration and the control instructions need of the change
// detector (task 0): start and stop watching one view's folder. Both
// detectors implement it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tide {

// The outcome of one step of either detector (TaskStep::m_outcome).
enum DetectorPass {
  DETECTOR_PASS_QUIET = 0,    // nothing came within the wait: pending moves were flushed
  DETECTOR_PASS_HANDLED = 1,  // one notification was handled
};

class WatchInterface {
 public:
  virtual ~WatchInterface() = default;
  // Starts watching the folder `path` for view `view_id`: a root id of the
  // detector's own (0 or more), or -1 after logging. Callers test the sign.
  virtual int AddWatch(const std::string& path, uint64_t view_id) = 0;
  // Stops watching the view: 0, or -1 when it has no watch.
  virtual int RemoveWatch(uint64_t view_id) = 0;

  // Who forgets a view whose folder disappeared (registry entry, catch-up
  // entry, local records): the owner of registration, which knows every
  // part of a view. The detector has already dropped the view's watch when
  // it calls. Set before the detector's task starts.
  using ViewWithdrawnCallback = std::function<void(uint64_t view_id)>;
  virtual void SetViewWithdrawnCallback(ViewWithdrawnCallback callback) = 0;
};

}  // namespace tide
