// The elevator service: one thread, one loop over the listening socket, its
// clients, every attached seccomp listener, a timer that moves the car, and
// the signals that end it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "elevator.h"
#include "notify.h"

namespace elevmod {

struct ServiceOptions {
  Config config;
  uint32_t step_ms = 1000;
};

class Service {
 public:
  Service(std::string socket_path, ServiceOptions options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds the socket and sets up everything the loop needs, so that clients
  // can connect as soon as this returns true.  *busy is set when another
  // service already answers on the socket.
  bool prepare(bool* busy, std::string* err);

  // Serves until unloaded or sent SIGINT, SIGTERM or SIGHUP.  Returns the
  // exit status.
  int run();

 private:
  enum class Kind : uint32_t { socket, client, timer, signal };

  bool watch(int fd, Kind kind);
  void forget(int fd);
  void accept_clients();
  void serve_client(int fd);
  void serve_listener(int fd, short events);
  void tick();
  void sync_timer();
  void drop_listeners();
  void shut_down();

  std::string path_;
  ServiceOptions options_;
  Elevator elevator_;
  Notifier notifier_;
  int socket_fd_ = -1;
  ino_t socket_inode_ = 0;
  int epoll_fd_ = -1;
  int timer_fd_ = -1;
  int signal_fd_ = -1;
  bool timer_armed_ = false;
  bool done_ = false;
  // Open client connections, with whether their peer may use the service.
  std::unordered_map<int, bool> clients_;
  std::unordered_set<int> listeners_;
};

}  // namespace elevmod
