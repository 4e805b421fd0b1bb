#include "follow.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol.h"
#include "status.h"
#include "trace.h"

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

void write_out(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

bool watch_status(const std::string& path, bool json, std::string* err) {
  bool screen = !json && isatty(STDOUT_FILENO);
  catch_interrupts();
  if (screen)
    write_out("\033[?1049h\033[?25l");  // alternate screen, no cursor
  bool ok = true;
  while (!interrupted) {
    Reply reply;
    if (ask_service(path, Verb::status, -1, &reply, err) != 0) {
      ok = interrupted;  // an interrupted ask is no failure
      break;
    }
    if (json)
      write_out(render_json(reply.snapshot));
    else if (screen)
      write_out(in_place(header(path) + "\n\n" +
                         render_text(reply.snapshot)));
    else
      write_out(header(path) + "\n\n" + render_text(reply.snapshot) + "\n");
    timespec second{1, 0};
    while (!interrupted && nanosleep(&second, &second) != 0 && errno == EINTR) {
    }
  }
  if (screen)
    write_out("\033[?25h\033[?1049l");
  return ok;
}

bool follow_trace(const std::string& path, bool json, std::string* err) {
  int fd = open_trace(path, err);
  if (fd < 0)
    return false;
  TraceEvent events[64];
  for (;;) {
    bool truncated = false;
    ssize_t n = receive_message(fd, events, sizeof events, nullptr,
                                &truncated);
    if (n == 0)
      break;  // the service ended
    if (n < 0 || truncated || n % sizeof(TraceEvent) != 0) {
      *err = n < 0 ? "reading the trace from " + path + ": " +
                         std::strerror(errno)
                   : "unexpected trace message from " + path;
      close(fd);
      return false;
    }
    std::string text;
    for (size_t i = 0; i < n / sizeof(TraceEvent); ++i)
      text += json ? render_trace_json(events[i])
                   : render_trace_text(events[i]);
    write_out(text);
  }
  close(fd);
  return true;
}

}  // namespace elevmod
