// The service runtime driven through its hooks: the manager, the status reports, the wait and
// the transmit cycle are fakes, so nothing reaches a service manager or the network.
#include "service/runtime.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "recorder.h"

namespace {

const char kShutdown[] = "Ostrival Service: Shutdown Request.";
const char kTransmitting[] = "Ostrival Service: Transmitting update.";
const char kBadResult[] = "Ostrival Service: WaitForSingleObject - bad result.";

// Every report sends the whole record; only the state and the accepted controls ever move.
std::string report(const SERVICE_STATUS &s, bool event_set = false) {
  char text[160];
  std::snprintf(text, sizeof text,
                "report type 0x%lX state %lu controls 0x%lX exit %lu/%lu %lu %lu%s",
                s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint,
                event_set ? " (stop event set)" : "");
  return text;
}
std::string report(DWORD state, DWORD controls, bool event_set = false) {
  return report(SERVICE_STATUS{SERVICE_WIN32, state, controls, NO_ERROR, 0, 0, 0}, event_set);
}

// What the fakes are told and what they saw. The hooks are plain function pointers, so the
// fakes reach the running test through these.
std::mutex g_lock;
Lines g_calls;
std::vector<DWORD> g_report_threads;
std::deque<DWORD> g_waits;  // what the fake wait returns, in turn
void (*g_during_first_wait)() = nullptr;
bool g_register_ok = true;
int g_cycles = 0;

void note(const std::string &call) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_calls.push_back(call);
}

LPHANDLER_FUNCTION_EX g_registered = nullptr;
bool fake_register(LPHANDLER_FUNCTION_EX handler) {
  note("register");
  g_registered = handler;
  return g_register_ok;
}

// Notes whether the stop event is set, putting back what looking took from it.
void fake_report(const SERVICE_STATUS &status) {
  const bool set = WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0;
  if (set) SetEvent(g_stop_event);
  std::lock_guard<std::mutex> hold(g_lock);
  g_calls.push_back(report(status, set));
  g_report_threads.push_back(GetCurrentThreadId());
}

std::string last_call() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_calls.back();
}

std::size_t reports_so_far() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_report_threads.size();
}

void fake_cycle() {
  note("cycle");
  OutputDebugStringA(("test: cycle " + std::to_string(++g_cycles)).c_str());
}

DWORD fake_wait(HANDLE event, DWORD timeout_ms) {
  note(event == g_stop_event ? "wait " + std::to_string(timeout_ms) : "wait on another handle");
  if (void (*action)() = std::exchange(g_during_first_wait, nullptr)) action();
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_waits.empty()) return WAIT_OBJECT_0;  // ends a loop that waits more than scripted
  return std::exchange(g_waits, std::deque<DWORD>(g_waits.begin() + 1, g_waits.end())).front();
}

ServiceHooks fakes() {
  return ServiceHooks{fake_register, fake_report, kBroadcastIntervalMs, fake_cycle, fake_wait};
}

class Runtime : public testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    g_report_threads.clear();
    g_register_ok = true;
    g_cycles = 0;
    // Auto-reset and unsignalled, as the entry creates it.
    g_stop_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(g_stop_event, nullptr);
    ASSERT_TRUE(recorder_.armed());
  }
  void TearDown() override { CloseHandle(std::exchange(g_stop_event, nullptr)); }
  Recorder recorder_;
};

TEST_F(Runtime, ReportsTheLifeAndCyclesOnlyAfterEachTimeOut) {
  g_waits = {WAIT_TIMEOUT, WAIT_FAILED, WAIT_OBJECT_0 + 1, WAIT_TIMEOUT, WAIT_OBJECT_0};
  run_service(fakes());
  EXPECT_EQ(g_calls,
            (Lines{"register", report(SERVICE_START_PENDING, 0), report(SERVICE_RUNNING, 0x4D),
                   "wait 128000", "cycle", "wait 128000", "wait 128000", "wait 128000", "cycle",
                   "wait 128000", report(SERVICE_STOP_PENDING, 0x4D), report(SERVICE_STOPPED, 0)}));
  EXPECT_EQ(recorder_.take(), (Lines{kTransmitting, "test: cycle 1", kBadResult, kBadResult,
                                     kTransmitting, "test: cycle 2", kShutdown}));
}

