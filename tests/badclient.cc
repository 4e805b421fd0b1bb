// badclient: a misbehaving client of the elevmod socket, to show that it
// costs the service nothing.
//
//   badclient SOCKET MODE    MODE: garbage, oversize, pipe, nofd, hangup,
//                                  unknown
//   badclient SOCKET idle N  opens up to N connections that send nothing,
//                            prints "ready COUNT", then "dropped COUNT" once
//                            the service has closed them all (30 s at most)
//   badclient SOCKET noread N  sends N status requests, prints "ready N" and
//                            never reads the replies; holds on until killed
//   badclient SOCKET lingerfd  a status request carrying a stuck TCP socket
//                            that lingers 60 s; prints "reply ERR", "ready",
//                            holds on until killed ("no loopback" and 77
//                            where there is no loopback interface)
//   badclient SOCKET tracelistener  a trace request carrying its seccomp
//                            listener; prints "reply ERR", "call RESULT"
//   badclient SOCKET tracefd N  N trace requests, each carrying a pipe
//   badclient SOCKET listen  listens there itself (another program's socket)
//   badclient SOCKET hangupserver  listens there, takes each request and
//                            hangs up without an answer
//   badclient SOCKET lateattach  connects, prints "connected", sends an
//                            attach once a line arrives on standard input,
//                            prints "attach ERR" and "call RESULT" (or
//                            "attach unanswered", 3, when the service had
//                            dropped the connection as idle)
//   badclient SOCKET nestedlinger N SECS  N status requests, each carrying
//                            a Unix socket whose queue holds a stuck TCP
//                            socket that lingers SECS on its last close;
//                            prints "sent" once all are sent, "reply ERR"
//                            for each, then "ready", and holds on until
//                            killed (77: no loopback)
//   badclient SOCKET fifthlinger SECS  a status request carrying four
//                            /dev/null copies and, fifth, a lingering
//                            socket; prints "reply ERR", "ready", holds on
//   badclient SOCKET secondlinger SECS  a status request, then a second
//                            message carrying a lingering socket; prints
//                            "sent", "reply ERR", "ready", holds on
//   badclient SOCKET fdspam N  N status requests, each carrying four
//                            /dev/null copies; prints "replies ERR=COUNT..."
//   badclient SOCKET fakelinger SECS  a fake service on SOCKET: answers
//                            each request (a trace with a call event too),
//                            then sends a message carrying a stuck TCP
//                            socket that lingers SECS, closing its copy;
//                            prints "ready", then "sent N" after the Nth
//                            (77: no loopback)
//   badclient SOCKET fakereplyfd SECS  the same, the answer itself
//                            carrying the lingering socket
//   badclient SOCKET fakesilent  a fake service that takes each request
//                            and never answers; prints "ready", then
//                            "asked N" after the Nth
//   badclient SOCKET dup     attaches its own seccomp listener twice, prints
//                            each attach's error ("attach 0", ...), makes
//                            one 324 call ("call RESULT"), prints "ready",
//                            then holds the listener, never called again,
//                            until killed

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "wire/framing.h"
#include "wire/notify.h"
#include "wire/service_client.h"

using elevmod::Request;
using elevmod::Verb;

namespace {

[[noreturn]] void hold() {
  for (;;)
    pause();
}

int idle(const char* path, int count) {
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    int fd = elevmod::connect_socket(path, 1).release();
    if (fd < 0)
      break;
    fds.push_back(fd);
  }
  std::printf("ready %zu\n", fds.size());
  std::fflush(stdout);
  size_t dropped = 0;
  std::vector<bool> gone(fds.size(), false);
  for (int round = 0; round < 3000 && dropped < fds.size(); ++round) {
    for (size_t i = 0; i < fds.size(); ++i) {
      if (gone[i])
        continue;
      pollfd p{fds[i], POLLIN, 0};
      if (poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP))) {
        gone[i] = true;
        ++dropped;
      }
    }
    usleep(10000);
  }
  std::printf("dropped %zu\n", dropped);
  return 0;
}

int noread(const char* path, int count) {
  Request status;
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    int fd = elevmod::connect_socket(path, 10).release();
    if (fd < 0 || !elevmod::send_message(fd, &status, sizeof status, -1))
      return 1;
    fds.push_back(fd);
  }
  std::printf("ready %d\n", count);
  std::fflush(stdout);
  hold();
}

int attach_once(const char* path, int listener) {
  Request attach;
  attach.verb = Verb::attach;
  int fd = elevmod::connect_socket(path, 10).release();
  if (fd < 0 || !elevmod::send_message(fd, &attach, sizeof attach, listener))
    return -1;
  elevmod::Reply reply;
  bool truncated;
  if (elevmod::receive_message(fd, &reply, sizeof reply, nullptr,
                               &truncated) != sizeof reply)
    return -1;
  close(fd);
  return reply.error;
}

