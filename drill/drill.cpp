#include "drill/drill.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

#include "drill/text.h"
#include "sim/control.h"

namespace tornax::drill {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) {
  stop_requested = 1;
}

[[noreturn]] void die(const std::string &message) {
  throw Failure(2, message);
}

void check_stop() {
  if (stop_requested != 0) {
    throw Failure(130, "interrupted; stopping everything it started");
  }
}

bool executable(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string absolute(const std::string &path) {
  std::string normal = fs::absolute(path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') {
    normal.pop_back();
  }
  return normal;
}

// The directory this program stands in.
std::string program_dir() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) {
    die("cannot find where tornax-drill is");
  }
  return fs::path(std::string(path, static_cast<std::size_t>(n))).parent_path().string();
}

void make_private_dir(const std::string &path) {
  std::error_code error;
  fs::create_directory(path, error);
  if (error || chmod(path.c_str(), 0755) != 0) {
    die("cannot make " + path);
  }
}

// The statements the drill replaces in every copy.
const char *const replaced_keywords[] = {
    "UPS_DEVICE", "MODEM_DEVICE",        "WALLPATH",  "UPS_LOCATION", "PORT", "LISTEN",
    "ALLOW",      "MAX_CLIENT_PER_HOST", "HTTP_PORT", "NUT_PORT"};

}  // namespace

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

Drill::Drill(DrillOptions options)
    : options_(std::move(options)), scenario_(find_scenario(options_.scenario)) {
  facts_.scenario = options_.scenario;
  facts_.batch = options_.mode == Mode::batch;
  facts_.client = options_.client;
  dropped_.insert(std::begin(replaced_keywords), std::end(replaced_keywords));
}

Drill::~Drill() = default;

// ---- Before anything runs -------------------------------------------------------

// Installed, the sandbox is under the prefix (sbin/../lib/tornax); in a build
// tree the build links it beside the programs. The daemon and the client are
// beside the drill unless --bin names them.
void Drill::find_programs() {
  const std::string here = program_dir();
  const std::string installed = fs::path(here + "/../lib/tornax/sandbox").lexically_normal();
  sandbox_ = executable(installed) ? installed : here + "/sandbox";
  std::string bin = here;
  if (!options_.bin.empty()) {
    if (!fs::is_directory(options_.bin)) {
      die("cannot enter " + options_.bin);
    }
    bin = absolute(options_.bin);
  }
  tornax_ = bin + "/tornax";
  tornaxalert_ = bin + "/tornaxalert";
  for (const std::string &program : {sandbox_, tornax_}) {
    if (!executable(program)) {
      die(program + " is missing");
    }
  }
  if (options_.client && !executable(tornaxalert_)) {
    die(tornaxalert_ + " is missing (--client)");
  }
  if (!on_path("unshare")) {
    die("unshare (util-linux) is required");
  }
}

void Drill::find_home() {
  std::string home = options_.home;
  if (home.empty()) {
    const char *env = std::getenv("TORNAXHOME");
    home = env != nullptr && *env != '\0' ? env : TORNAX_DEFAULT_HOME;
  }
  if (fs::is_regular_file(home)) {
    if (fs::path(home).filename() != "tornax.conf") {
      die(home + ": the configuration must be named tornax.conf");
    }
    home = fs::path(home).parent_path().string();
    home = home.empty() ? "." : home;
  }
  if (!fs::is_directory(home)) {
    die(home + " is not a directory");
  }
  home_ = absolute(home);
  if (access((home_ + "/tornax.conf").c_str(), R_OK) != 0) {
    die("cannot read " + home_ + "/tornax.conf");
  }
  facts_.home = home_;
}

void Drill::make_dir() {
  std::string dir = options_.dir;
  if (dir.empty()) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tornax-drill-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      die("cannot make a directory");
    }
    dir = pattern;
  } else {
    std::error_code error;
    fs::create_directories(dir, error);
    if (!fs::is_directory(dir)) {
      die("cannot make " + dir);
    }
    if (exists(dir + "/home") || exists(dir + "/timeline")) {
      die(dir + " holds an earlier drill");
    }
  }
  dir_ = absolute(dir);
  // The paths go into the configuration, quoted, and into shell commands.
  if (dir_.find_first_of("\"'\\ \t\n\r\f\v") != std::string::npos) {
    die("the directory's path must not hold quotes, backslashes or blanks: " + dir_);
  }
  // The daemon refuses a home, configuration or script that group or others
  // could write, whatever the umask.
  make_private_dir(file("home"));
  make_private_dir(file("hooks"));
  chmod(dir_.c_str(), 0755);
  facts_.dir = dir_;
  timeline_ = std::make_unique<Timeline>(file("timeline"));
}

