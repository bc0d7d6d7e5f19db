#include "brunicode.h"

#include <algorithm>

#include "brlog.h"

namespace {

// A starter and up to 14 marks; longer runs are written out uncomposed.
constexpr int kRunMax = 15;
// Room for the composition index; the generator's table has 1,491 entries.
constexpr int kComposeCapacity = 2048;
constexpr uint32_t kMaxCodepoint = 0x10FFFF;
constexpr uint32_t kByteOrderMark = 0xFEFF;

bool find_decomposition(uint32_t cp, uint32_t *target) {
  if (cp < 0xC0) return false;
  const brunicode_decomp_t *begin = g_brunicode_decompchars;
  const brunicode_decomp_t *end = begin + g_brunicode_decompchars_len;
  const brunicode_decomp_t *it = std::lower_bound(
      begin, end, cp, [](const brunicode_decomp_t &e, uint32_t v) { return e.codepoint < v; });
  if (it == end || it->codepoint != cp) return false;
  *target = it->target;
  return true;
}

// Pairs of the decomposition table sorted by pair, the lowest code point
// first among equal pairs, so that a pair composes to the first entry that
// lists it (U+00A8 U+0301 gives U+0385, not U+1FEE).
struct ComposeIndex {
  struct Entry {
    uint32_t pair;
    uint32_t codepoint;
  };
  Entry entries[kComposeCapacity];
  int count = 0;

  ComposeIndex() {
    BRASSERT(g_brunicode_decompchars_len <= kComposeCapacity);
    for (int i = 0; i < g_brunicode_decompchars_len; i++) {
      const brunicode_decomp_t &d = g_brunicode_decompchars[i];
      if (d.target > kMaxCodepoint) entries[count++] = {d.target, d.codepoint};
    }
    std::stable_sort(entries, entries + count,
                     [](const Entry &a, const Entry &b) { return a.pair < b.pair; });
  }

  bool find(uint32_t first, uint32_t second, uint32_t *composed) const {
    if (first > 0xFFFF || second > 0xFFFF) return false;
    uint32_t pair = (first << 16) | second;
    const Entry *end = entries + count;
    const Entry *it = std::lower_bound(entries, end, pair,
                                       [](const Entry &e, uint32_t v) { return e.pair < v; });
    if (it == end || it->pair != pair) return false;
    *composed = it->codepoint;
    return true;
  }
};

const ComposeIndex &compose_index() {
  static const ComposeIndex index;
  return index;
}

// Appends UTF-8 to a bounded buffer; `length` keeps counting past `size`
// so that the caller learns the size it would have needed. It also notes
// where composing has to begin: at the starter before the first mark, since
// everything before it stays as it is.
struct DecomposedWriter {
  char *out;
  size_t size;
  size_t length = 0;
  size_t last_starter = 0;
  bool has_mark = false;

  void put_ascii(char c) {
    if (out && length < size) out[length] = c;
    if (!has_mark) last_starter = length;
    length++;
  }

  brerror_t put(uint32_t cp) {
    if (cp == kByteOrderMark) return 0;
    if (!has_mark) {
      if (brunicode_combiningclass(cp) == 0) {
        last_starter = length;
      } else {
        has_mark = true;
      }
    }
    size_t room = length < size ? size - length : 0;
    int n = brunicode_cptoutf8(cp, out ? out + length : nullptr, room);
    if (n < 0) return n;
    length += static_cast<size_t>(n);
    return 0;
  }
};

brerror_t put_decomposed(DecomposedWriter &w, uint32_t cp) {
  uint32_t target;
  if (!find_decomposition(cp, &target)) return w.put(cp);
  if (target <= kMaxCodepoint) return put_decomposed(w, target);
  brerror_t err = put_decomposed(w, target >> 16);
  if (err < 0) return err;
  return put_decomposed(w, target & 0xFFFF);
}

// Composes run[0] with the marks after it. A mark is blocked when a mark
// left between it and the starter has the same or a higher class: composing
// across it would change what the text means (a + U+0313 + U+0301 is not
// U+00E1 + U+0313).
int compose_run(uint32_t *run, int n) {
  if (n < 2) return n;
  const ComposeIndex &index = compose_index();
  bool composed = true;
  while (composed) {
    composed = false;
    int blocking = 0;
    for (int i = 1; i < n; i++) {
      int cc = brunicode_combiningclass(run[i]);
      uint32_t c;
      if (blocking < cc && index.find(run[0], run[i], &c)) {
        run[0] = c;
        std::copy(run + i + 1, run + n, run + i);
        n--;
        composed = true;
        break;
      }
      blocking = std::max(blocking, cc);
    }
  }
  return n;
}

}  // namespace

int brunicode_combiningclass(uint32_t codepoint) {
  if (codepoint < g_brunicode_modchars[0].codepoint ||
      codepoint > g_brunicode_modchars[g_brunicode_modchars_len - 1].codepoint) {
    return 0;
  }
  const brunicode_modchar_t *begin = g_brunicode_modchars;
  const brunicode_modchar_t *end = begin + g_brunicode_modchars_len;
  const brunicode_modchar_t *it =
      std::lower_bound(begin, end, codepoint,
                       [](const brunicode_modchar_t &e, uint32_t v) { return e.codepoint < v; });
  return it != end && it->codepoint == codepoint ? it->combining_class : 0;
}

