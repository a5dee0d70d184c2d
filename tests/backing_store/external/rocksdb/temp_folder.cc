#include "temp_folder.h"

#include <unistd.h>

#include <filesystem>
#include <random>

#include <gtest/gtest.h>

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

namespace fs = std::filesystem;

// Removes the base folder when the test program ends; every keystore (and so
// every database) of a test is gone by then.
class BaseFolder {
 public:
  BaseFolder()
      : path_(fs::temp_directory_path() / ("nivora_rocksdb_" + std::to_string(::getpid()) + "_" +
                                           std::to_string(std::random_device{}()))) {}
  ~BaseFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

const fs::path& Base() {
  static BaseFolder base;
  return base.path();
}

// Test names of parameterised suites hold "/"; folders must not.
std::string Flat(std::string name) {
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

}  // namespace

std::string TestFolder() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name =
      info == nullptr ? "outside_tests" : std::string(info->test_suite_name()) + "." + info->name();
  return (Base() / Flat(name)).string();
}

std::string FreshFolder(const std::string& name) { return (Base() / Flat(name)).string(); }

}  // namespace nivora_encrypted_index::internal::backing_store::testing