// `tornax -t --json` on the administrator's own files: the daemon's own
// reading, from which everything else is drawn. Run in the sandbox like
// every run of the daemon.
void Drill::check_configuration() {
  const int status = run_to_end({sandbox_, "--record", file("check.sandbox"), "--", "env",
                                 "TORNAXHOME=" + home_, tornax_, "-t", "--json"},
                                "/dev/null", file("check.out"), file("check.err"));
  std::string errors = read_file(file("check.err"));
  if (status == 125) {
    while (!errors.empty() && errors.back() == '\n') {
      errors.pop_back();
    }
    die("the sandbox could not be made, so nothing runs: " + errors);
  }
  if (status != 0) {
    // A configuration the daemon refuses is the one finding.
    std::string said =
        "the daemon refuses to start with it (tornax -t, status " + std::to_string(status) + "):";
    for (const std::string &line : lines_of(errors + read_file(file("check.out")))) {
      said += "\n      " + line;
    }
    print_one_finding(said);
    std::printf("The run's files are in %s\n", dir_.c_str());
    throw Failure(1, "", false);
  }
  config_.emplace(read_file(file("check.out")));
}

// Which way the daemon would bring this host down: what HOST_SHUTDOWN says,
// and for "auto" whether systemd runs as init here (the sandbox the check
// ran in hides that, so it is looked up on this side).
void Drill::choose_host_shutdown() {
  const std::string setting = config_->at("/shutdown/host_shutdown").get<std::string>();
  struct stat info {};
  init_path_ =
      setting == "init" ||
      (setting == "auto" && lstat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode));
  if (init_path_) {
    replace_statement("HOST_SHUTDOWN", "HOST_SHUTDOWN init", "Host shutdown");
    uncompared_.insert("SHUTDOWN_DEADLINE");
  }
}

bool Drill::asked_systemd() const {
  return count_lines(read_file(file("daemon.sandbox/actions")), "poweroff.target") > 0;
}

// The UPS was told to switch off: "D=" in the classic protocol, "S" in Qx.
bool Drill::ups_switched_off() const {
  const std::string received = read_file(file("simulator"));
  return count_lines(received, "received \"D=") > 0 || count_lines(received, "received \"S") > 0;
}

// What systemd would do once asked, played out without it: the services
// stop (here: the daemon), and last the system-shutdown hook runs
// `tornax -S poweroff` against the simulated UPS with the daemon's record.
void Drill::rehearse_init_end() {
  facts_.init_power_off = true;
  for (const std::string &line : lines_of(read_file(file("daemon.sandbox/actions")))) {
    if (const std::size_t at = line.find("systemctl"); at != std::string::npos) {
      timeline_->say("halt", "the daemon asked systemd: " + line.substr(at) +
                                 " (the sandbox's stub took it: nothing was asked)");
    }
  }
  timeline_->say("halt",
                 "on a real host every service now stops through its own stop command, in "
                 "systemd's order, and systemd unmounts the file systems; SHUTDOWN_DEADLINE: " +
                     config_->row("SHUTDOWN_DEADLINE"));
  daemon_->kill_now();
  const std::string record = file("daemon.sandbox/run/switch-off");
  std::string fields;
  for (const std::string &line : lines_of(read_file(record))) {
    fields += (fields.empty() ? "" : ", ") + line;
  }
  timeline_->say("halt", "the record for the system-shutdown hook: " +
                             (exists(record) ? fields : "none: the UPS is not switched off"));
  run_to_end({sandbox_, "--record", file("hook.sandbox"), "--", "env",
              "TORNAX_RUN_DIR=" + file("daemon.sandbox/run"), tornax_, "-S", "poweroff"},
             "/dev/null", file("hook.out"), file("hook.err"));
  for (const std::string &line : lines_of(read_file(file("hook.err")))) {
    timeline_->say(
        "halt", "the system-shutdown hook (tornax -S poweroff): " +
                    line.substr(line.find(" : ") == std::string::npos ? 0 : line.find(" : ") + 3));
  }
}

void Drill::choose_port(int &port, int other) {
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int p = 14004 + static_cast<int>(random() % 1000);
    const int fd = p == other ? 0 : connect_loopback(p);
    if (fd < 0) {
      port = p;
      return;
    }
    close(fd);
  }
  die("no free TCP port found from 14004 to 15003; name one with --port");
}