int dup_listener(const char* path) {
  elevmod::UniqueFd filter;
  std::string err;
  if (elevmod::install_filter(&filter, &err) != 0) {
    std::fprintf(stderr, "badclient: %s\n", err.c_str());
    return 1;
  }
  int listener = filter.release();
  int copy = dup(listener);
  std::printf("attach %d\n", attach_once(path, listener));
  std::printf("attach %d\n", attach_once(path, copy));
  std::printf("call %ld\n", syscall(324, 0, 1, 2));
  std::printf("ready\n");
  std::fflush(stdout);
  hold();
}

// What a mode that needs loopback TCP says and returns without it.
int no_loopback() {
  std::printf("no loopback\n");
  return 77;
}

// A loopback TCP socket whose send queue is stuck (its peer, kept open in
// *peer, never reads) and which lingers `seconds` on its last close; -1
// where there is no loopback interface.  Small buffers keep many cheap.
int stuck_socket(int seconds, int* peer) {
  int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int small = 4096;
  setsockopt(server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  int stuck = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  setsockopt(stuck, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&addr), len) ||
      listen(server, 1) ||
      getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len) ||
      connect(stuck, reinterpret_cast<sockaddr*>(&addr), len) != 0)
    return -1;
  *peer = accept(server, nullptr, nullptr);  // held, never read
  close(server);
  linger wait{1, seconds};
  setsockopt(stuck, SOL_SOCKET, SO_LINGER, &wait, sizeof wait);
  fcntl(stuck, F_SETFL, O_NONBLOCK);
  char block[4096] = {};
  while (send(stuck, block, sizeof block, MSG_NOSIGNAL) > 0) {
  }
  return stuck;
}

// Sends `request` on `fd` with `fds` attached (as many as asked, however
// many the service takes).
bool send_with(int fd, const Request& request, const std::vector<int>& fds) {
  iovec iov{const_cast<Request*>(&request), sizeof request};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  std::vector<char> control(CMSG_SPACE(fds.size() * sizeof(int)));
  if (!fds.empty()) {
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
    std::memcpy(CMSG_DATA(c), fds.data(), fds.size() * sizeof(int));
  }
  return sendmsg(fd, &msg, MSG_NOSIGNAL) == sizeof request;
}

// The service's answer on `fd`: its error, -1 with none.
int read_reply(int fd) {
  elevmod::Reply reply;
  bool truncated;
  ssize_t n = elevmod::receive_message(fd, &reply, sizeof reply, nullptr,
                                       &truncated);
  return n == sizeof reply ? reply.error : -1;
}

// Sends `request` with `fds` attached on a new connection and returns the
// service's error, -1 with no answer.  With `give`, the fds are closed as
// soon as they are sent, so that the service's copies are the last.
int ask_with(const char* path, const Request& request,
             const std::vector<int>& fds, bool give = false) {
  int fd = elevmod::connect_socket(path, 10).release();
  if (fd < 0)
    return -1;
  bool sent = send_with(fd, request, fds);
  if (give)
    for (int passed : fds)
      close(passed);
  int error = sent ? read_reply(fd) : -1;
  close(fd);
  return error;
}

// Sends all its requests before it reads any answer, saying "sent" in
// between: with the service stopped meanwhile, the service's copies are
// sure to be the last of each socket (ours are closed as they are sent).
int nested_linger(const char* path, int count, int seconds) {
  std::vector<int> connections;
  for (int i = 0; i < count; ++i) {
    int peer, pair[2];
    int stuck = stuck_socket(seconds, &peer);
    if (stuck < 0)
      return no_loopback();
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
      return 1;
    char byte = 0;
    elevmod::send_message(pair[0], &byte, 1, stuck);
    close(stuck);
    close(pair[0]);  // pair[1]'s queue holds the stuck socket now
    int fd = elevmod::connect_socket(path, 10).release();
    Request status;
    if (fd < 0 || !elevmod::send_message(fd, &status, sizeof status, pair[1]))
      return 1;
    close(pair[1]);
    connections.push_back(fd);
  }
  std::printf("sent\n");
  std::fflush(stdout);
  for (int fd : connections)
    std::printf("reply %d\n", read_reply(fd));
  std::printf("ready\n");
  std::fflush(stdout);
  hold();
}

