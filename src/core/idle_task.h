// Run loop shared by tasks that have no work of their own yet: it honours
// pause and stop like every task body and otherwise waits.
#pragma once

#include <unistd.h>

#include "core/task.h"

namespace tide {

inline void RunIdleLoop(Task& task) {
  for (;;) {
    int state = task.GetState();
    if (state == TASK_STOPPED) return;
    if (state == TASK_PAUSED) {
      sleep(1);
      continue;
    }
    task.Wait(1);
  }
}

}  // namespace tide
