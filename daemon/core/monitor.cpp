#include "daemon/core/monitor.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include "daemon/config/config_read.h"
#include "daemon/config/file_safety.h"
#include "daemon/core/clock.h"
#include "daemon/core/cycle_facts.h"
#include "daemon/core/error.h"
#include "daemon/core/schedule.h"
#include "daemon/core/signals.h"
#include "daemon/core/util.h"
#include "daemon/net/descriptors.h"
#include "daemon/net/surfaces.h"
#include "daemon/report/alerter.h"
#include "daemon/report/logger.h"
#include "daemon/report/pager.h"
#include "daemon/shutdown/shutdown.h"
#include "daemon/shutdown/switch_off_record.h"
#include "daemon/ups/driver.h"
#include "daemon/ups/line.h"
#include "daemon/ups/ups.h"
#include "tornax.h"

namespace tornax {
namespace {

const char *ups_device_name() {
  return settings.ups_filename ? settings.ups_filename->c_str() : "no UPS_DEVICE configured";
}

void log_device(const char *what) {
  writelog(format_text("UPS device %s %s", ups_device_name(), what).c_str());
}

// A read that fails means the device itself is gone (a serial adapter
// unplugged, say): close it so that the next cycles can open it anew.
void drop_serial_line() {
  close(serial_fd);
  serial_fd = -1;
  log_device("failed; trying to open it again every cycle");
}

// Polls the UPS, first opening the line again when it is closed. A line that
// can't be opened counts as a silent UPS, without a report every second.
void poll_serial_line(MonitorState &state, UpsPoll &poll) {
  if (serial_fd < 0) {
    if (!open_serial_line(false)) {
      return;
    }
    log_device("opened");
    identify_ups(state);
  }
  ups_driver().poll(serial_fd, poll);
  if (poll.result < 0) {
    drop_serial_line();
  }
}

// A slot that a cycle counts or raises has moved: only such a slot may fire
// its event (see status_stalled).
void count_event(int n) {
  ++status[n];
  status_stalled[n] = false;
}

void raise_event(int n, unsigned int value = 1) {
  status[n] = value;
  status_stalled[n] = false;
}

void update_communication(bool answered) {
  if (answered) {
    status[COMM_ERROR] = 0;
    if (status[COMM_CONNECT] == 2) {
      raise_event(COMM_CONNECT);
    }
  } else {
    count_event(COMM_ERROR);
    raise_event(COMM_CONNECT, 2);
  }
}

// A UPS that tells no runtime foretells no end of an outage without
// BACKUPTIME: its 0 in the status line would send every remote host waiting
// for its margin (tornaxalert -p) down at the first second on battery. Such
// hosts then follow the thresholds, the low battery and the shutdown itself.
void compute_remain_time() {
  if (settings.powerfail_timeout == 0 && ups_lacks(lacks_runtime)) {
    set_time_left(untold_time_left_seconds);
    return;
  }
  set_time_left(
      seconds_to_powerfail(settings.powerfail_timeout, status[POWERFAIL], ups_backuptime));
}

// Counts the poll's marks; returns the last of them as the mark that tells
// mains ("$") from battery ("!", "*"), '\0' for none. Stray bytes on the
// line can form a well-formed low-battery reply that no framing tells from a
// real one, and low battery halts the host at once: so a low-battery mark
// counts only when the answered cycle before also carried one.
char interpret_marks(MonitorState &state, const UpsPoll &poll) {
  bool low_battery = false;
  for (std::size_t i = 0; i < poll.mark_count; ++i) {
    low_battery = low_battery || poll.marks[i] == UpsMark::low_battery;
  }
  low_battery = low_battery && poll.result > 0;
  const bool confirmed = low_battery && state.power.low_battery_before;
  state.power.low_battery_before = low_battery;
  char last_mark = '\0';
  for (std::size_t i = 0; i < poll.mark_count; ++i) {
    switch (poll.marks[i]) {
      case UpsMark::power_fail:
        count_event(POWERFAIL);
        last_mark = '!';
        break;
      case UpsMark::power_back:
        status[POWERFAIL] = 0;
        raise_event(POWERRETURN);
        last_mark = '$';
        break;
      case UpsMark::low_battery:
        if (confirmed) {
          count_event(LOWBATT);
        }
        last_mark = '*';
        break;
    }
  }
  return last_mark;
}

// A UPS that falls silent on battery (cable pulled, adapter dead) leaves the
// host to die with the battery unless the outage is taken to go on: its
// silent cycles count as cycles on battery.
void track_power(MonitorState &state, char last_mark, const FreshReadings &fresh) {
  if (follow_power(state.power, take_replies_accepted(), last_mark)) {
    count_event(POWERFAIL);
  }
  follow_readings(state.power, fresh);
}

// Remote hosts go down when the time left falls below their own margin, so
// it must be the time left by whichever rule will shut this host down first.
void lower_remain_time(const MonitorState &state) {
  if (const std::optional<unsigned int> left = minutes_to_thresholds(state.power, settings)) {
    set_time_left(std::min(remain_seconds, static_cast<long>(*left) * 60L));
  }
}

// Raises POWERFAIL_DOWN when a cause calls for it; returns the cause and,
// for one, the log line that says why. Once it is due, no time is left: a
// remote host waiting for its margin (tornaxalert -p) must hear it now
// whatever the cause, a silent UPS included, whose last backup time would
// otherwise still stand in the status line while this host halts.
std::pair<ShutdownCause, std::string> decide_powerfail_down(const MonitorState &state) {
  const PowerfailFacts facts{status[POWERFAIL], status[LOWBATT], state.power};
  const ShutdownCause cause = powerfail_cause(facts, settings);
  if (cause == ShutdownCause::none) {
    return {cause, ""};
  }
  set_time_left(0);
  raise_event(POWERFAIL_DOWN);
  return {cause, describe_cause(cause, facts, settings)};
}

void run_countdown(MonitorState &state) {
  if (schedule_down_timer > 0) {
    ++schedule_down_timer;
  }
  if (schedule_down_timer == 0) {
    state.ups_sleep_time = check_shutdown_schedule();
    if (state.ups_sleep_time != 0) {
      schedule_down_timer = 1;
      std::printf("ups_sleep_time =%d\n", static_cast<int>(state.ups_sleep_time));
      std::fflush(stdout);
    }
  }
  if (schedule_down_timer == schedule_countdown) {
    raise_event(SCHEDULE_DOWN);
  }
}

}  // namespace

bool open_serial_line(bool report) {
  if (!settings.ups_filename) {
    serial_fd = -1;
  } else {
    serial_fd = ups_driver().open(settings.ups_filename->c_str());
  }
  if (serial_fd < 0 && report) {
    const char *reason = settings.ups_filename ? std::strerror(errno) : "nothing to open";
    tornax_warn("Cannot open UPS device (%s): %s; monitoring goes on and retries every cycle",
                ups_device_name(), reason);
  }
  return serial_fd >= 0;
}

void identify_ups(MonitorState &) {
  ups_driver().identify(serial_fd);
}

ShutdownDue run_cycle(MonitorState &state) {
  const auto started = std::chrono::steady_clock::now();
  pthread_mutex_lock(&tornax_mutex);
  for (bool &stalled : status_stalled) {
    stalled = true;
  }
  if (status[COMM_CONNECT] == 1) {
    status[COMM_CONNECT] = 0;
  }
  UpsPoll poll;
  poll_serial_line(state, poll);
  state.byte_read = poll.result;
  update_communication(state.byte_read > 0);
  if (status[POWERRETURN] == 1) {
    status[POWERRETURN] = 0;
  }
  compute_remain_time();
  track_power(state, interpret_marks(state, poll), poll.fresh);
  lower_remain_time(state);
  const auto [cause, why] = decide_powerfail_down(state);
  run_countdown(state);
  check_test_schedule(serial_fd);
  pthread_mutex_unlock(&tornax_mutex);

  // Status lines and answers follow now, not after the log and alerts.
  publish_cycle(std::chrono::steady_clock::now() - started, clock_now());
  write_network_log();
  logger();
  alerter();
  sendpager();

  if (status[POWERFAIL_DOWN] != 0 && !why.empty()) {
    writelog(why.c_str());
  }
  state.hooks.after_cycle(std::chrono::steady_clock::now(), clock_now());

  if (status[POWERFAIL_DOWN] != 0) {
    return {POWERFAIL_DOWN, 0, cause};
  }
  if (status[SCHEDULE_DOWN] != 0) {
    return {SCHEDULE_DOWN, state.ups_sleep_time};
  }
  return {};
}

// ---- Signals ---------------------------------------------------------------

namespace {

volatile sig_atomic_t tick_flag = 0;
volatile sig_atomic_t reload_flag = 0;
volatile sig_atomic_t stop_flag = 0;

extern "C" void alarm_handle(int) {
  const int saved_errno = errno;
  tick_flag = 1;
  alarm(1);
  errno = saved_errno;
}

extern "C" void reinit(int) {
  reload_flag = 1;
}

extern "C" void kill_daemon(int) {
  stop_flag = 1;
}

void install_handler(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, nullptr);
}

}  // namespace