// A status request carrying `nulls` /dev/null copies and then a lingering
// socket, closed here once sent, so that the service's copy is the last.
int linger_after(const char* path, int seconds, int nulls) {
  int peer;
  int stuck = stuck_socket(seconds, &peer);
  if (stuck < 0)
    return no_loopback();
  std::vector<int> fds;
  for (int i = 0; i < nulls; ++i)
    fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
  fds.push_back(stuck);
  Request status;
  std::printf("reply %d\nready\n", ask_with(path, status, fds, true));
  std::fflush(stdout);
  hold();
}

int second_linger(const char* path, int seconds) {
  int peer;
  int stuck = stuck_socket(seconds, &peer);
  if (stuck < 0)
    return no_loopback();
  int fd = elevmod::connect_socket(path, 10).release();
  Request status;
  if (fd < 0 || !elevmod::send_message(fd, &status, sizeof status, -1) ||
      !elevmod::send_message(fd, &status, sizeof status, stuck))
    return 1;
  close(stuck);
  std::printf("sent\n");
  std::fflush(stdout);
  std::printf("reply %d\nready\n", read_reply(fd));
  std::fflush(stdout);
  hold();
}

int fd_spam(const char* path, int count) {
  std::map<int, int> replies;
  Request status;
  for (int i = 0; i < count; ++i) {
    std::vector<int> fds;
    for (int j = 0; j < 4; ++j)
      fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ++replies[ask_with(path, status, fds, true)];
  }
  std::printf("replies");
  for (const auto& [error, times] : replies)
    std::printf(" %d=%d", error, times);
  std::printf("\n");
  return 0;
}

// A trace request carrying this process's own seccomp listener, then a
// call, which waits on that listener for whoever holds it.
int trace_listener(const char* path) {
  elevmod::UniqueFd filter;
  std::string err;
  if (elevmod::install_filter(&filter, &err) != 0) {
    std::fprintf(stderr, "badclient: %s\n", err.c_str());
    return 1;
  }
  int listener = filter.release();
  int fd = elevmod::connect_socket(path, 10).release();
  Request trace;
  trace.verb = Verb::trace;
  if (fd < 0 || !elevmod::send_message(fd, &trace, sizeof trace, listener))
    return 1;
  close(listener);
  elevmod::Reply reply;
  bool truncated;
  elevmod::receive_message(fd, &reply, sizeof reply, nullptr, &truncated);
  std::printf("reply %d\n", reply.error);
  std::fflush(stdout);
  std::printf("call %ld\n", syscall(323));
  return 0;
}

// `count` trace requests, each carrying a pipe's read end.
int trace_fds(const char* path, int count) {
  Request trace;
  trace.verb = Verb::trace;
  for (int i = 0; i < count; ++i) {
    int p[2];
    int fd = elevmod::connect_socket(path, 10).release();
    if (fd < 0 || pipe2(p, O_CLOEXEC) != 0 ||
        !elevmod::send_message(fd, &trace, sizeof trace, p[0]))
      return 1;
    close(p[0]);
    close(p[1]);
    char reply[512];
    recv(fd, reply, sizeof reply, 0);
    close(fd);
  }
  std::printf("done %d\n", count);
  return 0;
}

// Listens on `path` as a service would and says "ready"; -1 on failure.
int listen_at(const char* path) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
      listen(fd, 16))
    return -1;
  std::printf("ready\n");
  std::fflush(stdout);
  return fd;
}

// A seqpacket socket of another program listening on `path`; with
// `hangup`, it takes each connection's request and hangs up unanswered,
// as a service that goes away mid-request.
int foreign_listener(const char* path, bool hangup) {
  int fd = listen_at(path);
  if (fd < 0)
    return 1;
  if (!hangup)
    hold();
  for (;;) {
    int client = accept(fd, nullptr, nullptr);
    if (client < 0)
      continue;
    char request[512];
    recv(client, request, sizeof request, 0);
    close(client);
  }
}

// A service of the client's own user that answers well and then hands
// over what only a hostile peer would: the client must neither take it nor
// block in its release.  mode: "linger" sends the lingering socket after
// the answer, "replyfd" with it, "silent" never answers.
int fake_service(const char* path, const std::string& mode, int seconds) {
  int fd = listen_at(path);
  if (fd < 0)
    return 1;
  std::vector<int> held;  // connections and stuck sockets' peers, kept open
  for (int count = 1;; ++count) {
    int client = accept(fd, nullptr, nullptr);
    if (client < 0)
      continue;
    held.push_back(client);
    Request request;
    if (recv(client, &request, sizeof request, 0) != sizeof request)
      continue;
    if (mode == "silent") {
      std::printf("asked %d\n", count);
      std::fflush(stdout);
      continue;
    }
    int peer = -1;
    int stuck = stuck_socket(seconds, &peer);
    if (stuck < 0)
      return no_loopback();
    held.push_back(peer);
    elevmod::Reply reply;
    elevmod::TraceEvent call;
    call.time_ns = 1;
    call.call.nr = 323;
    bool handed;
    if (mode == "replyfd") {
      handed = elevmod::send_message(client, &reply, sizeof reply, stuck);
    } else {
      elevmod::send_message(client, &reply, sizeof reply, -1);
      if (request.verb == Verb::trace)
        elevmod::send_message(client, &call, sizeof call, -1);
      handed = elevmod::send_message(client, &call, sizeof call, stuck);
    }
    if (!handed) {
      // The client had gone: this close would be the last, and linger.
      linger none{1, 0};
      setsockopt(stuck, SOL_SOCKET, SO_LINGER, &none, sizeof none);
    }
    // Otherwise the client's copy is the last.  A client that refused it
    // already makes ours the last, which lingers: on a thread of its own,
    // so that the next client is still answered.
    std::thread([stuck] { close(stuck); }).detach();
    std::printf("sent %d\n", count);
    std::fflush(stdout);
  }
}

