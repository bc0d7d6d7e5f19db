#include "hblogsink.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "brlog.h"
#include "brthread.h"
#include "hbstream.h"
#include "platform_folders.h"

namespace {

constexpr size_t kRingSize = 65536;
constexpr int kLineLimit = 4095;
constexpr int kFallbackLimit = 2047;
constexpr size_t kPathSize = 512;
constexpr size_t kDumpChunk = 16384;
constexpr int64_t kRotateAfterMs = 43200000;
constexpr int64_t kLockBudgetMs = 250;
constexpr off_t kOldLogSize = 1048576;
constexpr const char kLogFolder[] = "ZV ZX 4417 Hard Drive Utility";
constexpr const char kCaughtUp[] = "(((MEMLOG WPTR CAUGHT UP)))\n";

#define HBLOGSINK_FILE_FORM "[%04d%02d%02d-%02d%02d%02d.%03u][%-6.6s][%-6.6s][%02x] "
#define HBLOGSINK_CONSOLE_FORM "[%02d%02d%02d.%03u][%-6.6s][%-6.6s][%02x] "
#define HBLOGSINK_BANNER_FORM "[%04d%02d%02d-%02d%02d%02d][%-6.6s][%-6.6s][%02x] "

// The log lock: the busy flag changes under g_mutex. The mutex and condition
// live as long as the process, so a line racing with the last destroy finds
// the sink gone (g_initcount 0) instead of a destroyed mutex.
std::mutex g_mutex;
std::condition_variable g_cond;
bool g_busy = false;

std::atomic<int64_t (*)()> g_clock{brthread__getticks};

// Guarded by the log lock.
int g_initcount = 0;
char g_path[kPathSize];
FILE *g_file = nullptr;
uint32_t g_flags = 0;
char *g_ring = nullptr;
size_t g_wpos = 0;
size_t g_left = 0;
uint32_t g_wraps = 0;
int32_t g_max_rotations = 1;
int32_t g_next_rotation = 1;
int64_t g_last_rotation = 0;
char g_line[kLineLimit + 1];

// The local-time offset of the last line, for the forked child, which must
// not call localtime_r (it takes a lock another thread may have held at the
// fork).
std::atomic<long> g_gmtoff{0};

struct Stamp {
  int year, month, day, hour, minute, second;
  unsigned ms;
};

Stamp civil(int64_t local_seconds, unsigned ms) {
  // Days to civil date (proleptic Gregorian), after H. Hinnant.
  int64_t days = local_seconds / 86400;
  int64_t rest = local_seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days--;
  }
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t doe = days - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2);
  return Stamp{static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
               static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
               static_cast<int>(rest % 60), ms};
}

Stamp now_local() {
  int64_t now = brthread__getnowtime();
  if (now < 0) now = 0;
  time_t seconds = static_cast<time_t>(now / 1000);
  struct tm tm;
  if (!localtime_r(&seconds, &tm)) return civil(seconds, static_cast<unsigned>(now % 1000));
  g_gmtoff.store(tm.tm_gmtoff, std::memory_order_relaxed);
  return Stamp{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
               tm.tm_min,         tm.tm_sec,     static_cast<unsigned>(now % 1000)};
}

int64_t ticks() { return g_clock.load(std::memory_order_relaxed)(); }

bool lock_take(bool bounded) {
  int64_t start = ticks();
  std::unique_lock<std::mutex> lock(g_mutex);
  while (g_busy) {
    if (!bounded) {
      g_cond.wait(lock);
      continue;
    }
    int64_t left = kLockBudgetMs - (ticks() - start);
    if (left <= 0) return false;
    g_cond.wait_for(lock, std::chrono::milliseconds(left));
  }
  g_busy = true;
  return true;
}

void lock_release() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_busy = false;
  }
  g_cond.notify_one();
}

// A cut message keeps its line end, so the next line does not run on.
void format_message(char *buffer, int limit, const char *format, va_list args) {
  int n = vsnprintf(buffer, static_cast<size_t>(limit), format, args);
  if (n < 0) {
    buffer[0] = 0;
  } else if (n >= limit) {
    buffer[limit - 2] = '\n';
  }
}