TEST_F(Runtime, ServiceThatCannotRegisterReportsNothing) {
  g_register_ok = false;
  run_service(fakes());
  EXPECT_EQ(g_calls, Lines{"register"});
  EXPECT_EQ(recorder_.take(), Lines{});
}

// Where the stack stands, from a frame of its own: called through a volatile pointer, so never
// inlined.
std::uintptr_t g_stack_mark;
void mark_stack() {
  volatile char here = 0;
  g_stack_mark = reinterpret_cast<std::uintptr_t>(&here);
}
void (*volatile g_mark_stack)() = mark_stack;
std::uintptr_t stack_here() {
  g_mark_stack();
  return g_stack_mark;
}

// The manager calls the handler through this very type. On x86 a handler of another calling
// convention leaves the stack 16 bytes lower after each call.
TEST_F(Runtime, HandlerTakesTheManagersCallingConvention) {
  g_waits = {WAIT_OBJECT_0};
  run_service(fakes());
  const std::uintptr_t before = stack_here();
  for (int i = 0; i < 100; ++i) g_registered(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr);
  EXPECT_EQ(stack_here(), before);
}

// A control sent while the service idles in its first wait: what it returns and reports, then
// the record and the stop event as it leaves them.
DWORD g_control, g_result;
Lines g_control_calls;
void send_control() {
  const std::size_t before = g_calls.size();
  g_result = handle_control(g_control, fakes());
  g_control_calls.assign(g_calls.begin() + before, g_calls.end());
  g_control_calls.push_back(
      report(current_status(), WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0));
}

TEST_F(Runtime, ControlsAreAnsweredAsAccepted) {
  const std::string running = report(SERVICE_RUNNING, 0x4D);
  const std::string stopping = report(SERVICE_STOP_PENDING, 0x4D);
  const std::string stopping_set = report(SERVICE_STOP_PENDING, 0x4D, true);
  // Stop and shutdown report before and after setting the event; what is accepted and needs
  // nothing changes nothing; every other code is not implemented.
  std::vector<std::tuple<DWORD, DWORD, Lines>> cases = {
      {SERVICE_CONTROL_STOP, NO_ERROR, {stopping, stopping_set, stopping_set}},
      {SERVICE_CONTROL_SHUTDOWN, NO_ERROR, {stopping, stopping_set, stopping_set}}};
  for (DWORD c :
       {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PARAMCHANGE, SERVICE_CONTROL_POWEREVENT})
    cases.push_back({c, NO_ERROR, {running}});
  for (DWORD c : {0u,  2u,  3u,  7u,  8u,   9u,   10u,  11u,  12u,         14u,
                  15u, 16u, 32u, 64u, 127u, 128u, 255u, 256u, 0x7FFFFFFFu, 0xFFFFFFFFu})
    cases.push_back({c, ERROR_CALL_NOT_IMPLEMENTED, {running}});
  for (const auto &[control, result, calls] : cases) {
    SCOPED_TRACE(control);
    ResetEvent(g_stop_event);
    g_control = control;
    g_waits = {WAIT_OBJECT_0};
    g_during_first_wait = send_control;
    run_service(fakes());
    EXPECT_EQ(g_result, result);
    EXPECT_EQ(g_control_calls, calls);
  }
  EXPECT_EQ(recorder_.take(), Lines(cases.size(), kShutdown));
}