// Connects, says "connected", and only once a line arrives on standard
// input sends an attach with its listener, then makes a call.
int late_attach(const char* path) {
  int fd = elevmod::connect_socket(path, 10).release();
  if (fd < 0)
    return 1;
  std::printf("connected\n");
  std::fflush(stdout);
  char line[16];
  if (!std::fgets(line, sizeof line, stdin))
    return 1;
  elevmod::UniqueFd filter;
  std::string err;
  if (elevmod::install_filter(&filter, &err) != 0)
    return 1;
  int listener = filter.release();
  Request attach;
  attach.verb = Verb::attach;
  if (!elevmod::send_message(fd, &attach, sizeof attach, listener))
    return 1;
  close(listener);
  elevmod::Reply reply;
  bool truncated;
  if (elevmod::receive_message(fd, &reply, sizeof reply, nullptr,
                               &truncated) != sizeof reply) {
    std::printf("attach unanswered\n");  // dropped as idle before
    return 3;
  }
  std::printf("attach %d\n", reply.error);
  std::printf("call %ld\n", syscall(323));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: badclient SOCKET MODE [N]\n", stderr);
    return 2;
  }
  std::string mode = argv[2];
  int n = argc > 3 ? std::atoi(argv[3]) : 1;
  if (mode == "idle")
    return idle(argv[1], n);
  if (mode == "noread")
    return noread(argv[1], n);
  if (mode == "dup")
    return dup_listener(argv[1]);
  if (mode == "lingerfd")
    return linger_after(argv[1], 60, 0);
  if (mode == "tracelistener")
    return trace_listener(argv[1]);
  if (mode == "tracefd")
    return trace_fds(argv[1], n);
  if (mode == "listen" || mode == "hangupserver")
    return foreign_listener(argv[1], mode == "hangupserver");
  if (mode == "lateattach")
    return late_attach(argv[1]);
  int seconds = argc > 4 ? std::atoi(argv[4]) : n;
  if (mode == "nestedlinger")
    return nested_linger(argv[1], n, seconds);
  if (mode == "fifthlinger")
    return linger_after(argv[1], n, 4);
  if (mode == "secondlinger")
    return second_linger(argv[1], n);
  if (mode == "fdspam")
    return fd_spam(argv[1], n);
  if (mode == "fakelinger" || mode == "fakereplyfd" || mode == "fakesilent")
    return fake_service(argv[1], mode.substr(4), n);
  int fd = elevmod::connect_socket(argv[1], 10).release();
  if (fd < 0) {
    std::perror("badclient: connect");
    return 1;
  }
  Request attach;
  attach.verb = Verb::attach;
  if (mode == "garbage") {
    const char junk[] = "\x01\x02garbage!";
    send(fd, junk, sizeof junk, 0);
  } else if (mode == "oversize") {
    char big[4096];
    std::memset(big, 'x', sizeof big);
    send(fd, big, sizeof big, 0);
  } else if (mode == "pipe") {
    int p[2];
    if (pipe(p) != 0)
      return 1;
    elevmod::send_message(fd, &attach, sizeof attach, p[0]);
  } else if (mode == "nofd") {
    elevmod::send_message(fd, &attach, sizeof attach, -1);
  } else if (mode == "unknown") {
    Request odd;
    odd.verb = static_cast<Verb>(99);
    elevmod::send_message(fd, &odd, sizeof odd, -1);
  } else if (mode != "hangup") {
    std::fputs("badclient: unknown mode\n", stderr);
    return 2;
  }
  // Read whatever comes back, so the service's answer is not the cause of
  // anything it does afterwards; then hang up.
  char reply[512];
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (mode != "hangup")
    recv(fd, reply, sizeof reply, 0);
  close(fd);
  return 0;
}
