#include "hbproperties.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "hbproperties_macos.h"

namespace fs = std::filesystem;

namespace {

class HBPropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/hbproperties_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    setenv("KX_CONFIG_DIR", dir_.c_str(), 1);
    HBProperties__setInstance(nullptr);
    ASSERT_EQ(HBPropertiesMacOS__new(store_.out(), "com.kexaro.test", kDefaults), 0);
  }
  void TearDown() override {
    HBProperties__setInstance(nullptr);
    store_.reset();
    unsetenv("KX_CONFIG_DIR");
    fs::remove_all(dir_);
  }
  std::string fileText() const {
    std::ifstream in(dir_ + "/com.kexaro.test.conf", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static constexpr HBPropertyDefault kDefaults[] = {
      {"logseverity", "8"},
      {"svcurl", "http://127.0.0.1:1/svc/api"},
      {nullptr, nullptr},
  };
  std::string dir_;
  HBRef<HBProperties> store_;
};

}  // namespace

TEST_F(HBPropertiesTest, IntegerReadsDetectTheBase) {
  struct Case {
    const char *text;
    brerror_t result;
    int32_t value;
  } cases[] = {
      {"0x20", 0, 32},
      {"010", 0, 8},
      {"-17", 0, -17},
      {"2147483647", 0, INT32_MAX},
      {"2147483648", BRERROR_UNSPECIFIED, 0},
      {"12abc", BRERROR_UNSPECIFIED, 0},
      {"", BRERROR_UNSPECIFIED, 0},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(store_->putProperty("number", c.text), 0);
    int32_t value = 0;
    EXPECT_EQ(store_->getPropertyInt("number", &value), c.result) << c.text;
    if (c.result == 0) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
  int32_t untouched = 99;
  EXPECT_EQ(store_->getPropertyInt("absent", &untouched), BRERROR_NO_ENTRY);
  EXPECT_EQ(untouched, 99);

  ASSERT_EQ(store_->putPropertyInt64("big", -9000000000LL), 0);
  int64_t big = 0;
  EXPECT_EQ(store_->getPropertyInt64("big", &big), 0);
  EXPECT_EQ(big, -9000000000LL);
  ASSERT_EQ(store_->putPropertyInt("small", -5), 0);
  char text[8];
  EXPECT_EQ(store_->getProperty("small", text, sizeof text), 2);
  EXPECT_STREQ(text, "-5");
}

TEST_F(HBPropertiesTest, ShortBufferGetsCutCopyAndFullLength) {
  ASSERT_EQ(store_->putProperty("name", "0123456789"), 0);
  char buffer[4];
  EXPECT_EQ(store_->getProperty("name", buffer, sizeof buffer), 10);
  EXPECT_STREQ(buffer, "012");
  EXPECT_EQ(store_->getProperty("name", nullptr, 0), 10);
  EXPECT_EQ(store_->getProperty(nullptr, buffer, sizeof buffer), BRERROR_UNSPECIFIED);
  EXPECT_EQ(store_->putProperty(nullptr, "x"), BRERROR_UNSPECIFIED);
}

TEST_F(HBPropertiesTest, StoredValueWinsOverDefaultUntilRemoved) {
  char buffer[64];
  EXPECT_EQ(store_->getProperty("logseverity", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "8");
  EXPECT_EQ(store_->getProperty("nowhere", buffer, sizeof buffer), BRERROR_NO_ENTRY);

  ASSERT_EQ(store_->putProperty("logseverity", "16"), 0);
  EXPECT_EQ(store_->getProperty("logseverity", buffer, sizeof buffer), 2);
  EXPECT_STREQ(buffer, "16");
  // A stored empty text is a value, not an absence.
  ASSERT_EQ(store_->putProperty("svcurl", ""), 0);
  EXPECT_EQ(store_->getProperty("svcurl", buffer, sizeof buffer), 0);

  ASSERT_EQ(store_->putProperty("logseverity", nullptr), 0);
  EXPECT_EQ(store_->getProperty("logseverity", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "8");
  EXPECT_EQ(store_->putProperty("never-set", nullptr), 0);
}

TEST_F(HBPropertiesTest, ValuesSurviveInEscapedFileAndOtherStores) {
  ASSERT_EQ(store_->putProperty("odd=name\\", "line one\nline two=\\x"), 0);
  ASSERT_EQ(store_->putProperty("plain", "caf\xC3\xA9"), 0);
  EXPECT_EQ(fileText(), "odd\\=name\\\\=line one\\nline two=\\\\x\nplain=caf\xC3\xA9\n");

  HBRef<HBProperties> other;
  ASSERT_EQ(HBPropertiesMacOS__new(other.out(), "com.kexaro.test", nullptr), 0);
  char buffer[64];
  EXPECT_EQ(other->getProperty("odd=name\\", buffer, sizeof buffer), 20);
  EXPECT_STREQ(buffer, "line one\nline two=\\x");
  EXPECT_EQ(other->getProperty("plain", buffer, sizeof buffer), 5);

  HBRef<HBProperties> elsewhere;
  ASSERT_EQ(HBPropertiesMacOS__new(elsewhere.out(), "com.zv.print.ZX4417util", nullptr), 0);
  EXPECT_EQ(elsewhere->getProperty("plain", buffer, sizeof buffer), BRERROR_NO_ENTRY);
}

TEST_F(HBPropertiesTest, DomainMustBeAPlainFileName) {
  for (const char *domain : {"../escape", "a/b", "", ".hidden"}) {
    HBProperties *store = nullptr;
    EXPECT_EQ(HBPropertiesMacOS__new(&store, domain, nullptr), BRERROR_INVALID_ARGUMENT) << domain;
    EXPECT_EQ(store, nullptr);
  }
  HBRef<HBProperties> own;
  EXPECT_EQ(HBPropertiesMacOS__new(own.out(), nullptr, nullptr), 0);
}

TEST_F(HBPropertiesTest, InstanceIsOnlyWhatSetInstanceInstalled) {
  HBProperties *got = nullptr;
  char buffer[16];
  EXPECT_EQ(HBProperties__getInstance(&got), BRERROR_NO_ENTRY);
  EXPECT_EQ(HBProperites__getProperty("logseverity", buffer, sizeof buffer), BRERROR_NO_ENTRY);

  HBProperties__setInstance(store_.get());
  ASSERT_EQ(HBProperties__getInstance(&got), 0);
  EXPECT_EQ(got, store_.get());
  got->dnref();
  EXPECT_EQ(HBProperites__getProperty("logseverity", buffer, sizeof buffer), 1);

  HBRef<HBProperties> second;
  ASSERT_EQ(HBPropertiesMacOS__new(second.out(), "com.kexaro.second", nullptr), 0);
  ASSERT_EQ(HBProperties__getInstance(&got), 0);
  EXPECT_EQ(got, store_.get());
  got->dnref();

  HBProperties__setInstance(second.get());
  // The instance holds its own reference: dropping ours keeps it alive.
  HBProperties *raw = second.release();
  raw->dnref();
  ASSERT_EQ(HBProperties__getInstance(&got), 0);
  EXPECT_EQ(got, raw);
  EXPECT_EQ(got->getProperty("logseverity", buffer, sizeof buffer), BRERROR_NO_ENTRY);
  got->dnref();
}
