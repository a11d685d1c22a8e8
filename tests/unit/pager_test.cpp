#include "daemon/report/pager.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/kit/files.h"
#include "tests/support/daemon_state.h"
#include "tornax.h"

namespace tornax {
namespace {

using test::read_file;

class PagerTest : public test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    settings.modem_filename = home.write("modem", "");
  }
  std::string pages() const { return read_file(home.file("modem")); }

  test::TempDir home;
};

TEST_F(PagerTest, PagesOncePerOccurrence) {
  settings.pager[POWERFAIL] = {1, "ATDT5551234;"};
  for (unsigned int count : {1u, 2u, 3u, 0u, 1u, 2u}) {
    status[POWERFAIL] = count;
    sendpager();
  }
  EXPECT_EQ(pages(), "ATDT5551234;\nATDT5551234;\n");
}

TEST_F(PagerTest, SeveralPagesOfOneCycleGoInEventOrder) {
  settings.pager[POWERFAIL_DOWN] = {1, "down"};
  settings.pager[LOWBATT] = {1, "low"};
  settings.pager[COMM_ERROR] = {0, "off"};
  status[LOWBATT] = status[POWERFAIL_DOWN] = status[COMM_ERROR] = 1;
  sendpager();
  EXPECT_EQ(pages(), "low\ndown\n");
}

TEST_F(PagerTest, UnopenableOrMissingDeviceIsReportedOncePerPage) {
  settings.pager[COMM_ERROR] = {1, "silent"};
  status[COMM_ERROR] = 1;
  const std::string missing = home.file("ttyS9");
  settings.modem_filename = missing;
  testing::internal::CaptureStderr();
  sendpager();
  sendpager();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Brenmoor Tornax X : Cannot open modem device (" + missing + ")\n" +
                "Brenmoor Tornax X : Cannot open modem device (" + missing + ")\n");
  EXPECT_FALSE(test::file_exists(missing));  // a mistyped device is not created

  settings.modem_filename.reset();
  testing::internal::CaptureStderr();
  sendpager();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Brenmoor Tornax X : Cannot open modem device (no MODEM_DEVICE configured)\n");
}

}  // namespace
}  // namespace tornax