SignalWakeSource::SignalWakeSource() {
  install_handler(SIGTERM, kill_daemon);
  install_handler(SIGINT, kill_daemon);
  install_handler(SIGHUP, reinit);
  install_handler(SIGALRM, alarm_handle);
  std::signal(SIGPIPE, SIG_IGN);
  alarm(1);
}

Wakeup SignalWakeSource::wait() {
  const sigset_t signals = daemon_signals();
  sigset_t unblocked;
  pthread_sigmask(SIG_BLOCK, &signals, &unblocked);
  tick_flag = 0;
  while (tick_flag == 0 && reload_flag == 0 && stop_flag == 0) {
    sigsuspend(&unblocked);
  }
  Wakeup wakeup = Wakeup::tick;
  if (stop_flag != 0) {
    wakeup = Wakeup::stop;
  } else if (reload_flag != 0) {
    reload_flag = 0;
    wakeup = Wakeup::reload;
  }
  tick_flag = 0;
  pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
  return wakeup;
}

// ---- The loop --------------------------------------------------------------

void reload_configuration() {
  tornax_warn("Reinitial configuration");
  writelog("Reinitialize configuration");
  bool read = false;
  if (const std::optional<std::string> refusal = unsafe_configuration()) {
    tornax_warn_and_log("%s", refusal->c_str());
  } else {
    // A detached daemon's standard streams go nowhere: the log says why too.
    std::string reason;
    read = config_reload(&reason);
    if (!read && !reason.empty()) {
      writelog(reason.c_str());
    }
  }
  if (!read) {
    writelog("Reading the configuration failed; the previous configuration stays in force");
    return;
  }
  if (settings.ups_protocol != ups_driver().name) {
    // The line, the identification and the outage state belong to the
    // driver that opened them: another one starts with the daemon.
    writelog(format_text("UPS_PROTOCOL %s applies at the next start; the %s driver stays in use",
                         settings.ups_protocol.c_str(), ups_driver().name)
                 .c_str());
  }
  if (schedule_kept_without_statement()) {
    writelog(
        "The configuration names no shutdown schedule; the one in force stays "
        "(SHUTDOWN NONE ends it)");
  }
}

