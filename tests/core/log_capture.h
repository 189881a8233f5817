// Sends the logger to a scratch file for one test, with every component this
// test cares about at DEBUG, and reads back what was written.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/logger.h"
#include "support/temp_dir.h"

namespace tide::test {

class LogCapture {
 public:
  LogCapture() {
    std::string levels = m_dir.WriteFile(
        "levels",
        "client_debug=7\nuser_mgr_debug=7\nservice_ctrl_debug=7\nipc=7\nevent_mgr_debug=7\nstream=3\n");
    EXPECT_EQ(0, Logger::Initialize(LOG_TYPE_FILE, m_dir / "client.log", levels, 10));
  }
  ~LogCapture() { Logger::ResetForTest(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const { return TempDir::ReadFile(m_dir / "client.log"); }
  bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }

 private:
  TempDir m_dir;
};

}  // namespace tide::test
