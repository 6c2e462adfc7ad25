#include "platform/registry.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/file.h"

namespace kelva::platform {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-registry-XXXXXX";
    dir_ = mkdtemp(tmpl);
    reg_ = std::make_unique<Registry>(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
  std::unique_ptr<Registry> reg_;
};

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices";

TEST_F(RegistryTest, KeysAndValuesAreFoundWithoutRegardToCase) {
  ASSERT_EQ(reg_->CreateKey(kKey), 0u);
  EXPECT_EQ(reg_->OpenKey("hklm\\system\\MOUNTEDDEVICES"), 0u);
  EXPECT_EQ(reg_->OpenKey("HKLM\\SYSTEM\\Other"), ERROR_FILE_NOT_FOUND);
  // Value names of the mount-point table hold backslashes, colons and braces.
  ASSERT_EQ(reg_->SetValue(kKey, "\\DosDevices\\X:", REG_BINARY, std::string("\x01\x02\0\x03", 4)), 0u);
  ASSERT_EQ(reg_->SetValue(kKey, "\\??\\Volume{ab/cd}%", REG_BINARY, "v"), 0u);
  uint32_t type = 0;
  std::string data;
  ASSERT_EQ(reg_->QueryValue("HKLM\\System\\MountedDevices", "\\dosdevices\\x:", &type, &data), 0u);
  EXPECT_EQ(type, uint32_t(REG_BINARY));
  EXPECT_EQ(data, std::string("\x01\x02\0\x03", 4));
  // Replacing keeps one value (found without regard to case).
  ASSERT_EQ(reg_->SetValue(kKey, "\\DOSDEVICES\\X:", REG_BINARY, "new"), 0u);
  std::vector<std::string> names;
  ASSERT_EQ(reg_->EnumValues(kKey, &names), 0u);
  EXPECT_EQ(names, (std::vector<std::string>{"\\??\\Volume{ab/cd}%", "\\DosDevices\\X:"}));
  ASSERT_EQ(reg_->DeleteValue(kKey, "\\dosdevices\\X:"), 0u);
  EXPECT_EQ(reg_->QueryValue(kKey, "\\DosDevices\\X:", &type, &data), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ValuesAndSubkeysOfTheSameNameStaySeparate) {
  ASSERT_EQ(reg_->CreateKey("HKU\\alice\\#odd\\.hidden"), 0u);
  ASSERT_EQ(reg_->SetDword("HKU\\alice", "#odd", 7), 0u);
  ASSERT_EQ(reg_->SetString("HKU\\alice", ".hidden", u"\u00e9t\u00e9"), 0u);
  std::vector<std::string> keys, values;
  ASSERT_EQ(reg_->EnumKeys("HKU\\alice", &keys), 0u);
  ASSERT_EQ(reg_->EnumValues("HKU\\alice", &values), 0u);
  EXPECT_EQ(keys, std::vector<std::string>{"#odd"});
  EXPECT_EQ(values, (std::vector<std::string>{"#odd", ".hidden"}));
  uint32_t v = 0;
  ASSERT_EQ(reg_->QueryDword("HKEY_USERS\\alice", "#odd", &v), 0u);
  EXPECT_EQ(v, 7u);
  std::u16string s;
  ASSERT_EQ(reg_->QueryString("HKEY_USERS\\alice", ".hidden", &s), 0u);
  EXPECT_EQ(s, u"\u00e9t\u00e9");
  // A value of another type is not a DWORD.
  EXPECT_EQ(reg_->QueryDword("HKU\\alice", ".hidden", &v), ERROR_INVALID_DATA);
  ASSERT_EQ(reg_->DeleteKeyTree("HKU\\alice\\#odd"), 0u);
  EXPECT_EQ(reg_->OpenKey("HKU\\alice\\#odd\\.hidden"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_->QueryDword("HKU\\alice", "#odd", &v), 0u);
}

TEST_F(RegistryTest, WritesToAMissingKeyFail) {
  EXPECT_EQ(reg_->SetDword("HKLM\\Nowhere", "x", 1), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_->CreateKey(""), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, NotifierReportsValueChangesFromAnyWriter) {
  ASSERT_EQ(reg_->CreateKey(kKey), 0u);
  std::unique_ptr<KeyChangeNotifier> notifier;
  ASSERT_EQ(OpenKeyChangeNotifier(*reg_, kKey, &notifier), 0u);
  Event changed(true);
  ASSERT_EQ(notifier->Arm(&changed), 0u);
  // A subkey is not a value change.
  ASSERT_EQ(reg_->CreateKey(std::string(kKey) + "\\Sub"), 0u);
  EXPECT_FALSE(changed.Wait(100));
  // A second registry object stands for another process writing.
  Registry other(dir_);
  ASSERT_EQ(other.SetValue(kKey, "\\DosDevices\\Y:", REG_BINARY, "1"), 0u);
  EXPECT_TRUE(changed.Wait(5000));
  changed.Reset();
  ASSERT_EQ(other.DeleteValue(kKey, "\\DosDevices\\Y:"), 0u);
  EXPECT_TRUE(changed.Wait(5000));
  // The key going away is reported, and re-arming then fails.
  changed.Reset();
  ASSERT_EQ(reg_->DeleteKeyTree(kKey), 0u);
  EXPECT_TRUE(changed.Wait(5000));
  for (int i = 0; i < 500 && notifier->Arm(&changed) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(notifier->Arm(&changed), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace kelva::platform
