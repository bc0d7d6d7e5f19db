#include "hbstream.h"

#include <cstring>
#include <memory>

#include "brlog.h"
#include "brthread.h"

namespace {

constexpr int32_t kCopyChunk = 131072;
constexpr size_t kGatherLimit = 4096;
constexpr int32_t kLineBuffer = 4096;
constexpr int64_t kProgressInterval = 1000;
// A destination that keeps accepting nothing would spin the copy loop
// forever; after this many empty writes in a row it counts as failed.
constexpr int kMaxEmptyWrites = 64;

}  // namespace

int64_t HBStream__sendTo(IHBStream *source, IHBStream *destination, int64_t count) {
  return HBStream__sendToHelper(source, destination, count, nullptr, nullptr);
}

int64_t HBStream__sendToHelper(IHBStream *source, IHBStream *destination, int64_t count,
                               hbstream_progress_f progress, void *user) {
  if (count == 0) return 0;
  brlog("SENDTO", 16, "USING read/write loop to send %lld bytes\n", static_cast<long long>(count));
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyChunk]);
  if (!buffer) return BRERROR_NO_MEMORY;

  const int64_t start = brthread__getticks();
  int64_t readMs = 0, writeMs = 0, totRead = 0, totWrite = 0;
  int nreads = 0, nwrites = 0;
  brerror_t failure = 0;
  bool done = false;

  while (!done) {
    int32_t want = kCopyChunk;
    if (count > 0 && count - totRead < want) want = static_cast<int32_t>(count - totRead);
    int64_t t0 = brthread__getticks();
    brerror_t got = source->read(buffer.get(), want);
    readMs += brthread__getticks() - t0;
    if (got == 0) break;
    if (got < 0) {
      brlog("SENDTO", 1, "Failed to read src @ %lld in %lldms: %d %s\n",
            static_cast<long long>(totRead), static_cast<long long>(brthread__getticks() - start),
            got, brerror_tostring(got));
      failure = got;
      break;
    }
    ++nreads;
    totRead += got;

    int32_t offset = 0;
    int empties = 0;
    while (offset < got) {
      t0 = brthread__getticks();
      brerror_t put = destination->write(buffer.get() + offset, got - offset);
      writeMs += brthread__getticks() - t0;
      if (put == 0 && ++empties < kMaxEmptyWrites) continue;
      if (put <= 0) {
        if (put == 0) put = BRERROR_IO;
        brlog("SENDTO", 1, "Failed to write dst @ %lld in %lldms: %d %s\n",
              static_cast<long long>(totWrite),
              static_cast<long long>(brthread__getticks() - start), put, brerror_tostring(put));
        failure = put;
        done = true;
        break;
      }
      empties = 0;
      ++nwrites;
      offset += put;
      totWrite += put;
      if (progress && progress(totWrite, user) != 0) {
        brlog("SENDTO", 2, "read/write loop break!\n");
        done = true;
        break;
      }
    }
    if (count > 0 && totWrite >= count) break;
  }

  brlog("SENDTO", 16, "read/write loop sent %lld bytes in %lldms (%lldms reading, %lldms writing)\n",
        static_cast<long long>(totWrite), static_cast<long long>(brthread__getticks() - start),
        static_cast<long long>(readMs), static_cast<long long>(writeMs));
  brlog("SENDTO", 16, "    nreads:    %d\n", nreads);
  brlog("SENDTO", 16, "    nwrites:   %d\n", nwrites);
  brlog("SENDTO", 16, "    totread:   %lld\n", static_cast<long long>(totRead));
  brlog("SENDTO", 16, "    totwrite:  %lld\n", static_cast<long long>(totWrite));
  brlog("SENDTO", 16, "    avgreads:  %lld\n",
        static_cast<long long>(nreads ? totRead / nreads : 0));
  brlog("SENDTO", 16, "    avgwrites: %lld\n",
        static_cast<long long>(nwrites ? totWrite / nwrites : 0));

  if (totWrite == 0 && failure < 0) return failure;
  return totWrite;
}

