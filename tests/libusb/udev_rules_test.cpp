// The udev rules file gives the user access to exactly the handsets that the
// libusb backend lists.
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <utility>

#include "libusb_backend/backend.h"

namespace {

TEST(UdevRules, GrantAccessToEveryHandsetIdentifierAndNothingElse) {
  std::ifstream rules(UDEV_RULES);
  ASSERT_TRUE(rules) << UDEV_RULES;
  const std::regex rule(
      R"re(SUBSYSTEM=="usb", ENV\{DEVTYPE\}=="usb_device", ATTR\{idVendor\}=="([0-9a-f]{4})", )re"
      R"re(ATTR\{idProduct\}=="([0-9a-f]{4})", TAG\+="uaccess")re");
  std::set<std::pair<unsigned, unsigned>> granted;
  std::string line;
  while (std::getline(rules, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, rule)) << "not a handset rule: " << line;
    granted.insert({std::stoul(match[1], nullptr, 16), std::stoul(match[2], nullptr, 16)});
  }
  std::set<std::pair<unsigned, unsigned>> handsets;
  for (const libusb_backend::UsbId& id : libusb_backend::kHandsetIds) {
    handsets.insert({id.vendor, id.product});
  }
  EXPECT_EQ(handsets, granted);
}

}  // namespace
