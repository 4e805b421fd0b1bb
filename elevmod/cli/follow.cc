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

#include "cli/writer.h"
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

// Writes `text` out; false when interrupted first, or with *err set when
// it cannot.
bool write_out(Writer& out, const std::string& text, std::string* err) {
  return out.write(text, &wait_mask, err) == Writer::Result::written;
}

// How long an interrupted follower waits for its terminal to take the
// sequence that restores it.
constexpr int kRestoreMs = 1000;

}  // namespace

FollowEnd watch_status(const std::string& path, bool json,
                       std::string* err) {
  bool screen = !json && capable_terminal();
  catch_interrupts();
  Writer out;
  if (!out.start(err))
    return FollowEnd::failed;
  if (screen && !write_out(out, "\033[?1049h\033[?25l", err))  // alternate
    return interrupted ? FollowEnd::interrupted : FollowEnd::failed;
  FollowEnd end = FollowEnd::interrupted;
  bool shown = false;
  while (!interrupted) {
    Reply reply;
    int rc = ask_service(path, Verb::status, -1, &reply, err, &wait_mask);
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
    if (!write_out(out, frame, err)) {
      end = interrupted ? FollowEnd::interrupted : FollowEnd::failed;
      break;
    }
    wait_for(-1, 1000);
  }
  if (screen) {
    // Within a bound: a terminal paused by another's ^S takes nothing (a
    // ^C on it resumes it), and a second interrupt ends the wait.
    std::string ignored;
    out.write("\033[?25h\033[?1049l", &wait_mask, &ignored, kRestoreMs);
  }
  return end;
}

FollowEnd follow_trace(const std::string& path, bool json, std::string* err) {
  catch_interrupts();
  Writer out;
  if (!out.start(err))
    return FollowEnd::failed;
  UniqueFd connection = open_trace(path, err, &wait_mask);
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
    ssize_t n = receive_plain_message(fd, events, sizeof events, &truncated);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
      continue;
    if (n == 0)
      break;  // the service ended
    if (n < 0 || truncated || n % sizeof(TraceEvent) != 0) {
      *err = n < 0 && errno == EBADMSG
                 ? "the service on " + path + " sent descriptors with the "
                   "trace; refused them (is it elevmod?)"
             : n < 0 ? "reading the trace from " + path + ": " +
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
    if (!write_out(out, text, err)) {
      end = interrupted ? FollowEnd::interrupted : FollowEnd::failed;
      break;
    }
    if (ended) {
      *err = "the service on " + path + " ended this trace to make room for "
             "another: it had left what it was sent unread";
      end = FollowEnd::failed;
      break;
    }
  }
  close_connection(std::move(connection));
  if (interrupted && end == FollowEnd::ended)
    end = FollowEnd::interrupted;
  return end;
}

}  // namespace elevmod
