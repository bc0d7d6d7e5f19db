// svcurl: the default service endpoints, built from one host name.
//
// Host::Instanse() reads key "host" of the preference domain
// "com.zv.print.ZX4417util" once, on first use, falling back to
// HOST_DEFAULT_NAME; the texts are fixed afterwards for the life of the
// process. Every function here is thread-safe and returns static texts.
#pragma once

// The service host when the preference domain names none.
constexpr const char HOST_DEFAULT_NAME[] = "svc.kexaro.test";
// Longest host name taken from the preferences.
constexpr int HOST_NAME_MAX_LENGTH = 255;

class Host {
 public:
  static const char *Instanse();
};

class SvcUrl {
 public:
  // "http://<host>/svc/api"
  static const char *GetApiDefault();
  // "https://<host>/svc/api"
  static const char *GetSecureDefault();
};
