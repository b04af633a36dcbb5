// The service runtime driven through its hooks: the manager, the status reports, the wait and
// the transmit cycle are all fakes here, so nothing reaches a service manager or the network.
// The trace lines are read back in-process from the debug-output channel.
#include "service/runtime.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dbwin.h"

namespace {

using Lines = std::vector<std::string>;

const char kShutdown[] = "Ostrival Service: Shutdown Request.";
const char kTransmitting[] = "Ostrival Service: Transmitting update.";
const char kBadResult[] = "Ostrival Service: WaitForSingleObject - bad result.";

struct Report {
  DWORD thread;
  SERVICE_STATUS status;
  bool event_set;  // the stop event's state at the report, when the test peeks at it
};

// What the fakes are told and what they saw. The hooks are plain function pointers, so the
// fakes reach the running test through g_fakes.
struct Fakes {
  std::mutex lock;
  bool register_ok = true;
  std::deque<DWORD> wait_results;
  void (*during_first_wait)() = nullptr;
  bool peek_event = false;
  Lines calls;
  std::vector<Report> reports;
  int cycles = 0;
  HANDLE running = nullptr;  // set once running is reported
  HANDLE stopped = nullptr;  // set once stopped is reported

  ~Fakes() {
    if (running != nullptr) CloseHandle(running);
    if (stopped != nullptr) CloseHandle(stopped);
  }
};
Fakes *g_fakes = nullptr;

void note(const std::string &call) {
  std::lock_guard<std::mutex> hold(g_fakes->lock);
  g_fakes->calls.push_back(call);
}

std::string brief(const SERVICE_STATUS &s) {
  char text[48];
  std::snprintf(text, sizeof text, "report %lu 0x%lX", static_cast<unsigned long>(s.dwCurrentState),
                static_cast<unsigned long>(s.dwControlsAccepted));
  return text;
}

std::string whole(const SERVICE_STATUS &s) {
  char text[128];
  std::snprintf(
      text, sizeof text, "type 0x%lX state %lu controls 0x%lX exit %lu/%lu check %lu hint %lu",
      static_cast<unsigned long>(s.dwServiceType), static_cast<unsigned long>(s.dwCurrentState),
      static_cast<unsigned long>(s.dwControlsAccepted),
      static_cast<unsigned long>(s.dwWin32ExitCode),
      static_cast<unsigned long>(s.dwServiceSpecificExitCode),
      static_cast<unsigned long>(s.dwCheckPoint), static_cast<unsigned long>(s.dwWaitHint));
  return text;
}

// Every report sends the whole record: only the state and the accepted controls ever move.
std::string record(DWORD state, DWORD controls) {
  return whole(SERVICE_STATUS{SERVICE_WIN32, state, controls, NO_ERROR, 0, 0, 0});
}

bool fake_register() {
  note("register");
  return g_fakes->register_ok;
}

bool stop_event_is_set() {
  if (WaitForSingleObject(g_stop_event, 0) != WAIT_OBJECT_0) return false;
  SetEvent(g_stop_event);  // auto-reset: looking took it, so put it back
  return true;
}

void fake_report(const SERVICE_STATUS &status) {
  const bool event_set = g_fakes->peek_event && stop_event_is_set();
  {
    std::lock_guard<std::mutex> hold(g_fakes->lock);
    g_fakes->calls.push_back(brief(status));
    g_fakes->reports.push_back(Report{GetCurrentThreadId(), status, event_set});
  }
  if (status.dwCurrentState == SERVICE_RUNNING && g_fakes->running != nullptr)
    SetEvent(g_fakes->running);
  if (status.dwCurrentState == SERVICE_STOPPED && g_fakes->stopped != nullptr)
    SetEvent(g_fakes->stopped);
}

void fake_cycle() {
  int n = 0;
  {
    std::lock_guard<std::mutex> hold(g_fakes->lock);
    n = ++g_fakes->cycles;
    g_fakes->calls.push_back("cycle");
  }
  // Into the trace as well, so the lines show where each cycle ran.
  OutputDebugStringA(("test: cycle " + std::to_string(n)).c_str());
}

DWORD scripted_wait(HANDLE event, DWORD timeout_ms) {
  note(event == g_stop_event ? "wait " + std::to_string(timeout_ms) : "wait on another handle");
  if (void (*action)() = std::exchange(g_fakes->during_first_wait, nullptr)) action();
  std::lock_guard<std::mutex> hold(g_fakes->lock);
  if (g_fakes->wait_results.empty()) {
    // Ends a loop that waits more often than the test expects.
    g_fakes->calls.push_back("wait beyond the script");
    return WAIT_OBJECT_0;
  }
  const DWORD result = g_fakes->wait_results.front();
  g_fakes->wait_results.pop_front();
  return result;
}

DWORD real_wait(HANDLE event, DWORD timeout_ms) { return WaitForSingleObject(event, timeout_ms); }

ServiceHooks fake_hooks() {
  return ServiceHooks{fake_register, fake_report, kBroadcastIntervalMs, fake_cycle, scripted_wait};
}

class Runtime : public testing::Test {
 protected:
  void SetUp() override {
    g_fakes = &fakes_;
    // Auto-reset and unsignalled, as the entry creates it.
    g_stop_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(g_stop_event, nullptr);
    ASSERT_TRUE(recorder_.armed()) << "DBWIN objects: error " << recorder_.error();
  }

