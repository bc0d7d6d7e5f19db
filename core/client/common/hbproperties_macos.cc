#include "hbproperties_macos.h"

#include <errno.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "brlog.h"
#include "brstring.h"
#include "platform_prefs.h"

namespace {

class HBPropertiesFile : public HBProperties {
 public:
  HBPropertiesFile(std::string domain, std::vector<std::pair<std::string, std::string>> defaults)
      : domain_(std::move(domain)), defaults_(std::move(defaults)) {}

  int32_t upref() override { return refs_.retain(); }
  int32_t dnref() override {
    int32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
  }
  brerror_t getifc(hbtype_t, void **) override { return BRERROR_UNSPECIFIED; }

  brerror_t getProperty(const char *name, char *buffer, int32_t size) override {
    if (!name) return BRERROR_UNSPECIFIED;
    std::string value;
    brerror_t err = platformprefs__read(domain_.c_str(), name, &value);
    if (err == BRERROR_NO_ENTRY) {
      const std::string *fallback = findDefault(name);
      if (!fallback) return BRERROR_NO_ENTRY;
      value = *fallback;
    } else if (err < 0) {
      // An unreadable file must not hide the defaults.
      brlog("PREFS", 2, "Can't read preferences of '%s': %d\n", domain_.c_str(), err);
      const std::string *fallback = findDefault(name);
      if (!fallback) return err;
      value = *fallback;
    }
    if (buffer && size > 0) {
      buffer[0] = '\0';
      brstrcatn(buffer, value.c_str(), static_cast<size_t>(size));
    }
    return static_cast<brerror_t>(value.size());
  }

  brerror_t putProperty(const char *name, const char *value) override {
    if (!name) return BRERROR_UNSPECIFIED;
    return platformprefs__write(domain_.c_str(), name, value);
  }

 protected:
  ~HBPropertiesFile() override = default;

 private:
  const std::string *findDefault(const char *name) const {
    for (const auto &entry : defaults_)
      if (entry.first == name) return &entry.second;
    return nullptr;
  }

  HBRefCount refs_;
  const std::string domain_;
  const std::vector<std::pair<std::string, std::string>> defaults_;
};

}  // namespace

brerror_t HBPropertiesMacOS__new(HBProperties **out, const char *domain,
                                 const HBPropertyDefault *defaults) {
  if (!domain) domain = program_invocation_short_name;
  if (!platformprefs__validDomain(domain)) return BRERROR_INVALID_ARGUMENT;
  std::vector<std::pair<std::string, std::string>> table;
  for (const HBPropertyDefault *d = defaults; d && d->name; ++d)
    if (d->value) table.emplace_back(d->name, d->value);
  HBPropertiesFile *store = new (std::nothrow) HBPropertiesFile(domain, std::move(table));
  if (!store) return BRERROR_NO_MEMORY;
  *out = store;
  return 0;
}
