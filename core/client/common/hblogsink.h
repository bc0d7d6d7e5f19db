// hblogsink: the process log sink. Writes every log line to the log file,
// optionally echoes it to the console and keeps it in a 64 KiB memory ring;
// rotates the file every 12 hours to "<file>.toupload" (or
// "<file>.toupload.<n>" when more than one rotated file is kept).
//
// File lines:    "[YYYYMMDD-HHMMSS.mmm][thread][tag   ][sv] message"
// Console, ring: "[HHMMSS.mmm][thread][tag   ][sv] message"
// (local time; thread name and tag cut or padded to 6; severity in hex).
//
// Thread-safety: lines may be logged from any thread; every write happens
// under the log lock, so lines never interleave. A writer that cannot get the
// lock within 250 ms (monotonic) writes its line to standard error instead
// of blocking. init and destroy are counted; only the first init opens the
// file and only the last destroy closes it. The sink owns its file, names
// and ring.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "brerror.h"

class IHBStream;

enum : uint32_t {
  HBLOGSINK_STDOUT = 0x02,   // echo to standard output
  HBLOGSINK_STDERR = 0x04,   // echo to standard error (unless HBLOGSINK_STDOUT)
  HBLOGSINK_MEMLOG = 0x08,   // keep the memory ring
  HBLOGSINK_NOFILE = 0x10,   // do not open the log file
  HBLOGSINK_NOROTATE = 0x20,
  HBLOGSINK_NOFLUSH = 0x40,  // do not flush the file after each line
};

// `log_file_name` containing "/" is used as is; a bare name goes into
// "<Logs folder>/ZV ZX 4417 Hard Drive Utility/" (created when absent), or
// stays bare when there is no Logs folder. `upload_location` and `reserved`
// have no effect. -11 when the log lock cannot be taken.
brerror_t hblogsink__init(const char *process_name, const char *log_file_name,
                          const char *upload_location, uint32_t flags, void *reserved);
// As hblogsink__init, keeping up to `max_rotations` rotated files.
brerror_t hblogsink__initEx(const char *process_name, const char *log_file_name,
                            const char *upload_location, uint32_t flags, void *reserved,
                            int32_t max_rotations);
// Undoes one init; the last one removes the sink, closes the file, frees the ring.
void hblogsink__destroy();
void hblogsink__setLogSeverity(int severity);

// Writes the ring to `stream`, oldest line first, in chunks of whole lines.
// Ends with "(((MEMLOG WPTR CAUGHT UP)))\n" when new lines overwrite what was
// not yet written out. -5 without a ring, -11 when the lock cannot be
// taken, or the stream's error.
brerror_t hblogsink__dumpMemoryLog(IHBStream *stream);
// How often the ring has wrapped since init (diagnostics).
uint32_t hblogsink__getMemoryLogWraps();

// For a forked child before it execs: no lock, no thread lookup, no
// threshold test. Writes with write(2), so it neither waits on a stdio lock
// another thread held at the fork nor repeats the parent's buffered output.
void __hblogsink__log__inchildpid(const char *tag, int severity, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void __hblogsink__logv__inchildpid(const char *tag, int severity, const char *format,
                                   va_list args);

// The monotonic millisecond clock used for rotation and the lock budget;
// null restores brthread__getticks. For tests.
void hblogsink__setClock(int64_t (*ticks)());