  void TearDown() override {
    if (g_stop_event != nullptr) CloseHandle(g_stop_event);
    g_stop_event = nullptr;
    g_fakes = nullptr;
  }

  Lines traces() {
    Lines lines;
    EXPECT_TRUE(recorder_.take(&lines)) << "the trace channel did not catch up";
    return lines;
  }

  Fakes fakes_;
  DbwinRecorder recorder_;
};

TEST_F(Runtime, ServiceReportsStartRunningThenStopAndBroadcastsOnlyAfterAnInterval) {
  fakes_.wait_results = {WAIT_TIMEOUT, WAIT_OBJECT_0};
  run_service(fake_hooks());

  EXPECT_EQ(fakes_.calls, (Lines{"register", "report 2 0x0", "report 4 0x4D", "wait 128000",
                                 "cycle", "wait 128000", "report 3 0x4D", "report 1 0x0"}));
  Lines records;
  for (const Report &r : fakes_.reports) records.push_back(whole(r.status));
  EXPECT_EQ(records, (Lines{record(SERVICE_START_PENDING, 0), record(SERVICE_RUNNING, 0x4D),
                            record(SERVICE_STOP_PENDING, 0x4D), record(SERVICE_STOPPED, 0)}));
  EXPECT_EQ(traces(), (Lines{kTransmitting, "test: cycle 1", kShutdown}));
  // 2^7 s, the interval the packet announces; 120 s would be a quiet drift.
  EXPECT_EQ(real_service_hooks().interval_ms, 128000u);
}

TEST_F(Runtime, ServiceThatCannotRegisterReportsNothing) {
  fakes_.register_ok = false;
  run_service(fake_hooks());
  EXPECT_EQ(fakes_.calls, Lines{"register"});
  EXPECT_EQ(traces(), Lines{});
}

// The control handler's whole effect, sent while the service thread is idle in its first wait.
struct ControlOutcome {
  DWORD result = 0xDEADBEEF;
  std::vector<Report> reports;
  bool event_set = false;
  std::string before, after;
};
ControlOutcome g_outcome;
DWORD g_control = 0;

void send_control() {
  std::size_t reported = 0;
  {
    std::lock_guard<std::mutex> hold(g_fakes->lock);
    reported = g_fakes->reports.size();
  }
  g_outcome.before = whole(current_status());
  g_outcome.result = handle_control(g_control, fake_hooks());
  g_outcome.after = whole(current_status());
  g_outcome.event_set = WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0;
  std::lock_guard<std::mutex> hold(g_fakes->lock);
  g_outcome.reports.assign(g_fakes->reports.begin() + reported, g_fakes->reports.end());
}

class Control : public Runtime {
 protected:
  ControlOutcome send_while_running(DWORD control) {
    g_outcome = ControlOutcome{};
    g_control = control;
    fakes_.wait_results = {WAIT_OBJECT_0};
    fakes_.during_first_wait = send_control;
    fakes_.peek_event = true;
    run_service(fake_hooks());
    // Whatever the control did, the handler itself writes no trace line.
    EXPECT_EQ(traces(), Lines{kShutdown});
    EXPECT_EQ(g_outcome.before, record(SERVICE_RUNNING, 0x4D));
    return g_outcome;
  }
};

TEST_F(Control, StopAndShutdownReportStopPendingAroundSettingTheEvent) {
  for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
    SCOPED_TRACE(control);
    const ControlOutcome o = send_while_running(control);
    EXPECT_EQ(o.result, 0u);
    ASSERT_EQ(o.reports.size(), 2u);
    EXPECT_EQ(whole(o.reports[0].status), record(SERVICE_STOP_PENDING, 0x4D));
    EXPECT_FALSE(o.reports[0].event_set);
    EXPECT_EQ(whole(o.reports[1].status), record(SERVICE_STOP_PENDING, 0x4D));
    EXPECT_TRUE(o.reports[1].event_set);
    EXPECT_TRUE(o.event_set);
    EXPECT_EQ(o.after, record(SERVICE_STOP_PENDING, 0x4D));
  }
}

TEST_F(Control, InterrogateParamChangeAndPowerEventAreAcceptedAndChangeNothing) {
  for (DWORD control :
       {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PARAMCHANGE, SERVICE_CONTROL_POWEREVENT}) {
    SCOPED_TRACE(control);
    const ControlOutcome o = send_while_running(control);
    EXPECT_EQ(o.result, 0u);
    EXPECT_TRUE(o.reports.empty());
    EXPECT_FALSE(o.event_set);
    EXPECT_EQ(o.after, o.before);
  }
}