int brunicode_utf8cp(const char *text, int length, uint32_t *codepoint) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  bool to_nul = length < 0;
  if (length == 0 || (to_nul && s[0] == 0)) return BRERROR_OUT_OF_RANGE;
  unsigned char lead = s[0];
  int n;
  uint32_t cp;
  if (lead < 0x80) {
    *codepoint = lead;
    return 1;
  } else if (lead < 0xC0) {
    return BRERROR_INVALID_ARGUMENT;
  } else if (lead < 0xE0) {
    n = 2;
    cp = lead & 0x1F;
  } else if (lead < 0xF0) {
    n = 3;
    cp = lead & 0x0F;
  } else if (lead < 0xF8) {
    n = 4;
    cp = lead & 0x07;
  } else {
    return BRERROR_INVALID_ARGUMENT;
  }
  for (int i = 1; i < n; i++) {
    if (to_nul ? s[i] == 0 : i >= length) return BRERROR_OUT_OF_RANGE;
    if ((s[i] & 0xC0) != 0x80) return BRERROR_INVALID_ARGUMENT;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  *codepoint = cp;
  return n;
}

int brunicode_cptoutf8(uint32_t codepoint, char *out, size_t size) {
  if (codepoint == kByteOrderMark) return 0;
  if (codepoint > kMaxCodepoint) return BRERROR_INVALID_ARGUMENT;
  unsigned char b[4];
  int n;
  if (codepoint < 0x80) {
    b[0] = static_cast<unsigned char>(codepoint);
    n = 1;
  } else if (codepoint < 0x800) {
    b[0] = static_cast<unsigned char>(0xC0 | (codepoint >> 6));
    b[1] = static_cast<unsigned char>(0x80 | (codepoint & 0x3F));
    n = 2;
  } else if (codepoint < 0x10000) {
    b[0] = static_cast<unsigned char>(0xE0 | (codepoint >> 12));
    b[1] = static_cast<unsigned char>(0x80 | ((codepoint >> 6) & 0x3F));
    b[2] = static_cast<unsigned char>(0x80 | (codepoint & 0x3F));
    n = 3;
  } else {
    b[0] = static_cast<unsigned char>(0xF0 | (codepoint >> 18));
    b[1] = static_cast<unsigned char>(0x80 | ((codepoint >> 12) & 0x3F));
    b[2] = static_cast<unsigned char>(0x80 | ((codepoint >> 6) & 0x3F));
    b[3] = static_cast<unsigned char>(0x80 | (codepoint & 0x3F));
    n = 4;
  }
  if (out && static_cast<size_t>(n) <= size) std::copy(b, b + n, out);
  return n;
}

int brunicode_normalizec_utf8(const char *text, int length, char *out, size_t size) {
  // Pass 1: the full decomposition, in text order, into `out`.
  DecomposedWriter dec{out, size};
  for (int pos = 0; length < 0 ? text[pos] != 0 : pos < length;) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      dec.put_ascii(text[pos++]);
      continue;
    }
    uint32_t cp;
    int n = brunicode_utf8cp(text + pos, length < 0 ? -1 : length - pos, &cp);
    if (n < 0) return n;
    pos += n;
    brerror_t err = put_decomposed(dec, cp);
    if (err < 0) return err;
  }
  if (dec.length > size || !dec.has_mark) return static_cast<int>(dec.length);

  // Pass 2: compose in place. Every code point was re-encoded in its
  // shortest form and a composite (at most 3 bytes) replaces a pair of at
  // least 3 bytes, so the write position never passes the read position.
  const int dlen = static_cast<int>(dec.length);
  uint32_t run[kRunMax];
  int run_len = 0;
  bool run_too_long = false;
  size_t w = dec.last_starter;
  int r = static_cast<int>(dec.last_starter);
  auto emit = [&](uint32_t cp) {
    int n = brunicode_cptoutf8(cp, out + w, static_cast<size_t>(r) - w);
    BRASSERT(n >= 0 && w + static_cast<size_t>(n) <= static_cast<size_t>(r));
    w += static_cast<size_t>(n);
  };
  auto flush = [&]() {
    int n = run_too_long ? 0 : compose_run(run, run_len);
    for (int i = 0; i < n; i++) emit(run[i]);
    run_len = 0;
    run_too_long = false;
  };
  while (r < dlen) {
    // An ASCII starter that no mark follows is its own run: copy it.
    if (static_cast<unsigned char>(out[r]) < 0x80 &&
        (r + 1 == dlen || static_cast<unsigned char>(out[r + 1]) < 0x80)) {
      flush();
      out[w++] = out[r++];
      continue;
    }
    uint32_t cp;
    int n = brunicode_utf8cp(out + r, dlen - r, &cp);
    BRASSERT(n > 0);
    r += n;
    if (brunicode_combiningclass(cp) == 0) {
      flush();
      run[run_len++] = cp;
    } else if (run_too_long || run_len == 0) {
      emit(cp);
    } else if (run_len == kRunMax) {
      for (int i = 0; i < run_len; i++) emit(run[i]);
      run_too_long = true;
      emit(cp);
    } else {
      run[run_len++] = cp;
    }
  }
  flush();
  return static_cast<int>(w);
}
