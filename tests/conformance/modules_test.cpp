// Loading a library that is missing, and an entry point that is missing.
#include <windows.h>

#include <gtest/gtest.h>

namespace {

TEST(Modules, AMissingLibraryIsNotFound) {
  EXPECT_EQ(nullptr, LoadLibraryA("velkor-no-such-library.dll"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST(Modules, AMissingEntryPointIsNotFound) {
  HMODULE setupApi = LoadLibraryA("setupapi.dll");
  ASSERT_NE(nullptr, setupApi);
  EXPECT_NE(nullptr, GetProcAddress(setupApi, "SetupDiGetClassDevsA"));
  EXPECT_EQ(nullptr, GetProcAddress(setupApi, "SetupDiNoSuchFunctionA"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
  EXPECT_TRUE(FreeLibrary(setupApi));
}

}  // namespace
