// The daemon's header: the per-event settings records, the schedule records,
// the daemon's settings and the state that the monitoring cycle publishes,
// on top of what it shares with the client (tornax_shared.h) and the status
// stream's facts (wire_protocol.h). The daemon defines every global declared
// here (daemon/core/state.cpp); the client never includes it.
#ifndef TORNAX_TORNAX_H
#define TORNAX_TORNAX_H

#include <pthread.h>

#include <array>
#include <atomic>
#include <compare>
#include <cstddef>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tornax_shared.h"
#include "wire_protocol.h"

namespace tornax {

// Alert scopes of `alert_record::who`.
inline constexpr int scope_none = 0;
inline constexpr int scope_console = 1;
inline constexpr int scope_all = 2;

struct alert_record {
  int who = 0;          // scope_none, scope_console or scope_all
  int interval = 0;     // repeat interval in seconds (cycles); 0 alerts once
  std::string message;  // the alert text
  int found = 0;        // 1 once the event's alert statement was read
};

struct logcontrol_record {
  int enable = 0;  // 1: the event is written to the log
  int found = 0;   // 1 once the event's log statement was read
};

struct pager_record {
  int enable = 0;       // 1: the event is sent to the pager
  std::string message;  // the text sent to the modem
};

// Schedule records. Every time is a local broken-down time of which only the
// fields the schedule uses are meaningful; the others stay zero.
struct shutdown_schedule {
  struct tm uptime {};    // when power is to come back
  struct tm downtime {};  // when the host goes down
};

struct test_schedule {
  struct tm time {};  // when a UPS self-test is due (day, month, hour, minute)
  int executed = 0;   // 1 while the test has already run in its matching minute
};

struct shutdown_apply_struct {
  struct tm begin {};  // first weekday of the working period (tm_wday only)
  struct tm end {};    // last weekday of the working period (tm_wday only)
};

inline constexpr int max_schedule_entries = 50;

// Values of `shutdown_schedule_mode`.
inline constexpr int schedule_none = 0;
inline constexpr int schedule_daily = 1;
inline constexpr int schedule_daily_apply = 2;
inline constexpr int schedule_weekly = 3;
inline constexpr int schedule_manual = 4;

inline constexpr int default_nut_max_client = 16;
inline constexpr int default_nut_hostsync = 15;
inline constexpr const char *default_nut_upsname = "tornax";
inline constexpr unsigned int default_exec_timeout = 30;  // seconds
inline constexpr unsigned int default_restart_sleep = 3;  // minutes
inline constexpr int max_restart_sleep = 9999;            // minutes
inline constexpr const char *default_ups_protocol = "classic";
inline constexpr double max_battery_volts = 1000.0;
inline constexpr unsigned int default_shutdown_deadline = 120;  // seconds
inline constexpr int max_shutdown_deadline = 3600;              // seconds

// How the host is brought down (HOST_SHUTDOWN): by the daemon's own sequence
// (direct), by an orderly power-off asked of systemd (init), or by whichever
// fits the running init (automatic: init when systemd runs as PID 1).
enum class HostShutdown { automatic, init, direct };

// An IPv4 or IPv6 address as the network carries it (IPv4 in the first four
// bytes). Ordered, so it can key a table of source addresses.
struct IpAddress {
  int family = 0;                         // AF_INET or AF_INET6; 0 before it is set
  std::array<unsigned char, 16> bytes{};  // network byte order
  unsigned int scope_id = 0;              // interface of an IPv6 link-local address
  auto operator<=>(const IpAddress &) const = default;
};

// The addresses whose first `prefix` bits equal those of `address`.
struct IpNetwork {
  IpAddress address;
  int prefix = 0;
};

// The certificate of the network UPS server (daemon/net/tls_certificate.h).
class TlsCertificate;

// An account that clients of the network UPS protocol log in with (NUT_USER).
struct NutAccount {
  std::string name;
  std::string password;
};

// The daemon's configuration: everything the configuration file sets. A
// reading fills a copy and commits it in one step under `tornax_mutex`, so a
// failed reload leaves the settings in force untouched. Only the main thread
// writes `settings`; other threads read it under `tornax_mutex`. Texts that
// were never set are empty optionals, which differs from an empty text.
struct Settings {
  alert_record alert[event_count];
  logcontrol_record log_control[event_count];
  pager_record pager[event_count];
  std::optional<std::string> modem_filename;  // pager modem device
  std::optional<std::string> ups_filename;    // UPS serial line
  std::optional<std::string> wall_cmd;        // broadcast program, run through the shell
  std::optional<std::string> ups_location;    // site text sent to remote clients
  int turnoff_ups = 0;                        // 1: switch the UPS off after a power-fail shutdown
  unsigned int logsize = 0;                   // log size limit in KiB, 0 no limit
  unsigned int powerfail_timeout = 0;         // seconds on battery before shutdown, 0 never
  unsigned int silent_shutdown = 60;          // seconds silent on battery before shutdown, 0 never
  // Like the network statements below, the thresholds and the hooks start
  // from their defaults at every reading: removed from the file, they are
  // off after a reload.
  unsigned int shutdown_runtime = 0;  // seconds of UPS backup time to shut down below, 0 off
  unsigned int shutdown_charge = 0;   // battery percent to shut down below, 0 off
  std::optional<std::string> exec[event_count];  // <EVENT>_EXEC: program run as the event begins
  unsigned int exec_timeout = default_exec_timeout;  // EXEC_TIMEOUT: seconds a hook may run
  int adapter_type = 0;                              // stored as written, read by nothing
  int ups_shutdown_delay = 0;                        // sent with the UPS shutdown-delay command
  // RESTART_SLEEP: minutes the UPS is told to stay off, instead of 0, when
  // the mains are back by the time it is switched off (so that it cycles the
  // power and the host boots again); 0 sends 0 all the same. Like the
  // thresholds, it starts from its default at every reading.
  unsigned int restart_sleep = default_restart_sleep;
  // UPS_PROTOCOL: the driver that talks to the UPS, chosen at start-up (a
  // reload that changes it applies at the next start). Starts from its
  // default at every reading.
  std::string ups_protocol = default_ups_protocol;
  // HOST_SHUTDOWN and SHUTDOWN_DEADLINE (seconds the orderly power-off of the
  // init path may take before the host is forced down); both start from
  // their defaults at every reading.
  HostShutdown host_shutdown = HostShutdown::automatic;
  unsigned int shutdown_deadline = default_shutdown_deadline;
  // BATTERY_VOLTAGE_LOW and BATTERY_VOLTAGE_HIGH: the whole battery's voltage
  // empty and full, between which a UPS that reports only its battery voltage
  // has its charge estimated; 0 each: from the battery's cells. Like the
  // thresholds, they start from 0 at every reading.
  double battery_voltage_low = 0.0;
  double battery_voltage_high = 0.0;
  int port = default_port;  // TCP port of the status server
  int max_client = 0;       // clients served at once, 0 no server
  // Who may reach the network surfaces. Unlike the settings above, these four
  // start from their defaults at every reading: a statement removed from the
  // file is no longer in force after a reload.
  std::vector<IpAddress> listen;               // LISTEN; empty: every IPv4 interface
  std::vector<IpNetwork> allow;                // ALLOW; empty: every host
  int max_client_per_host = 0;                 // places one source address may hold, 0 any
  int http_port = 0;                           // HTTP_PORT of the HTTP endpoint, 0 none
  std::optional<std::string> status_key_file;  // STATUS_KEY
  std::optional<StatusKey> status_key;         // its key, read with the configuration
  // The network UPS protocol server; these too start from their defaults at
  // every reading.
  int nut_port = 0;                                       // NUT_PORT; 0: no server
  std::string nut_upsname = default_nut_upsname;          // the UPS's name in that protocol
  int nut_max_client = default_nut_max_client;            // its connections served at once
  std::vector<NutAccount> nut_users;                      // NUT_USER accounts
  int nut_hostsync = default_nut_hostsync;                // seconds a shutdown waits for them
  std::optional<std::string> nut_certfile;                // NUT_CERTFILE: offered after STARTTLS
  std::shared_ptr<const TlsCertificate> nut_certificate;  // read with the configuration
  bool nut_require_tls = false;                           // NUT_REQUIRE_TLS: no login in the clear
  int shutdown_schedule_mode = schedule_none;
  shutdown_schedule shutdown_schedule_list[max_schedule_entries];
  int num_shutdown_schedule = 0;
  shutdown_apply_struct schedule_apply;
  test_schedule test_schedule_list[max_schedule_entries];
  int num_test_schedule = 0;
};

extern Settings settings;

// ---- State published by the monitoring cycle -------------------------------
// The main thread is the only writer. Measurements, `remain_time`,
// `ups_teststatus` and `schedule_down_timer` change only under `tornax_mutex`;
// `ext_status` is written outside it and read without it.

// True for an event whose slot the last cycle did not move (no mark counted,
// no flag raised): a count that stays at 1, because the UPS fell silent in the
// first second of an outage say, must not log, alert and page again every
// cycle. All false until the first cycle, so a slot set by hand still fires.
extern bool status_stalled[event_count];
extern std::atomic<unsigned short> ext_status;

extern float ups_backuptime;  // minutes
extern float ups_linenormal;  // volts, read once at start-up

extern unsigned int remain_time;  // minutes left before the power-fail shutdown
extern long remain_seconds;       // the same time left in seconds (set_time_left)
extern long schedule_down_timer;  // 0 idle, 1..600 scheduled-shutdown countdown

inline constexpr int ups_version_size = 50;
extern char ups_version[ups_version_size];  // identification text
// The UPS's maker, for the UPSes whose protocol tells it; empty otherwise.
extern std::string ups_mfr;
extern int ups_testing;  // 1 while a scheduled self-test runs
// The self-test status as the UPS wrote it: ups_teststatus without the mark a
// reply on battery begins with (which ups_teststatus keeps as a "0").
extern char ups_test_result[ups_teststatus_size];

extern int serial_fd;  // the serial line to the UPS

// Queue of reply marks. Entries stand at positions 1..last_prefixqueue;
// position 0 is never used.
inline constexpr int prefixqueue_size = 20;
extern char prefixqueue[prefixqueue_size];
extern int last_prefixqueue;

// The daemon's one lock (default, non-recursive).
extern pthread_mutex_t tornax_mutex;

// Log texts of events 0 to 6; OVERLOAD has none.
extern const char *const logfile_message[7];

}  // namespace tornax

#endif  // TORNAX_TORNAX_H
