#include "daemon/core/error.h"

#include <gtest/gtest.h>

namespace tornax {
namespace {

TEST(ErrorTest, WarnWritesOneTitledLine) {
  testing::internal::CaptureStderr();
  tornax_warn("Reinitial configuration");
  tornax_warn("The system is halted.\r\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Brenmoor Tornax X : Reinitial configuration\n"
            "Brenmoor Tornax X : The system is halted.\r\n\n");
}

TEST(ErrorTest, ErrorWritesTextThenExitAndEndsWithStatusOne) {
  EXPECT_EXIT(tornax_error("You don't have root permission"), testing::ExitedWithCode(1),
              "^Brenmoor Tornax X : You don't have root permission\n"
              "Brenmoor Tornax X : Exit\n$");
}

}  // namespace
}  // namespace tornax