brerror_t HBStream__writevHelper(IHBStream *stream, const struct iovec *vector, int count) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += vector[i].iov_len;

  if (total > kGatherLimit) {
    int32_t written = 0;
    for (int i = 0; i < count; ++i) {
      const int32_t length = static_cast<int32_t>(vector[i].iov_len);
      if (length == 0) continue;
      brerror_t put = stream->write(vector[i].iov_base, length);
      if (put < 0) {
        brlog("BRSOCK", 1, "Stream write failed: %d!\n", put);
        return written == 0 ? put : written;
      }
      written += put;
      if (put != length) {
        brlog("BRSOCK", 16, "Short write in simulated writev (%d): %d != %d\n", i, put, length);
        return written;
      }
    }
    return written;
  }

  char gathered[kGatherLimit];
  size_t at = 0;
  for (int i = 0; i < count; ++i) {
    if (vector[i].iov_len == 0) continue;
    memcpy(gathered + at, vector[i].iov_base, vector[i].iov_len);
    at += vector[i].iov_len;
  }
  brerror_t put = stream->write(gathered, static_cast<int32_t>(at));
  if (put < 0) brlog("BRSOCK", 1, "Stream write failed: %d!\n", put);
  return put;
}

brerror_t HBStream__readLines(IHBStream *stream, int severity, hbstream_line_f callback,
                              void *user, hbstream_clock_f clock) {
  if (!clock) clock = brthread__getticks;
  char buffer[kLineBuffer];
  int32_t fill = 0;
  int64_t lastCallback = clock();

  for (;;) {
    // A full buffer without a line end holds more than 4,095 bytes of one
    // line; the end of a 4,095-byte line takes the last byte and becomes its
    // NUL.
    if (fill >= kLineBuffer) {
      brlog("HBSTRM", 1, "Line longer than %d bytes -- giving up\n", kLineBuffer - 1);
      return BRERROR_NO_SPACE;
    }
    brerror_t got = stream->read(buffer + fill, kLineBuffer - fill);
    if (got == BRERROR_TIMED_OUT) {
      brlog("HBSTRM", 17, "READ TIMED OUT\n");
      const int64_t now = clock();
      if (now - lastCallback >= kProgressInterval) {
        lastCallback = now;
        buffer[fill] = '\0';
        int stop = callback(stream, buffer, user);
        if (stop != 0) return stop;
      }
      continue;
    }
    if (got <= 0) {
      // The last line of a source that does not end in a line end is still
      // a line.
      if (got == 0 && fill > 0) {
        buffer[fill] = '\0';
        brlog("HBSTRM", severity, "LINE: '%s'\n", buffer);
        int stop = callback(stream, buffer, user);
        if (stop != 0) return stop;
      }
      return got;
    }
    fill += got;

    int32_t start = 0;
    for (int32_t i = 0; i < fill; ++i) {
      if (buffer[i] != '\r' && buffer[i] != '\n') continue;
      buffer[i] = '\0';
      brlog("HBSTRM", severity, "LINE: '%s'\n", buffer + start);
      lastCallback = clock();
      int stop = callback(stream, buffer + start, user);
      if (stop != 0) return stop;
      start = i + 1;
    }
    if (start > 0) {
      memmove(buffer, buffer + start, fill - start);
      fill -= start;
    }
  }
}

brerror_t HBStream__xmlReader(void *ctx, void *buf, int32_t size) {
  return static_cast<IHBStream *>(ctx)->read(buf, size);
}

brerror_t HBStream__xmlWriter(void *ctx, void *buf, int32_t size) {
  IHBStream *stream = static_cast<IHBStream *>(ctx);
  const char *data = static_cast<const char *>(buf);
  int32_t done = 0;
  while (done < size) {
    brerror_t put = stream->write(data + done, size - done);
    if (put < 0) return put;
    if (put == 0) return BRERROR_IO;
    done += put;
  }
  return size;
}