int monitor_loop(MonitorState &state, HostActions &host, WakeSource &wake,
                 ServiceReports &reports) {
  for (;;) {
    const ShutdownDue due = run_cycle(state);
    state.outage.after_cycle();
    if (due.mode != 0) {
      reports.shutting_down();
      down(due.mode, due.ups_sleep_time, host, &state.hooks);
    }
    reports.cycle_completed(current_service_state());
    const Wakeup wakeup = wake.wait();
    if (wakeup == Wakeup::stop) {
      reports.stopping();
      writelog("*** Daemon stopped ***");
      clear_file();
      return 0;
    }
    if (wakeup == Wakeup::reload) {
      reports.reloading();
      reload_configuration();
      reports.reloaded();
    }
  }
}

// ---- Start-up --------------------------------------------------------------

namespace {

// Anyone who could write these could have the daemon run any command as root.
void refuse_unsafe_files() {
  for (const std::optional<std::string> &refusal :
       {unsafe_configuration(), unsafe_shutdown_script()}) {
    if (refusal) {
      tornax_error("%s", refusal->c_str());
    }
  }
}

void start_in_foreground(MonitorState &state) {
  if (getuid() != 0) {
    tornax_error("You don't have root permission");
  }
  getpath();
  refuse_unsafe_files();
  config_read();
  if (const std::optional<std::string> refusal = unsafe_hook(settings)) {
    tornax_error("%s", refusal->c_str());
  }
  check_pidfile();
  if (const UpsDriver *driver = find_ups_driver(settings.ups_protocol)) {
    use_ups_driver(*driver);  // the parser refuses a name that is not in the table
  }
  if (open_serial_line(true)) {
    identify_ups(state);
  }
  std::fprintf(stderr, "Detect %s (%.0fV) on %s\n", ups_version,
               static_cast<double>(ups_linenormal), ups_device_name());
  std::fflush(stderr);
}

void print_banner() {
  std::printf("%s version %s\n", program_title, version_text);
  std::fflush(stdout);
}

void detach() {
  const pid_t child = fork();
  if (child < 0) {
    tornax_error("Cannot fork process.");
  }
  if (child > 0) {
    print_banner();
    _exit(0);
  }
}

void write_pidfile() {
  const int result = make_file();
  if (result == pidfile_exists) {
    tornax_error("PIDFILE exist");
  }
  if (result == pidfile_failed) {
    tornax_warn_and_log("Cannot create PIDFILE %s: %s", pid_filename, std::strerror(errno));
  }
}

}  // namespace

void daemon_main(bool foreground, HostActions &host, Notifier &notifier) {
  schedule_down_timer = 0;
  last_prefixqueue = 0;
  ups_temp = -1.0f;
  ext_status = 0;
  MonitorState state;
  static SystemProcessSpawner spawner;  // outlives the state: down() never returns
  state.hooks.use(spawner);

  raise_descriptor_limit();  // before the configuration is read and checked against it
  start_in_foreground(state);
  if (foreground) {
    print_banner();  // a service manager keeps the process: no fork, no new session
  } else {
    detach();
  }
  SignalWakeSource wake;
  if (!foreground) {
    setsid();
  }
  if (chdir("/") != 0) {
    tornax_warn("Cannot change directory to /");
  }
  umask(022);
  writelog("*** Daemon started ***");
  // A record left behind (a shutdown systemd never carried out) would have a
  // later power-off by the administrator switch the UPS off.
  if (const std::string record = switch_off_record_path(); remove_record(record)) {
    writelog(
        ("Removed the UPS switch-off record " + record + " left from an earlier shutdown").c_str());
  }
  write_pidfile();
  state.outage.start();
  start_network_surfaces();  // each reports its own failure; monitoring goes on

  ServiceReports reports(notifier);
  const int exit_status = monitor_loop(state, host, wake, reports);
  std::fflush(nullptr);
  _exit(exit_status);
}

}  // namespace tornax
