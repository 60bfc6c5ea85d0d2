// The Windows executables' image format and import table, read with objdump:
// console programs for their machine whose only DLLs are kernel32 and the
// system's C run-time, so the C and C++ run-times are linked statically and
// setupapi.dll is left to run-time loading.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <set>
#include <sstream>
#include <string>

#include "child_process.h"
#include "windows_test_setup.h"

namespace {

struct ImageCase {
  const char* name;
  const char* exePath;
  const char* objdump;
  const char* fileFormat;  // objdump's name of the image format
  const char* magic;       // optional header magic with objdump's comment
};

// CTest names each case after this.
void PrintTo(const ImageCase& image, std::ostream* os) { *os << image.name; }

const ImageCase kImages[] = {
    {"win32", VELKOR_WIN32_EXE, VELKOR_WIN32_OBJDUMP, "pei-i386", "010b\t(PE32)"},
    {"win64", VELKOR_WIN64_EXE, VELKOR_WIN64_OBJDUMP, "pei-x86-64", "020b\t(PE32+)"},
};

// The "Name<tabs>value" lines of objdump's private headers, by name.
std::string headerValue(const std::string& dump, const std::string& name) {
  std::istringstream lines(dump);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, name.size(), name) != 0) continue;
    size_t value = line.find_first_not_of('\t', name.size());
    if (value == name.size() || value == std::string::npos) continue;
    return line.substr(value);
  }
  return "";
}

std::set<std::string> importedDlls(const std::string& dump) {
  std::set<std::string> dlls;
  std::istringstream lines(dump);
  std::string line;
  const std::string tag = "DLL Name: ";
  while (std::getline(lines, line)) {
    size_t at = line.find(tag);
    if (at == std::string::npos) continue;
    std::string dll = line.substr(at + tag.size());
    std::transform(dll.begin(), dll.end(), dll.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    dlls.insert(dll);
  }
  return dlls;
}

// The size field of data directory entry `index` ("Entry d 00000000 00000000 ...").
std::string directorySize(const std::string& dump, const std::string& index) {
  std::istringstream lines(dump);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string entry, number, address, size;
    if (words >> entry >> number >> address >> size && entry == "Entry" && number == index) {
      return size;
    }
  }
  return "";
}

class ImageFormat : public ::testing::TestWithParam<ImageCase> {
 protected:
  void SetUp() override {
    const ImageCase& image = GetParam();
    SKIP_OR_FAIL_UNLESS(isRegularFile(image.exePath),
                        std::string("no executable at ") + image.exePath +
                            " (build it with scripts/build-windows.sh)");
    SKIP_OR_FAIL_UNLESS(isExecutableFile(image.objdump),
                        std::string("no objdump at ") + image.objdump);
    ChildResult run = runChild({image.objdump, "-p", image.exePath}, {}, 60000);
    ASSERT_TRUE(run.started) << image.objdump;
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    dump_ = run.out;
  }
  std::string dump_;
};

TEST_P(ImageFormat, IsConsoleProgramForItsMachine) {
  const ImageCase& image = GetParam();
  EXPECT_NE(dump_.find(std::string("file format ") + image.fileFormat + "\n"), std::string::npos)
      << dump_.substr(0, 200);
  EXPECT_EQ(headerValue(dump_, "Magic"), image.magic);
  EXPECT_EQ(headerValue(dump_, "Subsystem"), "00000003\t(Windows CUI)");
}

TEST_P(ImageFormat, ImportsOnlyKernel32AndTheSystemCRunTime) {
  std::set<std::string> dlls = importedDlls(dump_);
  EXPECT_EQ(dlls.count("setupapi.dll"), 0u) << "setupapi.dll must be loaded at run time";
  const std::set<std::string> expected = {"kernel32.dll", "msvcrt.dll"};
  std::string listed;
  for (const auto& dll : dlls) listed += dll + " ";
  EXPECT_EQ(dlls, expected) << "imports: " << listed;
  // Nothing may come in through the delay-load table either.
  EXPECT_EQ(directorySize(dump_, "d"), "00000000");
}

// The setup API is still used: its DLL and the four entry points are named in
// the image for loading at run time.
TEST_P(ImageFormat, NamesTheSetupApiForRunTimeLoading) {
  std::string image;
  ASSERT_TRUE(readWholeFile(GetParam().exePath, &image));
  for (const char* name : {"setupapi.dll", "SetupDiGetClassDevsA", "SetupDiDestroyDeviceInfoList",
                           "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA"}) {
    EXPECT_NE(image.find(std::string(name) + '\0'), std::string::npos) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(WindowsExecutable, ImageFormat, ::testing::ValuesIn(kImages),
                         [](const ::testing::TestParamInfo<ImageCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
