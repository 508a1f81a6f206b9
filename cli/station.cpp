// The threads of the ports, and a station's watch for adapters plugged in and pulled out.
#include <chrono>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <thread>

#include "cli/flash.h"
#include "loader/shown_text.h"

namespace {

enum : unsigned {
  // How often the ports present are listed: an adapter is served within a second of appearing.
  SCAN_MS = 250,
};

struct Served {
  PortRun* run;
  std::thread thread;
  std::atomic<bool> ended{false};
};

// A station's adapter is the same one wherever it comes back (a replug may give it another
// name) when it has a serial number; else it is known by its port.
std::string adapter_key(const PortInfo& port) {
  return port.serial.empty() ? "port " + port.name : port.vid + ":" + port.pid + ":" + port.serial;
}

void start(std::list<Served>& served, PortRun& run, const RunSetup& setup,
           std::atomic<int>& running) {
  served.emplace_back();
  Served& entry = served.back();
  entry.run = &run;
  ++running;
  entry.thread = std::thread([&entry, &setup, &running] {
    run_port(*entry.run, setup);
    entry.ended = true;
    --running;
    report_wake();
  });
}

// A port in service, also when it was named on the command line by another of its names (a
// by-id link): it is not to be taken again.
void forget_port(std::map<std::string, const PortInfo*>& listed, const std::string& name) {
  char key[SERIAL_KEY_SIZE], other[SERIAL_KEY_SIZE];
  if (!serial_port_key(name.c_str(), key, sizeof key)) return;
  for (auto at = listed.begin(); at != listed.end();)
    if (serial_port_key(at->first.c_str(), other, sizeof other) && strcmp(key, other) == 0)
      at = listed.erase(at);
    else
      ++at;
}

// Opens a port that has just appeared (or come back) for its adapter's run; a port held by
// another program (a second station) is told once, and tried again at each scan.
bool take(PortRun& run, const PortInfo& port, std::set<std::string>& told) {
  char message[1024];
  bool unsuitable = false;  // matched ports are local: never set
  PortHandle handle =
      serial_open(port.name.c_str(), message, sizeof message, NET_CONNECT_MS, unsuitable);
  if (handle == PORT_INVALID) {
    if (told.insert(port.name).second) {
      fprintf(stderr, "quarv-flash: %s\n", shown_text(message).c_str());
      report_event(nullptr, "error", message);
    }
    return false;
  }
  told.erase(port.name);
  run.port = handle;
  report_rename(run, port.name, identity_fields(port),
                port.serial.empty() ? "" : "serial=" + port.serial);
  run.plugged = true;
  run.removed = false;
  return true;
}

// Until a stop signal: every SCAN_MS, the ports that match are served, those gone are
// marked removed, and the threads of removed ones are joined and their ports closed.
void watch(const RunSetup& setup, const std::vector<PortMatch>& matches, std::list<Served>& served,
           std::atomic<int>& running) {
  std::map<std::string, PortRun*> adapters;
  std::set<std::string> told;
  while (!stop_requested) {
    std::vector<PortInfo> present = serial_ports();
    std::map<std::string, const PortInfo*> listed;
    for (const PortInfo& port : present)
      if (matches_any(matches, port)) listed[port.name] = &port;
    for (auto at = served.begin(); at != served.end();) {
      PortRun& run = *at->run;
      if (run.plugged && !listed.count(run.name)) run.removed = true;
      if (!at->ended) {
        forget_port(listed, run.name);  // in service
        ++at;
        continue;
      }
      at->thread.join();
      serial_close(run.port);
      run.port = PORT_INVALID;
      at = served.erase(at);
    }
    for (const auto& entry : listed) {
      const PortInfo& port = *entry.second;
      std::string key = adapter_key(port);
      PortRun* known = adapters.count(key) ? adapters[key] : nullptr;
      bool in_service = false;
      for (const Served& other : served) in_service = in_service || other.run == known;
      if (in_service && known->removed) continue;  // back already: taken once its thread ends
      if (in_service) key += " on " + port.name;   // two adapters that share a serial number
      PortRun*& run = adapters[key];
      if (!run) run = &report_add_run(port.name);
      if (take(*run, port, told)) start(served, *run, setup, running);
    }
    for (unsigned waited = 0; waited < SCAN_MS && !stop_requested; waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

void serve_ports(std::deque<PortRun>& runs, const RunSetup& setup,
                 const std::vector<PortMatch>& matches) {
  std::atomic<int> running{0};
  std::list<Served> served;
  for (PortRun& run : runs) start(served, run, setup, running);
  std::thread watcher;
  if (!matches.empty()) {
    ++running;
    watcher = std::thread([&] {
      watch(setup, matches, served, running);
      --running;
      report_wake();
    });
  }
  report_until_done(running);
  if (watcher.joinable()) watcher.join();
  for (Served& entry : served) {
    entry.thread.join();
    serial_close(entry.run->port);
  }
}
