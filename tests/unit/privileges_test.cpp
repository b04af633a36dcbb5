// Privilege reduction on this test process's own token, judged by the token itself and by
// what LookupPrivilegeValueW knows in this same process, so a system that lacks some names
// (Wine lacks six) is measured, not taken as the rule. Removal cannot be undone, so no other
// test that needs a privilege lives in this program.
#include "service/privileges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "recorder.h"

namespace {

const char kLookupFailed[] = "Ostrival: Lookup Privilege failed.";
const char kNotHeld[] = "Ostrival: The token does not have the specified privilege.";

struct Token {
  HANDLE h = nullptr;
  explicit Token(DWORD access) { OpenProcessToken(GetCurrentProcess(), access, &h); }
  ~Token() {
    if (h != nullptr) CloseHandle(h);
  }
  Token(const Token &) = delete;
  Token &operator=(const Token &) = delete;
};

// The names of the privileges the token holds, enabled or not.
Lines held(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<unsigned long long> buffer(size / 8 + 1);  // 8-byte units keep the LUIDs aligned
  EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size));
  const auto *list = reinterpret_cast<const TOKEN_PRIVILEGES *>(buffer.data());
  Lines names;
  for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
    char name[64];
    DWORD length = sizeof name;
    LUID luid = list->Privileges[i].Luid;
    names.push_back(LookupPrivilegeNameA(nullptr, &luid, name, &length) ? name : "(unnamed)");
  }
  return names;
}

// The lines a reduction gives on a token holding `holds`: one per name the system does not
// know, and one per name it knows that the token does not hold.
Lines expected_reduction(const Lines &holds) {
  Lines lines{"Ostrival: Disabling all privileges", "Ostrival: Removing privileges"};
  for (const wchar_t *name : kPrivilegesToRemove) {
    LUID luid;
    char narrow[64];
    WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, sizeof narrow, nullptr, nullptr);
    if (!LookupPrivilegeValueW(nullptr, name, &luid))
      lines.push_back(kLookupFailed);
    else if (std::find(holds.begin(), holds.end(), narrow) == holds.end())
      lines.push_back(kNotHeld);
  }
  return lines;
}

TEST(Privileges, ReductionRemovesEveryPrivilegeForGood) {
  Recorder recorder;
  ASSERT_TRUE(recorder.armed());
  Token token(TOKEN_QUERY);
  ASSERT_NE(token.h, nullptr);
  const Lines before = held(token.h);
  ASSERT_FALSE(before.empty()) << "nothing to remove here";

  reduce_privileges();
  EXPECT_EQ(recorder.take(), expected_reduction(before));
  // Every privilege this process held is in the table, so none may be left.
  EXPECT_EQ(held(token.h), Lines{});
  // Gone, not just disabled: a second reduction finds none of them, which is also what a token
  // that holds none of the table gives.
  reduce_privileges();
  EXPECT_EQ(recorder.take(), expected_reduction({}));
}

TEST(Privileges, TokenWithoutAdjustRightGivesOneAdjustFailure) {
  Recorder recorder;
  ASSERT_TRUE(recorder.armed());
  Token token(TOKEN_QUERY);
  remove_privilege(token.h, L"SeShutdownPrivilege");
  EXPECT_EQ(recorder.take(), Lines{"Ostrival: Adjust Privilege failed."});
}

}  // namespace
