#include "svcurl.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "hbproperties_macos.h"

namespace {

struct Endpoints {
  char host[HOST_NAME_MAX_LENGTH + 1];
  char api[HOST_NAME_MAX_LENGTH + 32];
  char secure[HOST_NAME_MAX_LENGTH + 32];
};

const Endpoints &endpoints() {
  static Endpoints value;
  static std::once_flag once;
  std::call_once(once, [] {
    snprintf(value.host, sizeof value.host, "%s", HOST_DEFAULT_NAME);
    HBProperties *store = nullptr;
    if (HBPropertiesMacOS__new(&store, "com.zv.print.ZX4417util", nullptr) == 0) {
      char host[HOST_NAME_MAX_LENGTH + 1];
      brerror_t length = store->getProperty("host", host, sizeof host);
      if (length > 0 && length <= HOST_NAME_MAX_LENGTH) memcpy(value.host, host, length + 1);
      store->dnref();
    }
    snprintf(value.api, sizeof value.api, "http://%s/svc/api", value.host);
    snprintf(value.secure, sizeof value.secure, "https://%s/svc/api", value.host);
  });
  return value;
}

}  // namespace

const char *Host::Instanse() { return endpoints().host; }
const char *SvcUrl::GetApiDefault() { return endpoints().api; }
const char *SvcUrl::GetSecureDefault() { return endpoints().secure; }