void Drill::replace_statement(const std::string &keyword, const std::string &statement,
                              const std::string &row) {
  dropped_.insert(keyword);
  statements_.push_back(statement);
  uncompared_.insert(row);
}

void Drill::note(const std::string &text) {
  notes_.push_back(text);
}

// Hooks mail, call web hooks and push messages: in the drill a stand-in says
// which would have run. The stand-ins read the paths from files, so that no
// character of a path is ever read as shell syntax.
void Drill::write_hook_stubs() {
  for (const Hook &hook : hooks_) {
    const std::string stub = file("hooks/" + hook.event);
    write_file(stub + ".path", hook.path + "\n");
    write_file(stub,
               "#!/bin/sh\nprintf 'would run %s (TORNAX_EVENT=%s)\\n' \"$(cat '" + stub +
                   ".path')\" \"$TORNAX_EVENT\" >> '" + file("hooks.out") + "'\n",
               0755);
    dropped_.insert(hook.event + "_EXEC");
  }
}

// The shutdown script as the drill runs it: by default a stand-in that says
// it would run; with --run-script a wrapper that runs it with TORNAX_DRILL=1.
void Drill::write_script() {
  const std::string script = home_ + "/shutdown.sh";
  if (!exists(script)) {
    return;
  }
  write_file(file("script.path"), script + "\n");
  const std::string out = "'" + file("script") + "'";
  std::string text = "#!/bin/sh\nscript=$(cat '" + file("script.path") + "')\n";
  if (options_.run_script) {
    text += "echo \"running $script with TORNAX_DRILL=1\" >> " + out +
            "\nTORNAX_DRILL=1 \"$script\" >> " + out +
            " 2>&1\necho \"$script ended with status $?\" >> " + out + "\n";
  } else {
    text += "echo \"would run $script (--run-script runs it)\" >> " + out + "\n";
  }
  // An unusable script stays unusable: the daemon skips it the same way.
  write_file(file("home/shutdown.sh"), text,
             access(script.c_str(), R_OK | X_OK) == 0 ? 0755 : 0644);
}

void Drill::write_configuration() {
  std::set<std::string> dropped = dropped_;
  for (const std::string &statement : options_.overrides) {
    dropped.insert(keyword_of(statement));
  }
  std::string text = config_->without_statements(read_file(home_ + "/tornax.conf"), dropped) +
                     "\n# ---- tornax-drill: the simulated UPS, captures, the drill's own port\n";
  text += "UPS_DEVICE \"" + file("ups") + "\"\n";
  // Only where pages can be sent: "pages without a modem" stays as it is.
  if (config_->pages_possible()) {
    text += "MODEM_DEVICE \"" + file("modem") + "\"\n";
  }
  text += "WALLPATH \"cat >> '" + file("wall") + "'\"\nUPS_LOCATION \"" + location_ + "\"\nPORT " +
          std::to_string(port_) + "\nLISTEN 127.0.0.1\nHTTP_PORT 0\n";
  if (config_->nut_server_on()) {
    text += "NUT_PORT " + std::to_string(nut_port_) + "\n";
  }
  for (const std::string &statement : statements_) {
    text += statement + "\n";
  }
  for (const Hook &hook : hooks_) {
    text += hook.event + "_EXEC " + file("hooks/" + hook.event) + "\n";
  }
  for (const std::string &statement : options_.overrides) {
    text += statement + "\n";
  }
  // It may hold NUT_USER passwords, which the daemon accepts only in a file
  // that is root's alone.
  write_file(file("home/tornax.conf"), text, 0600);
  write_file(file("modem"), "");
}

// The copy must read as the original on everything the drill does not
// replace on purpose. A statement the line-based copy could not take apart
// (two statements on one line, one of them replaced) shows here, and the
// drill stops rather than rehearse something else.
void Drill::check_copy() {
  if (!options_.overrides.empty()) {
    return;
  }
  const int status = run_to_end({sandbox_, "--record", file("copy.sandbox"), "--", "env",
                                 "TORNAXHOME=" + file("home"), tornax_, "-t", "--json"},
                                "/dev/null", file("copy.out"), file("copy.out"));
  const auto original = config_->compared_rows(uncompared_);
  auto copy = original;
  try {
    copy = AdminConfig(status == 0 ? read_file(file("copy.out")) : "").compared_rows(uncompared_);
  } catch (const Failure &) {
    for (auto &row : copy) {
      row.second.clear();
    }
  }
  std::string differences;
  for (std::size_t i = 0; i < original.size(); ++i) {
    if (original[i] != copy[i]) {
      differences += "\n  the original: " + original[i].first + ": " + original[i].second +
                     "\n  the copy:     " + copy[i].first + ": " + copy[i].second;
    }
  }
  if (!differences.empty()) {
    die("the drill's copy of the configuration would not do what the original does; put each "
        "statement on a line of its own:" +
        differences);
  }
}