TEST_F(Control, EveryOtherCodeIsNotImplementedAndChangesNothing) {
  // Pause and continue, the 7 to 12 range, the codes after power event, the user range
  // (128-255) and beyond.
  const DWORD others[] = {0,  2,  3,  7,  8,   9,   10,  11,  12,         14,
                          15, 16, 32, 64, 127, 128, 255, 256, 0x7FFFFFFF, 0xFFFFFFFF};
  for (DWORD control : others) {
    SCOPED_TRACE(control);
    const ControlOutcome o = send_while_running(control);
    EXPECT_EQ(o.result, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_TRUE(o.reports.empty());
    EXPECT_FALSE(o.event_set);
    EXPECT_EQ(o.after, o.before);
  }
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

ServiceHooks checking_hooks() {
  ServiceHooks hooks = fake_hooks();
  hooks.report = report_checking_lock;
  return hooks;
}

void stop_checking_lock() { handle_control(SERVICE_CONTROL_STOP, checking_hooks()); }

TEST_F(Runtime, NoReportIsMadeUnderTheStatusLock) {
  g_reports_under_lock = 0;
  fakes_.wait_results = {WAIT_OBJECT_0};
  fakes_.during_first_wait = stop_checking_lock;
  run_service(checking_hooks());
  EXPECT_EQ(fakes_.reports.size(), 6u);  // two at start, two from the handler, two at the end
  EXPECT_EQ(g_reports_under_lock, 0);
  EXPECT_EQ(traces(), Lines{kShutdown});
}

TEST_F(Runtime, StopFromTheDispatcherThreadWhileIdle) {
  for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
    SCOPED_TRACE(control);
    fakes_.reports.clear();
    fakes_.calls.clear();
    fakes_.running = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fakes_.stopped = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(fakes_.running != nullptr && fakes_.stopped != nullptr);
    const ServiceHooks hooks{fake_register, fake_report, INFINITE, fake_cycle, real_wait};
    std::thread service([&hooks] { run_service(hooks); });
    // Guards against a hang, not measurements.
    EXPECT_EQ(WaitForSingleObject(fakes_.running, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(handle_control(control, hooks), 0u);
    if (WaitForSingleObject(fakes_.stopped, 60000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the service thread did not stop";
      SetEvent(g_stop_event);
    }
    service.join();
    CloseHandle(std::exchange(fakes_.running, nullptr));
    CloseHandle(std::exchange(fakes_.stopped, nullptr));

    Lines ours, handlers;
    std::size_t first_handler_report = 0;
    for (std::size_t i = 0; i < fakes_.reports.size(); ++i) {
      const Report &r = fakes_.reports[i];
      if (r.thread != GetCurrentThreadId()) {
        ours.push_back(whole(r.status));
        continue;
      }
      if (handlers.empty()) first_handler_report = i;
      handlers.push_back(whole(r.status));
    }
    EXPECT_EQ(ours, (Lines{record(SERVICE_START_PENDING, 0), record(SERVICE_RUNNING, 0x4D),
                           record(SERVICE_STOP_PENDING, 0x4D), record(SERVICE_STOPPED, 0)}));
    ASSERT_EQ(handlers.size(), 2u);
    // The first report comes before the event lets the service thread go on; the second
    // shows the record as the service thread has got it by then.
    EXPECT_EQ(first_handler_report, 2u);
    EXPECT_EQ(handlers[0], record(SERVICE_STOP_PENDING, 0x4D));
    EXPECT_TRUE(handlers[1] == record(SERVICE_STOP_PENDING, 0x4D) ||
                handlers[1] == record(SERVICE_STOPPED, 0))
        << handlers[1];
    EXPECT_EQ(fakes_.cycles, 0);
    EXPECT_EQ(traces(), Lines{kShutdown});
  }
}

TEST_F(Runtime, LoopRunsOneCycleAfterEachTimeOut) {
  fakes_.wait_results = {WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_OBJECT_0};
  run_loop(fake_hooks());
  EXPECT_EQ(fakes_.calls, (Lines{"wait 128000", "cycle", "wait 128000", "cycle", "wait 128000",
                                 "cycle", "wait 128000"}));
  EXPECT_EQ(traces(), (Lines{kTransmitting, "test: cycle 1", kTransmitting, "test: cycle 2",
                             kTransmitting, "test: cycle 3", kShutdown}));
}

TEST_F(Runtime, LoopTracesAndRetriesEveryOtherWaitResult) {
  // A second handle's index, failure, an abandoned mutex and an I/O completion: none of them
  // is the stop event or a time-out.
  fakes_.wait_results = {WAIT_OBJECT_0 + 1,  WAIT_FAILED,  WAIT_ABANDONED,
                         WAIT_IO_COMPLETION, WAIT_TIMEOUT, WAIT_OBJECT_0};
  run_loop(fake_hooks());
  EXPECT_EQ(fakes_.cycles, 1);
  EXPECT_EQ(fakes_.calls.size(), 7u);
  EXPECT_EQ(traces(), (Lines{kBadResult, kBadResult, kBadResult, kBadResult, kTransmitting,
                             "test: cycle 1", kShutdown}));
}

}  // namespace
