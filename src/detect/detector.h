// Task 0: the change detector. For now it watches nothing; it keeps the
// task's place and run loop until change detection lands.
#pragma once

#include "core/idle_task.h"
#include "core/task.h"

namespace tide {

class Detector : public Task {
 public:
  Detector(uint32_t context1, uint32_t context2) : Task(context1, context2) {}
  void Run() override { RunIdleLoop(*this); }
};

}  // namespace tide