void write_fully(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void ring_write(const Stamp &st, const char *thread, const char *tag, int severity) {
  for (int attempt = 0; attempt < 2; attempt++) {
    int n = snprintf(g_ring + g_wpos, g_left, HBLOGSINK_CONSOLE_FORM "%s", st.hour, st.minute,
                     st.second, st.ms, thread, tag, severity, g_line);
    if (n < 0) return;
    size_t advance = std::min(static_cast<size_t>(n), g_left);
    g_wpos += advance;
    g_left -= advance;
    if (g_left > 0) return;
    // The cut tail stays at the end of the ring, ended by snprintf's NUL;
    // the whole line goes again at the start.
    g_wpos = 0;
    g_left = kRingSize;
    g_wraps++;
  }
}

void rotate(int64_t now) {
  if (g_next_rotation > g_max_rotations) g_next_rotation = 1;
  char target[kPathSize];
  int n = g_max_rotations == 1
              ? snprintf(target, sizeof target, "%s.toupload", g_path)
              : snprintf(target, sizeof target, "%s.toupload.%d", g_path, g_next_rotation);
  g_last_rotation = now;
  // A cut target could name an unrelated file: keep writing where we are.
  if (n < 0 || static_cast<size_t>(n) >= sizeof target) return;

  Stamp st = now_local();
  const char *thread = brthread__getname(brthread__current());
  fprintf(g_file, HBLOGSINK_BANNER_FORM "-------- ROTATING LOG FILE --------\n", st.year,
          st.month, st.day, st.hour, st.minute, st.second, thread, "LOGROT", 8);
  fclose(g_file);
  unlink(target);
  rename(g_path, target);
  g_file = fopen(g_path, "ae");
  if (g_file) {
    fprintf(g_file, HBLOGSINK_BANNER_FORM "-------- LOG FILE ROTATED --------\n", st.year,
            st.month, st.day, st.hour, st.minute, st.second, thread, "LOGROT", 8);
  }
  g_next_rotation++;
}

void write_line(const char *tag, int severity, const char *format, va_list args) {
  format_message(g_line, kLineLimit, format, args);

  if (g_file && !(g_flags & HBLOGSINK_NOROTATE)) {
    int64_t now = ticks();
    if (g_last_rotation == 0) g_last_rotation = now;
    if (now - g_last_rotation > kRotateAfterMs) rotate(now);
  }

  Stamp st = now_local();
  const char *thread = brthread__getname(brthread__current());
  FILE *console = (g_flags & HBLOGSINK_STDOUT)   ? stdout
                  : (g_flags & HBLOGSINK_STDERR) ? stderr
                                                 : nullptr;
  if (console) {
    fprintf(console, HBLOGSINK_CONSOLE_FORM "%s", st.hour, st.minute, st.second, st.ms, thread,
            tag, severity, g_line);
    fflush(console);
  }
  if (g_ring) ring_write(st, thread, tag, severity);
  if (g_file) {
    fprintf(g_file, HBLOGSINK_FILE_FORM "%s", st.year, st.month, st.day, st.hour, st.minute,
            st.second, st.ms, thread, tag, severity, g_line);
    if (!(g_flags & HBLOGSINK_NOFLUSH)) fflush(g_file);
  }
}

void write_unlocked_to_stderr(const char *tag, int severity, const char *format, va_list args) {
  char message[kFallbackLimit];
  format_message(message, kFallbackLimit, format, args);
  Stamp st = now_local();
  fprintf(stderr, HBLOGSINK_CONSOLE_FORM "%s", st.hour, st.minute, st.second, st.ms,
          brthread__getname(brthread__current()), tag, severity, message);
  fflush(stderr);
}

void sink(void *, const char *tag, int severity, const char *format, va_list args) {
  if (severity > brlog_getverbosity()) return;
  if (!lock_take(true)) {
    write_unlocked_to_stderr(tag, severity, format, args);
    return;
  }
  if (g_initcount > 0) write_line(tag, severity, format, args);
  lock_release();
}

void resolve_path(const char *name) {
  g_path[0] = 0;
  if (!name) return;
  if (!strchr(name, '/')) {
    char logs[kPathSize];
    char folder[kPathSize];
    if (platform__getLogsFolder(logs, sizeof logs) == BRERROR_NONE) {
      int n = snprintf(folder, sizeof folder, "%s/%s", logs, kLogFolder);
      int m = snprintf(g_path, sizeof g_path, "%s/%s", folder, name);
      if (n > 0 && static_cast<size_t>(m) < sizeof g_path &&
          platform__makeFolders(folder, 0700) == BRERROR_NONE) {
        return;
      }
    }
  }
  snprintf(g_path, sizeof g_path, "%s", name);
}

void start(const char *log_file_name, uint32_t flags, int32_t max_rotations) {
  resolve_path(log_file_name);
  if (!(flags & HBLOGSINK_NOFILE) && g_path[0]) g_file = fopen(g_path, "ae");
  g_flags = flags;
  if (flags & HBLOGSINK_MEMLOG) g_ring = static_cast<char *>(calloc(1, kRingSize));
  g_wpos = 0;
  g_left = kRingSize;
  g_wraps = 0;
  g_max_rotations = max_rotations > 1 ? max_rotations : 1;
  g_next_rotation = 1;
  g_last_rotation = 0;
  // A forked child stamps its lines with the offset of the parent's last
  // line; take one now, in case a child logs before the parent does.
  now_local();
  brlog__addSink(sink, nullptr);
}

// Copies whole lines of the ring from `*cursor` (a position counted over all
// passes of the writer) up to `end` into `chunk`; returns the bytes copied.
// `*discard` is set while the cursor is inside a line whose start the writer
// overwrote. A run that ends in a NUL instead of a newline is the cut tail of
// a line that was written again at the start of the ring: it is dropped.
size_t collect_lines(char *chunk, uint64_t *cursor, uint64_t end, bool *discard) {
  size_t used = 0;
  while (*cursor < end) {
    size_t index = *cursor % kRingSize;
    if (index == 0) *discard = false;
    uint64_t segment_end = std::min<uint64_t>(end, *cursor - index + kRingSize);
    size_t limit = static_cast<size_t>(segment_end - *cursor);
    const char *start = g_ring + index;
    size_t length = 0;
    while (length < limit && start[length] != '\n' && start[length] != 0) length++;
    bool newest = length == limit && segment_end == end;
    if (length < limit && start[length] == 0) {
      *cursor += length + 1;
      continue;
    }
    if (length == limit && !newest) {
      *cursor = segment_end;
      continue;
    }
    size_t take = newest ? length : length + 1;
    if (*discard) {
      *discard = false;
      *cursor += take;
      continue;
    }
    if (used + take > kDumpChunk) break;
    memcpy(chunk + used, start, take);
    used += take;
    *cursor += take;
  }
  return used;
}

uint64_t writer_position() { return static_cast<uint64_t>(g_wraps) * kRingSize + g_wpos; }

brerror_t write_chunk(IHBStream *stream, const char *data, size_t size) {
  while (size > 0) {
    brerror_t n = stream->write(data, static_cast<int32_t>(size));
    if (n == BRERROR_TRY_AGAIN || n == 0) return BRERROR_NONE;
    if (n < 0) return n;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return BRERROR_NONE;
}

}  // namespace

brerror_t hblogsink__init(const char *process_name, const char *log_file_name,
                          const char *upload_location, uint32_t flags, void *reserved) {
  return hblogsink__initEx(process_name, log_file_name, upload_location, flags, reserved, 1);
}

brerror_t hblogsink__initEx(const char *, const char *log_file_name, const char *, uint32_t flags,
                            void *, int32_t max_rotations) {
  if (!lock_take(true)) return BRERROR_TIMED_OUT;
  if (g_initcount == 0) start(log_file_name, flags, max_rotations);
  g_initcount++;
  char path[kPathSize];
  memcpy(path, g_path, sizeof path);
  lock_release();

  struct stat st;
  if (path[0] && stat(path, &st) == 0 && st.st_size > kOldLogSize) {
    brlog("HBSRVC", 8, "Uploading Old Log in hblogsink__init...\n");
  }
  return BRERROR_NONE;
}

void hblogsink__destroy() {
  lock_take(false);
  if (g_initcount > 0 && --g_initcount == 0) {
    brlog__removeSink(sink, nullptr);
    if (g_file) fclose(g_file);
    g_file = nullptr;
    g_path[0] = 0;
    free(g_ring);
    g_ring = nullptr;
    g_flags = 0;
  }
  lock_release();
}

void hblogsink__setLogSeverity(int severity) { brlog_setverbosity(severity); }

brerror_t hblogsink__dumpMemoryLog(IHBStream *stream) {
  BRASSERT(stream != nullptr);
  char *chunk = new (std::nothrow) char[kDumpChunk];
  if (!chunk) return BRERROR_NO_MEMORY;
  if (!lock_take(true)) {
    delete[] chunk;
    return BRERROR_TIMED_OUT;
  }
  if (g_initcount == 0 || !g_ring) {
    lock_release();
    delete[] chunk;
    return BRERROR_BAD_STATE;
  }
  // Lines logged while the dump runs are not chased: it ends where the
  // writer stood when it began.
  uint64_t end = writer_position();
  bool discard = g_wraps > 0;
  uint64_t cursor = discard ? end - kRingSize : 0;
  brerror_t result = BRERROR_NONE;
  while (true) {
    size_t used = collect_lines(chunk, &cursor, end, &discard);
    lock_release();
    if (used == 0) break;
    result = write_chunk(stream, chunk, used);
    if (result < 0) break;
    if (!lock_take(true)) {
      result = BRERROR_TIMED_OUT;
      break;
    }
    uint64_t writer = writer_position();
    if (g_initcount == 0 || !g_ring || (writer >= kRingSize && cursor <= writer - kRingSize)) {
      lock_release();
      result = write_chunk(stream, kCaughtUp, sizeof kCaughtUp - 1);
      break;
    }
  }
  delete[] chunk;
  return result;
}

uint32_t hblogsink__getMemoryLogWraps() {
  if (!lock_take(true)) return 0;
  uint32_t wraps = g_wraps;
  lock_release();
  return wraps;
}

void __hblogsink__log__inchildpid(const char *tag, int severity, const char *format, ...) {
  va_list args;
  va_start(args, format);
  __hblogsink__logv__inchildpid(tag, severity, format, args);
  va_end(args);
}

void __hblogsink__logv__inchildpid(const char *tag, int severity, const char *format,
                                   va_list args) {
  char message[kLineLimit];
  format_message(message, kLineLimit, format, args);
  int64_t now = brthread__getnowtime();
  if (now < 0) now = 0;
  Stamp st = civil(now / 1000 + g_gmtoff.load(std::memory_order_relaxed),
                   static_cast<unsigned>(now % 1000));
  char line[kLineLimit + 64];
  int n = snprintf(line, sizeof line, HBLOGSINK_CONSOLE_FORM "%s", st.hour, st.minute, st.second,
                   st.ms, "FORKPID", tag, severity, message);
  if (n > 0) write_fully(STDOUT_FILENO, line, std::min(static_cast<size_t>(n), sizeof line - 1));
  if (g_file) {
    n = snprintf(line, sizeof line, HBLOGSINK_FILE_FORM "%s", st.year, st.month, st.day, st.hour,
                 st.minute, st.second, st.ms, "FORKPID", tag, severity, message);
    if (n > 0) write_fully(fileno(g_file), line, std::min(static_cast<size_t>(n), sizeof line - 1));
  }
}

void hblogsink__setClock(int64_t (*clock)()) {
  g_clock.store(clock ? clock : brthread__getticks, std::memory_order_relaxed);
}