// What the drill puts in place of the host's devices and programs.
void Drill::say_substitutions() {
  say("the UPS (" + config_->row("UPS device") + ") is a simulated one; broadcasts (" +
      config_->row("Broadcast command") + ") and the console are captured");
  if (config_->pages_possible()) {
    say("pages go to a capture file instead of the modem (" + *config_->text("/modem_device") +
        ")");
  }
  const std::string script = home_ + "/shutdown.sh";
  if (!exists(script)) {
    say("no shutdown script (" + script + ")");
  } else if (options_.run_script) {
    say("the shutdown script " + script + " runs, with TORNAX_DRILL=1");
  } else {
    say("the shutdown script is not run: the drill says where it would run " + script);
  }
  for (const Hook &hook : hooks_) {
    say("the " + hook.event + "_EXEC hook is not run: the drill says when it would run " +
        hook.path);
  }
  for (const std::string &text : notes_) {
    say(text);
  }
  if (config_->nut_server_on()) {
    say("the network UPS server listens on 127.0.0.1:" + std::to_string(nut_port_) +
        "; no secondary host is logged in to it");
  }
  if (config_->status_server_on()) {
    std::string where;
    for (const nlohmann::json &address : config_->at("/network/listen")) {
      where += (where.empty() ? "" : ", ") + address.get<std::string>();
    }
    say("the status server listens on 127.0.0.1:" + std::to_string(port_) +
        " instead of the configured port " +
        std::to_string(config_->number("/network/status_server/port")) + " on " +
        (where.empty() ? "every IPv4 and IPv6 address" : where));
  }
}

// ---- Starting the programs ------------------------------------------------------

void Drill::start_simulator() {
  say("starting the simulated UPS");
  SimulatedUpsOptions options;
  // The UPS speaks the protocol the daemon is configured for.
  if (config_->at("/ups/protocol").get<std::string>() == "qx") {
    options.protocol = SimProtocol::qx;
  }
  options.link_path = file("ups");
  options.runtime_minutes = 10;
  sim_ = std::make_unique<SimulatedUps>(options);
  // Only the control commands: the queries come every second.
  sim_->set_observer([out = file("simulator")](const ReceivedCommand &command) {
    if (is_control_command(command)) {
      try {
        append_file(out, received_line(command) + "\n");
      } catch (const Failure &) {  // the I/O thread goes on; the summary will lack it
      }
    }
  });
  try {
    sim_->start();
  } catch (const std::system_error &error) {
    die(std::string("the simulator did not start: ") + error.what());
  }
  append_file(file("simulator"), sim_->slave_path() + "\nlink " + file("ups") + " -> " +
                                     sim_->slave_path() + "\n" + sim_->describe() + "\n");
}

void Drill::ups(const std::string &command) {
  say("> " + command);
  const ControlResult result = run_control(*sim_, command);
  if (!result.answer.empty()) {
    append_file(file("simulator"), result.answer + "\n");
  }
}

bool Drill::daemon_started() const {
  return log_count("Daemon started") > 0 ||
         count_lines(read_file(file("daemon.err")), "Detect ") > 0 ||
         count_lines(read_file(file("daemon.out")), "Detect ") > 0;
}

bool Drill::launch_daemon() {
  daemon_ = std::make_unique<Process>(
      std::vector<std::string>{sandbox_, "--record", file("daemon.sandbox"), "--", "env",
                               "TORNAXHOME=" + file("home"), "TORNAX_DRILL=1", tornax_},
      "/dev/null", file("daemon.out"), file("daemon.err"));
  watch_until(20, [&] { return daemon_started() || !daemon_->running(); });
  if (!daemon_started()) {
    drain();
    die("the daemon did not start; see above and " + file("daemon.err"));
  }
  if (!config_->status_server_on()) {
    return true;
  }
  // The fields are named before the first line is shown.
  const std::vector<int> hidden = hidden_status_fields();
  status_.hide(hidden);
  watch_until(10, [&] {
    if (status_.connect(port_, location_)) {
      timeline_->say("status",
                     std::string("fields: status word, line V, output V, battery %") +
                         (config_->yes("/ups/charge_estimated") ? " (estimated)" : "") +
                         ", load %, Hz, A, minutes left, temperature, self-test, minutes to a "
                         "scheduled shutdown" +
                         (hidden.empty() ? "" : "; - for what this UPS does not tell"));
      return true;
    }
    return log_count("Status server not started") > 0;
  });
  return status_.connected();
}

