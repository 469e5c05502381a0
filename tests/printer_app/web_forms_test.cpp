// The printer application's web interface used through its forms in headless
// Chromium (driven by web_forms.js over the browser's DevTools pipe): the
// owner sets the printer's darkness and the loaded label, prints a test
// page and finds it in the jobs list. ipptool then reads the printer's
// attributes, and the test page's stream on the device is read with the
// stream parser: it carries the settings chosen in the forms.
#include <gtest/gtest.h>

#include <string>

#include "app_server.h"
#include "cups_test_support.h"
#include "inspect/job_stream_parser.h"

namespace {

AppServer* server = nullptr;

::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new AppServerEnvironment(&server, "pweb", {203}));

TEST(WebForms, settings_chosen_in_the_forms_reach_the_printer_and_its_test_page) {
  ASSERT_TRUE(fileExists(CHROMIUM_PROGRAM)) << "chromium is not installed (scripts/install-deps)";
  ASSERT_TRUE(fileExists(NODE_PROGRAM)) << "node is not installed (scripts/install-deps)";
  ASSERT_EQ(server->problem, "");
  ScratchDir profile("pweb-profile", 0755);
  const ChildResult browser = runChild(
      commandSpec({NODE_PROGRAM, std::string(VORMEL_SOURCE_DIR) + "/tests/printer_app/web_forms.js",
                   CHROMIUM_PROGRAM, profile.path, "http://" + server->host, "label203", "16",
                   "om_100x150mm_100x150mm", "mark"}));
  ASSERT_EQ(browser.exitStatus, 0) << browser.err;
  EXPECT_NE(browser.out.find("\"printing\":\"Changes saved.\""), std::string::npos) << browser.out;
  EXPECT_NE(browser.out.find("\"media\":\"Changes saved.\""), std::string::npos) << browser.out;
  EXPECT_NE(browser.out.find("\"testPage\":\"Test page printed.\""), std::string::npos)
      << browser.out;
  // The jobs page lists the test page as job 1.
  EXPECT_NE(browser.out.find("1\\tTest Page\\t"), std::string::npos) << browser.out;

  std::string out;
  EXPECT_TRUE(runIppTest(
      appPrinterUri(*server, "label203"), "web-defaults.test",
      {"-d", "darkness=16", "-d", "media=om_100x150mm_100x150mm", "-d", "tracking=mark"}, out))
      << out;

  // The test page went out with the chosen settings: the printer's darkness
  // (the printing page's darkness is the printer's, printer-darkness-configured)
  // 16 of 100 is level 5 of 30; mark sensing; the 100 x 150 mm label.
  const std::string stream = readFile(server->dir->path + "/dev203/Test Page.prn");
  JobReport report;
  StreamError error;
  ASSERT_TRUE(parseJobStream(
      reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), &report, &error,
      [](const PageInfo&, const std::vector<uint8_t>&, std::string*) { return true; }))
      << "byte " << error.offset << ": " << error.message;
  EXPECT_EQ(report.pageCount, 1u);
  EXPECT_EQ(report.paperLine, "~PAPER;INTENSITY 5;LABELS 1");
  EXPECT_EQ(report.engineWidth, 3930);
  EXPECT_EQ(report.engineLength, 5902);
}

}  // namespace
