// Privilege reduction on this test process's own token, checked against the token itself and
// against what LookupPrivilegeValueW knows in this same process, so a system that lacks some
// names (Wine lacks six) is measured, not taken as the rule. Removal cannot be undone: this
// program holds no other test that needs a privilege.
#include "service/privileges.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dbwin.h"

namespace {

using Lines = std::vector<std::string>;

const char kDisabling[] = "Ostrival: Disabling all privileges";
const char kRemoving[] = "Ostrival: Removing privileges";
const char kLookupFailed[] = "Ostrival: Lookup Privilege failed.";
const char kNotHeld[] = "Ostrival: The token does not have the specified privilege.";
const char kAdjustFailed[] = "Ostrival: Adjust Privilege failed.";

struct Token {
  HANDLE h = nullptr;
  explicit Token(DWORD access) { OpenProcessToken(GetCurrentProcess(), access, &h); }
  ~Token() {
    if (h != nullptr) CloseHandle(h);
  }
  Token(const Token &) = delete;
  Token &operator=(const Token &) = delete;
};

std::vector<LUID_AND_ATTRIBUTES> held_privileges(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  // In 8-byte units, so the LUIDs inside are aligned.
  std::vector<unsigned long long> buffer(size / 8 + 1);
  if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    ADD_FAILURE() << "GetTokenInformation: error " << GetLastError();
    return {};
  }
  const auto *list = reinterpret_cast<const TOKEN_PRIVILEGES *>(buffer.data());
  return std::vector<LUID_AND_ATTRIBUTES>(list->Privileges,
                                          list->Privileges + list->PrivilegeCount);
}

bool holds(const std::vector<LUID_AND_ATTRIBUTES> &held, LUID luid) {
  for (const LUID_AND_ATTRIBUTES &p : held)
    if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart) return true;
  return false;
}

std::string narrow(const wchar_t *name) {
  std::string text;
  for (; *name != L'\0'; ++name) text += static_cast<char>(*name);  // the names are ASCII
  return text;
}

std::string name_of(LUID luid) {
  wchar_t name[64];
  DWORD length = 64;
  if (!LookupPrivilegeNameW(nullptr, &luid, name, &length))
    return "LUID " + std::to_string(luid.LowPart);
  return narrow(name);
}

Lines listing(const std::vector<LUID_AND_ATTRIBUTES> &held) {
  Lines lines;
  for (const LUID_AND_ATTRIBUTES &p : held) {
    char attributes[16];
    std::snprintf(attributes, sizeof attributes, " 0x%lX",
                  static_cast<unsigned long>(p.Attributes));
    lines.push_back(name_of(p.Luid) + attributes);
  }
  return lines;
}

// What a system starts with is worth knowing: it goes to the test log.
void print_token(const char *when, const std::vector<LUID_AND_ATTRIBUTES> &held) {
  std::printf("%s: %zu privileges\n", when, held.size());
  for (const std::string &line : listing(held)) std::printf("  %s\n", line.c_str());
}

// The lines a reduction gives on a token holding `held`: one per name the system does not
// know, and one per name it knows that the token does not hold.
Lines expected_reduction(const std::vector<LUID_AND_ATTRIBUTES> &held) {
  Lines lines{kDisabling, kRemoving};
  for (const wchar_t *name : kPrivilegesToRemove) {
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid))
      lines.push_back(kLookupFailed);
    else if (!holds(held, luid))
      lines.push_back(kNotHeld);
  }
  return lines;
}

Lines traced(DbwinRecorder *recorder) {
  Lines lines;
  EXPECT_TRUE(recorder->take(&lines)) << "the trace channel did not catch up";
  return lines;
}

TEST(Privileges, ReductionRemovesEveryKnownPrivilegeForGood) {
  DbwinRecorder recorder;
  ASSERT_TRUE(recorder.armed()) << "DBWIN objects: error " << recorder.error();
  Token token(TOKEN_QUERY);
  ASSERT_NE(token.h, nullptr);
  const std::vector<LUID_AND_ATTRIBUTES> before = held_privileges(token.h);
  print_token("held before", before);
  for (const wchar_t *name : kPrivilegesToRemove) {
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid))
      std::printf("unknown to this system: %s\n", narrow(name).c_str());
  }

  reduce_privileges();
  const Lines lines = traced(&recorder);
  for (const std::string &line : lines) std::printf("traced: %s\n", line.c_str());
  EXPECT_EQ(lines, expected_reduction(before));

  const std::vector<LUID_AND_ATTRIBUTES> after = held_privileges(token.h);
  print_token("held after", after);
  for (const wchar_t *name : kPrivilegesToRemove) {
    LUID luid;
    if (LookupPrivilegeValueW(nullptr, name, &luid)) {
      EXPECT_FALSE(holds(after, luid)) << narrow(name) << " is still in the token";
    }
  }

  // Gone, not just disabled: a second reduction finds none of them, which is also what any
  // token that holds none of the table gives.
  reduce_privileges();
  EXPECT_EQ(traced(&recorder), expected_reduction({}));
}

TEST(Privileges, UnknownNameGivesOneLookupFailureAndLeavesTheToken) {
  DbwinRecorder recorder;
  ASSERT_TRUE(recorder.armed()) << "DBWIN objects: error " << recorder.error();
  Token token(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
  ASSERT_NE(token.h, nullptr);
  const std::vector<LUID_AND_ATTRIBUTES> before = held_privileges(token.h);
  remove_privilege(token.h, L"SeNoSuchPrivilege");
  EXPECT_EQ(traced(&recorder), Lines{kLookupFailed});
  EXPECT_EQ(listing(held_privileges(token.h)), listing(before));
}

TEST(Privileges, TokenWithoutAdjustRightGivesOneAdjustFailure) {
  DbwinRecorder recorder;
  ASSERT_TRUE(recorder.armed()) << "DBWIN objects: error " << recorder.error();
  const wchar_t *known = nullptr;
  for (const wchar_t *name : kPrivilegesToRemove) {
    LUID luid;
    if (known == nullptr && LookupPrivilegeValueW(nullptr, name, &luid)) known = name;
  }
  ASSERT_NE(known, nullptr) << "this system knows none of the names";
  Token token(TOKEN_QUERY);
  ASSERT_NE(token.h, nullptr);

  remove_privilege(token.h, known);
  EXPECT_EQ(traced(&recorder), Lines{kAdjustFailed});
}

}  // namespace