// The status line's fields (0 the status word) the UPS does not tell: the
// line carries zeros there, which are no readings. The minutes left are the
// UPS's runtime unless BACKUPTIME is set.
std::vector<int> Drill::hidden_status_fields() const {
  const std::pair<int, const char *> fields[] = {{2, "output_voltage"}, {5, "frequency"},
                                                 {6, "load_current"},   {7, "runtime"},
                                                 {8, "temperature"},    {9, "self_test"}};
  std::vector<int> hidden;
  for (const auto &[field, reading] : fields) {
    if (config_->lacks(reading) && (field != 7 || config_->number("/shutdown/backuptime_s") == 0)) {
      hidden.push_back(field);
    }
  }
  return hidden;
}

void Drill::discard_daemon() {
  daemon_.reset();
  sources_->forget_under(file("home/"));
  sources_->forget_under(file("daemon."));
  std::error_code ignored;
  for (const char *name : {"home/tornax.log", "home/tornax.pid", "home/tornax.outage", "daemon.out",
                           "daemon.err", "daemon.sandbox"}) {
    fs::remove_all(file(name), ignored);
  }
}

void Drill::start_daemon() {
  for (int attempt = 1;; ++attempt) {
    say("starting the daemon (tornax) in its sandbox, home " + file("home") + ", status on port " +
        std::to_string(port_));
    write_configuration();
    if (launch_daemon()) {
      sources_->order(Sources::Phase::running);
      return;
    }
    if (options_.port || attempt == 3) {
      die("the daemon's status server is not reachable on port " + std::to_string(port_) +
          "; name a free port with --port");
    }
    say("port " + std::to_string(port_) +
        " was taken meanwhile; starting the daemon again on "
        "another");
    discard_daemon();
    choose_port(port_, nut_port_);
  }
}

void Drill::start_client() {
  say("starting the client (tornaxalert) in a sandbox of its own, following 127.0.0.1:" +
      std::to_string(port_));
  client_ = std::make_unique<Process>(
      std::vector<std::string>{sandbox_, "--record", file("client.sandbox"), "--", tornaxalert_,
                               "-a", "all", "-w", "cat >> '" + file("client.wall") + "'", "-x",
                               "echo 'shutdown -h now' >> '" + file("client.shutdown") + "'",
                               "127.0.0.1", std::to_string(port_)},
      "/dev/null", file("client.out"), file("client.err"));
  const auto connected = [&] {
    for (const std::string &line : lines_of(read_file(file("client.out")))) {
      if (line.rfind("Connected to", 0) == 0) {
        return true;
      }
    }
    return false;
  };
  watch_until(15, [&] { return connected() || !client_->running(); });
  if (!connected()) {
    drain();
    die("the client did not connect; see above and " + file("client.err"));
  }
}

// ---- Narrating ------------------------------------------------------------------

void Drill::say(const std::string &text) {
  timeline_->say("drill", text);
}

// Reads every source and the status lines once; waits a tenth of a second
// when nothing came.
bool Drill::pump() {
  check_stop();
  const bool from_files = sources_->read(*timeline_);
  std::vector<std::string> shown;
  const bool from_status = status_.take(shown);
  for (const std::string &line : shown) {
    timeline_->say("status", line);
  }
  if (!from_files && !from_status) {
    poll(nullptr, 0, 100);
  }
  return from_files || from_status;
}

void Drill::watch_for(int seconds) {
  const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < until) {
    pump();
  }
}

bool Drill::watch_until(int seconds, const std::function<bool()> &done) {
  const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < until) {
    pump();
    if (done()) {
      pump();
      return true;
    }
  }
  return done();
}

void Drill::drain() {
  for (int i = 0; i < 3; ++i) {
    pump();
  }
  sources_->flush(*timeline_);
}

int Drill::log_count(const std::string &text) const {
  return count_lines(read_file(file("home/tornax.log")), text);
}

