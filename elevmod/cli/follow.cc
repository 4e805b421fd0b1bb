#include "cli/follow.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "model/status.h"
#include "model/trace.h"
#include "wire/errors.h"
#include "wire/framing.h"
#include "wire/service_client.h"
#include "wire/unique_fd.h"

namespace elevmod {

namespace {

volatile sig_atomic_t interrupted = 0;

void on_interrupt(int) { interrupted = 1; }

// Interrupts end the watch through the loop, so the screen is restored.
void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    sigaction(sig, &action, nullptr);
}

std::string header(const std::string& path) {
  char clock[16];
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  strftime(clock, sizeof clock, "%H:%M:%S", &local);
  std::string line = std::string(clock) + "  elevmod status on " + path;
  return line.size() > 79 ? line.substr(0, 76) + "..." : line;
}

// On a terminal, each line overwrites the one before it in place.
std::string in_place(const std::string& frame) {
  std::string out = "\033[H";
  size_t start = 0;
  while (start < frame.size()) {
    size_t end = frame.find('\n', start);
    if (end == std::string::npos)
      end = frame.size();
    out += frame.substr(start, end - start) + "\033[K\n";
    start = end + 1;
  }
  return out + "\033[J";
}

// The lines of the status that fit the terminal below the header and its
// blank line, leaving the last row to the cursor so that nothing scrolls.
size_t text_rows() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0)
    return 20;
  return size.ws_row > 3 ? size.ws_row - 3u : 0u;
}

void write_out(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

FollowEnd watch_status(const std::string& path, bool json,
                       std::string* err) {
  bool screen = !json && isatty(STDOUT_FILENO);
  catch_interrupts();
  if (screen)
    write_out("\033[?1049h\033[?25l");  // alternate screen, no cursor
  FollowEnd end = FollowEnd::interrupted;
  bool shown = false;
  while (!interrupted) {
    Reply reply;
    int rc = ask_service(path, Verb::status, -1, &reply, err);
    if (rc != 0) {
      // A service that goes away after it has been shown has ended; an
      // interrupted ask is no failure.
      if (interrupted)
        end = FollowEnd::interrupted;
      else if (shown && (rc == ENOENT || rc == ECONNREFUSED))
        end = FollowEnd::ended;
      else
        end = FollowEnd::failed;
      break;
    }
    shown = true;
    if (json)
      write_out(render_json(reply.snapshot));
    else if (screen)
      write_out(in_place(header(path) + "\n\n" +
                         render_text(reply.snapshot, text_rows())));
    else
      write_out(header(path) + "\n\n" + render_text(reply.snapshot) + "\n");
    timespec second{1, 0};
    while (!interrupted && nanosleep(&second, &second) != 0 && errno == EINTR) {
    }
  }
  if (screen)
    write_out("\033[?25h\033[?1049l");
  return end;
}

FollowEnd follow_trace(const std::string& path, bool json, std::string* err) {
  catch_interrupts();
  UniqueFd connection(open_trace(path, err));
  int fd = connection.get();
  if (!connection)
    return interrupted ? FollowEnd::interrupted : FollowEnd::failed;
  TraceEvent events[64];
  FollowEnd end = FollowEnd::ended;
  while (!interrupted) {
    // Waits here, where an interrupt ends the wait.
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0)
      continue;
    bool truncated = false;
    ssize_t n = receive_message(fd, events, sizeof events, nullptr,
                                &truncated);
    if (n == 0)
      break;  // the service ended
    if (n < 0 || truncated || n % sizeof(TraceEvent) != 0) {
      *err = n < 0 ? "reading the trace from " + path + ": " +
                         errno_text(errno)
                   : "unexpected trace message from " + path;
      end = FollowEnd::failed;
      break;
    }
    std::string text;
    for (size_t i = 0; i < n / sizeof(TraceEvent); ++i)
      text += json ? render_trace_json(events[i])
                   : render_trace_text(events[i]);
    write_out(text);
  }
  if (interrupted && end == FollowEnd::ended)
    end = FollowEnd::interrupted;
  return end;
}

}  // namespace elevmod
