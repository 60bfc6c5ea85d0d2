// CloseHandle, and what becomes of a handle value after it.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Handles, ClosingAnInvalidHandleFails) {
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event)) << "a second close of a value nobody got again";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// A closed handle's value goes to a later object soon, so a second close of
// a stale value closes that object.
TEST(Handles, AClosedValueIsGivenOutAgainAndASecondCloseHitsItsNewObject) {
  HANDLE first = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, first);
  ASSERT_TRUE(CloseHandle(first));
  std::vector<HANDLE> later;
  HANDLE reused = nullptr;
  for (int i = 0; i < 16 && reused == nullptr; i++) {
    HANDLE next = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    later.push_back(next);
    if (next == first) reused = next;
  }
  EXPECT_EQ(first, reused) << "the value was not given out again within 16 objects";
  if (reused != nullptr) {
    ASSERT_TRUE(CloseHandle(first));  // the stale close
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(reused, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
  for (HANDLE handle : later) {
    if (handle != reused) CloseHandle(handle);
  }
}

}  // namespace