bool Drill::saw_powerfail(int nth) const {
  return log_count("Power fail detected") >= nth || timeline_->count("<- on battery") >= nth;
}

bool Drill::saw_return() const {
  return log_count("Power is return") >= 1 || timeline_->count("<- on mains") >= 2;
}

// ---- Playing --------------------------------------------------------------------

void Drill::play_interactively() {
  say("all running; the mains are on. Type simulator commands, for example:");
  say("  mains off | mains on | lowbatt | battery 20 | silent 5 | talk | status | help");
  say("  line faults: garbage on | noise 2000 | split 1 | stall 900 | faults off");
  say("quit or Ctrl-D ends the drill; it also ends once the daemon has halted");
  std::string partial;
  while (daemon_->running()) {
    check_stop();
    bool ended = false;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 100) > 0) {
      char buffer[512];
      const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      ended = n <= 0;
      partial.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    if (ended && !partial.empty()) {
      partial += '\n';  // the last line, without its line end
    }
    for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
      const std::string line = partial.substr(0, end);
      partial.erase(0, end + 1);
      ended = ended || line == "quit" || line == "exit";
      if (!ended && !line.empty()) {
        ups(line);
      }
    }
    if (ended) {
      break;
    }
    sources_->read(*timeline_);
    std::vector<std::string> shown;
    status_.take(shown);
    for (const std::string &line : shown) {
      timeline_->say("status", line);
    }
  }
  drain();
  if (!daemon_->running()) {
    end_daemon();
  }
}

// Reaps the daemon's sandbox and tells how it ended; then the client's.
void Drill::end_daemon() {
  if (daemon_->running() && init_path_ && asked_systemd()) {
    rehearse_init_end();
  }
  if (daemon_->running()) {
    timeline_->say("halt", "the daemon has not brought the host down; the drill stops it");
    daemon_->kill_now();
  }
  const int status = daemon_->wait();
  facts_.daemon_status = status;
  write_file(file("daemon.status"), std::to_string(status) + "\n");
  if (facts_.init_power_off) {
    const bool off = ups_switched_off();
    timeline_->say("halt", std::string("on a real host systemd powers the machine off here") +
                               (off ? ", and the UPS switches itself off" : ""));
  } else if (status == 130) {
    timeline_->say("halt",
                   "the daemon halted the machine; here that ends its sandbox (status 130)");
    const bool off = ups_switched_off();
    timeline_->say("halt", std::string("on a real host the machine stops here") +
                               (off ? ", and the UPS switches itself off" : ""));
  } else {
    timeline_->say("halt", "the daemon's sandbox ended with status " + std::to_string(status));
  }
  if (!client_) {
    return;
  }
  watch_until(15, [&] { return !client_->running(); });
  drain();
  if (!client_->running()) {
    say("the client has ended (status " + std::to_string(client_->wait()) + ")");
  }
}

int Drill::run() {
  find_programs();
  find_home();
  make_dir();
  location_ = "tornax drill (run " + std::to_string(getpid()) + ")";
  if (options_.port) {
    port_ = *options_.port;
  } else {
    choose_port(port_, 0);
  }
  say("tornax drill on " + home_ + ", scenario " + options_.scenario + "; the run's files are in " +
      dir_);
  check_configuration();
  choose_host_shutdown();
  if (scenario_->prepare) {
    if (const std::optional<std::string> finding = scenario_->prepare(*this)) {
      print_one_finding(*finding);
      return 1;
    }
  }
  if (config_->nut_server_on()) {
    facts_.numlogins = ask_numlogins(config_->number("/network/nut_server/port"),
                                     config_->at("/network/nut_server/ups_name"));
    choose_port(nut_port_, port_);
  }
  hooks_ = config_->hooks();
  write_hook_stubs();
  write_script();
  write_configuration();
  check_copy();
  say_substitutions();
  sources_ = std::make_unique<Sources>(dir_);
  start_simulator();
  start_daemon();
  if (options_.client) {
    start_client();
  }
  if (options_.mode == Mode::interactive) {
    play_interactively();
  } else {
    say("all running; the mains are on");
    watch_for(4);
    scenario_->play(*this);
    watch_until(scenario_->decision_limit(*this),
                [&] { return !daemon_->running() || (init_path_ && asked_systemd()); });
    drain();
    end_daemon();
  }
  facts_.client_shutdowns = count_lines(read_file(file("client.shutdown")), "shutdown");
  return print_summary({*config_, timeline_->entries(), facts_}) > 0 ? 1 : 0;
}

}  // namespace tornax::drill
