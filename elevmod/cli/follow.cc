#include "cli/follow.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// The mask to wait with: the interrupts are blocked everywhere else and
// unblocked only inside a wait (ppoll), so that one arriving just before
// the wait still ends it instead of being noticed at the next event.
sigset_t wait_mask;

// Interrupts end the follower through its loop, so the screen is restored.
void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigset_t interrupts;
  sigemptyset(&interrupts);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(sig, &action, nullptr);
    sigaddset(&interrupts, sig);
  }
  sigprocmask(SIG_BLOCK, &interrupts, &wait_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    sigdelset(&wait_mask, sig);
}

// Waits for `fd` to be readable (or, with fd < 0, for `timeout_ms`) unless
// an interrupt comes first.
void wait_for(int fd, int timeout_ms) {
  pollfd ready{fd, POLLIN, 0};
  timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
  ppoll(fd < 0 ? nullptr : &ready, fd < 0 ? 0 : 1,
        timeout_ms < 0 ? nullptr : &timeout, &wait_mask);
}

std::string header(const std::string& path, size_t width) {
  char clock[16];
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  strftime(clock, sizeof clock, "%H:%M:%S", &local);
  std::string line = std::string(clock) + "  elevmod status on " + path;
  width = width > 4 ? width : 4;
  return line.size() > width ? line.substr(0, width - 3) + "..." : line;
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

// The terminal's size, or 24 by 80 when it cannot be told.
winsize terminal_size() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 ||
      size.ws_col == 0)
    return winsize{24, 80, 0, 0};
  return size;
}

// A terminal that takes escape sequences: not a pipe, and not one that
// says it is dumb.
bool capable_terminal() {
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) && !(term && std::strcmp(term, "dumb") == 0);
}

// Writes `text` out at once; false with *err set when it cannot.
bool write_out(const std::string& text, std::string* err) {
  if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0)
    return true;
  *err = "cannot write to standard output: " + errno_text(errno);
  return false;
}

}  // namespace

FollowEnd watch_status(const std::string& path, bool json,
                       std::string* err) {
  bool screen = !json && capable_terminal();
  catch_interrupts();
  if (screen && !write_out("\033[?1049h\033[?25l", err))  // alternate screen
    return FollowEnd::failed;
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
      else if (shown && no_service(rc))
        end = FollowEnd::ended;
      else
        end = FollowEnd::failed;
      break;
    }
    shown = true;
    std::string frame;
    if (json) {
      frame = render_json(reply.snapshot);
    } else if (screen) {
      // Below the header and its blank line, leaving the last row to the
      // cursor so that nothing scrolls.
      winsize size = terminal_size();
      size_t rows = size.ws_row > 3 ? size.ws_row - 3u : 0u;
      frame = in_place(header(path, size.ws_col - 1u) + "\n\n" +
                       render_text(reply.snapshot, rows, size.ws_col));
    } else {
      frame = header(path, 79) + "\n\n" + render_text(reply.snapshot) + "\n";
    }
    if (!write_out(frame, err)) {
      end = FollowEnd::failed;
      break;
    }
    wait_for(-1, 1000);
  }
  if (screen) {
    std::string ignored;
    write_out("\033[?25h\033[?1049l", &ignored);
  }
  return end;
}

FollowEnd follow_trace(const std::string& path, bool json, std::string* err) {
  catch_interrupts();
  UniqueFd connection = open_trace(path, err);
  int fd = connection.get();
  if (!connection)
    return interrupted ? FollowEnd::interrupted : FollowEnd::failed;
  TraceEvent events[64];
  FollowEnd end = FollowEnd::ended;
  while (!interrupted) {
    wait_for(fd, -1);
    if (interrupted)
      break;
    bool truncated = false;
    ssize_t n = receive_message(fd, events, sizeof events, nullptr,
                                &truncated);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
      continue;
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
    bool ended = false;
    for (size_t i = 0; i < n / sizeof(TraceEvent) && !ended; ++i) {
      ended = events[i].kind == TraceEvent::Kind::ended;
      if (!ended)
        text += json ? render_trace_json(events[i])
                     : render_trace_text(events[i]);
    }
    if (!write_out(text, err)) {
      end = FollowEnd::failed;
      break;
    }
    if (ended) {
      *err = "the service on " + path + " ended this trace to make room for "
             "another: it had left what it was sent unread";
      end = FollowEnd::failed;
      break;
    }
  }
  if (interrupted && end == FollowEnd::ended)
    end = FollowEnd::interrupted;
  return end;
}

}  // namespace elevmod
