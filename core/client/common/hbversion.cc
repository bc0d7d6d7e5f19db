#include "hbversion.h"

#include "brlog.h"

brerror_t hbversion__parse(const char *text, hbversion_t *version) {
  *version = hbversion_t{};
  const char *s = text;
  for (const char *p = text; *p; p++) {
    if (*p == ' ' || *p == '\t') s = p + 1;
  }
  int part = 0;
  for (; *s && part < 4; s++) {
    if (*s >= '0' && *s <= '9') {
      version->parts[part] = version->parts[part] * 10 + static_cast<uint32_t>(*s - '0');
    } else if (*s == '.' || *s == '_') {
      part++;
    } else {
      brlog("IMPORT", 2, "Invalid character in version '%s': '%s'\n", text, s);
      break;
    }
  }
  brlog("IMPORT", 8, "Parsed Version '%s': [%u.%u.%u.%u]\n", text, version->parts[0],
        version->parts[1], version->parts[2], version->parts[3]);
  return 0;
}
