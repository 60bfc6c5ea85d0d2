#include "table.h"

#include <gtest/gtest.h>

namespace blackbox {

const char kBanner[] = "velkor 1.4 [08-60030]\n";
const char kNotFound[] = "KV30 not found.";

std::string Image(size_t size) {
  std::string image(size, '\0');
  for (size_t i = 0; i < size; i++) image[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  if (size >= 7) {
    image[4] = '\x90';
    image[5] = 0;
    image[6] = 0;
  }
  return image;
}

namespace {

// Each expected line begins a line of the transcript, in order.
void ExpectInOrder(const std::string& log, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    bool found = false;
    while (at < log.size()) {
      size_t end = log.find('\n', at);
      if (end == std::string::npos) end = log.size();
      const bool match = log.compare(at, line.size(), line) == 0 && at + line.size() <= end;
      at = end + 1;
      if (match) {
        found = true;
        break;
      }
    }
    if (!found) {
      ADD_FAILURE() << "the handset did not receive, in order: " << line << "\ntranscript:\n"
                    << log;
      return;
    }
  }
}

}  // namespace

void RunCase(Bench& bench, const HandsetCase& row) {
  const std::string image = Image(row.imageSize);
  if (row.imageSize > 0) WriteFile(bench.File("kv30.bin"), image);
  std::vector<std::string> options = row.options;
  const std::vector<std::string> outputs = {"--log", bench.File("log"), "--image",
                                            bench.File("received.bin"), "--settings",
                                            bench.File("settings")};
  options.insert(options.end(), outputs.begin(), outputs.end());
  std::string error;
  ASSERT_TRUE(bench.StartHandset(options, &error)) << bench.Host() << ": " << error;

  bool uploaded = false;
  for (size_t i = 0; i < row.steps.size(); i++) {
    const Step& step = row.steps[i];
    const VelkorRun run = bench.Velkor(step.args, row.maxMs + 10000);
    const std::string which = "step " + std::to_string(i + 1) + " on " + bench.Host();
    EXPECT_FALSE(run.timedOut) << which;
    EXPECT_EQ(std::string(kBanner) + step.out, run.out) << which;
    EXPECT_EQ(step.status, run.status) << which;
    EXPECT_LE(run.elapsedMs, row.maxMs) << which;
    // velkor writes nothing to standard error; a sanitizer would.
    EXPECT_EQ("", run.err) << which;
    if (!step.args.empty() && step.args[0] == "upload" && step.status == 0) uploaded = true;
  }

  EXPECT_EQ(0, bench.StopHandset(&error)) << "kv30sim ends with 0 when asked to";
  EXPECT_EQ("", error);
  ExpectInOrder(ReadFile(bench.File("log")), row.received);
  if (!row.settings.empty()) {
    EXPECT_EQ(row.settings, ReadFile(bench.File("settings")));
  }
  if (uploaded) {
    EXPECT_TRUE(ReadFile(bench.File("received.bin")) == image) << "the received image differs";
  }
}

}  // namespace blackbox
