#include "svcurl.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

namespace {

// The endpoints are fixed on first use, so one process sees one host: this
// binary points the preference folder at a domain file naming its own host.
TEST(SvcUrlTest, HostComesFromThePreferenceDomainAndShapesBothEndpoints) {
  char folder[] = "/tmp/svcurl_testXXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  setenv("KX_CONFIG_DIR", folder, 1);
  std::string file = std::string(folder) + "/com.zv.print.ZX4417util.conf";
  FILE *f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("host=files.example.net:8081\n", f);
  fclose(f);

  EXPECT_STREQ(Host::Instanse(), "files.example.net:8081");
  EXPECT_STREQ(SvcUrl::GetApiDefault(), "http://files.example.net:8081/svc/api");
  EXPECT_STREQ(SvcUrl::GetSecureDefault(), "https://files.example.net:8081/svc/api");

  // Later changes of the setting do not move a running process.
  f = fopen(file.c_str(), "w");
  fputs("host=other.example.net\n", f);
  fclose(f);
  EXPECT_STREQ(Host::Instanse(), "files.example.net:8081");
  remove(file.c_str());
  rmdir(folder);
}

}  // namespace