// The manager may run the handler under a lock of its own that SetServiceStatus takes too, so a
// report made while the status lock is held can deadlock a stop. Each report here checks that
// another thread can read the record meanwhile.
int g_reports_under_lock = 0;
DWORD WINAPI read_status(LPVOID) {
  current_status();
  return 0;
}
void report_checking_lock(const SERVICE_STATUS &status) {
  HANDLE reader = CreateThread(nullptr, 0, read_status, nullptr, 0, nullptr);
  // Guards against a hang, not a measurement.
  if (reader == nullptr || WaitForSingleObject(reader, 5000) != WAIT_OBJECT_0)
    ++g_reports_under_lock;
  fake_report(status);
  if (reader != nullptr) CloseHandle(reader);
}
ServiceHooks checking_lock() {
  ServiceHooks hooks = fakes();
  hooks.report = report_checking_lock;
  return hooks;
}

TEST_F(Runtime, NoReportIsMadeUnderTheStatusLock) {
  g_waits = {WAIT_OBJECT_0};
  g_during_first_wait = [] { handle_control(SERVICE_CONTROL_STOP, checking_lock()); };
  run_service(checking_lock());
  EXPECT_EQ(g_report_threads.size(), 6u);  // two at start, two from the handler, two at the end
  EXPECT_EQ(g_reports_under_lock, 0);
  EXPECT_EQ(recorder_.take(), Lines{kShutdown});
}

DWORD real_wait(HANDLE event, DWORD timeout_ms) { return WaitForSingleObject(event, timeout_ms); }

// The handler's second report, on the dispatcher thread, is held back until the service thread
// has reported the stop: the interleaving that once let a stop-pending report follow it. Where
// the service thread rightly waits for the handler, the hold gives up after 2 s.
DWORD g_dispatcher_thread;
int g_dispatcher_reports;
void report_second_late(const SERVICE_STATUS &status) {
  if (GetCurrentThreadId() == g_dispatcher_thread && ++g_dispatcher_reports == 2)
    for (int i = 0; i < 200 && last_call() != report(SERVICE_STOPPED, 0); ++i) Sleep(10);
  fake_report(status);
}

TEST_F(Runtime, StopFromTheDispatcherThreadIsReportedLast) {
  g_dispatcher_thread = GetCurrentThreadId();
  g_dispatcher_reports = 0;
  const ServiceHooks hooks{fake_register, report_second_late, INFINITE, fake_cycle, real_wait};
  std::thread service([&hooks] { run_service(hooks); });
  // Until the running report; the loops guard against a hang, they measure nothing.
  for (int i = 0; i < 6000 && reports_so_far() < 2; ++i) Sleep(10);
  EXPECT_EQ(handle_control(SERVICE_CONTROL_STOP, hooks), static_cast<DWORD>(NO_ERROR));
  for (int i = 0; i < 6000 && reports_so_far() < 6; ++i) Sleep(10);
  if (reports_so_far() < 6) {
    ADD_FAILURE() << "the stop did not reach the service thread";
    SetEvent(g_stop_event);
  }
  service.join();
  Lines ours, handlers;
  for (std::size_t i = 0; i < g_report_threads.size(); ++i)
    (g_report_threads[i] == g_dispatcher_thread ? handlers : ours).push_back(g_calls[i + 1]);
  EXPECT_EQ(ours, (Lines{report(SERVICE_START_PENDING, 0), report(SERVICE_RUNNING, 0x4D),
                         report(SERVICE_STOP_PENDING, 0x4D), report(SERVICE_STOPPED, 0)}));
  // The handler's first report comes before the event lets the service thread go on.
  ASSERT_EQ(handlers.size(), 2u);
  EXPECT_EQ(handlers[0], report(SERVICE_STOP_PENDING, 0x4D));
  EXPECT_EQ(g_calls[3], handlers[0]);
  // The manager takes nothing after the stopped report.
  EXPECT_EQ(g_calls.back(), report(SERVICE_STOPPED, 0));
  // A stop that comes once the service has stopped reports nothing.
  EXPECT_EQ(handle_control(SERVICE_CONTROL_STOP, hooks), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(g_report_threads.size(), 6u);
  EXPECT_EQ(g_cycles, 0);
  EXPECT_EQ(recorder_.take(), Lines{kShutdown});
}

}  // namespace
