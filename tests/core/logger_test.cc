#include "core/logger.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace nivora {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("logger_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(LoggerTest, LineFormatAndConsoleRouting) {
  Logger logger;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  logger.error("disk full");
  logger.warning("dropped at ERROR");
  logger.log(7, "odd level");
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "");
  std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[ERROR\] disk full\n)"
                  R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[UNKNOWN\] odd level\n)");
  EXPECT_TRUE(std::regex_match(err, line)) << err;

  logger.configure("warning", false);
  testing::internal::CaptureStdout();
  logger.warning("to stdout");
  logger.info("dropped");
  logger.debug("never");
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[WARNING] to stdout\n"), std::string::npos);
  EXPECT_EQ(out.find("dropped"), std::string::npos);
}

TEST_F(LoggerTest, InvalidLevelChangesNothing) {
  Logger logger;
  logger.configure("info", false);
  for (const std::string bad : {"WARNING", "debug", ""}) {
    try {
      logger.configure(bad, true, (dir_ / "never.log").string());
      FAIL() << bad;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid log level: " + bad);
    }
    EXPECT_EQ(logger.level(), INFO);
  }
  EXPECT_FALSE(fs::exists(dir_ / "never.log"));
}

TEST_F(LoggerTest, FileOutputAppendsAndFlushes) {
  fs::path path = dir_ / "a.log";
  {
    std::ofstream(path) << "earlier\n";
  }
  Logger logger;
  logger.configure("info", true, path.string());
  testing::internal::CaptureStdout();
  logger.info("first");
  logger.debug("never");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  std::string content = ReadFile(path);  // complete as soon as log returns
  EXPECT_EQ(content.rfind("earlier\n", 0), 0u);
  EXPECT_NE(content.find("[INFO] first\n"), std::string::npos);
  EXPECT_EQ(content.find("never"), std::string::npos);

  // Back on the console: the file stays open but unwritten.
  logger.configure("info", false);
  testing::internal::CaptureStdout();
  logger.info("second");
  EXPECT_NE(testing::internal::GetCapturedStdout().find("second"), std::string::npos);
  EXPECT_EQ(ReadFile(path).find("second"), std::string::npos);
}

TEST_F(LoggerTest, DefaultFileNameInWorkingDirectory) {
  fs::path cwd = fs::current_path();
  fs::current_path(dir_);
  {
    Logger logger;
    logger.configure("info", true, std::nullopt);
    logger.info("hello");
  }
  fs::current_path(cwd);
  EXPECT_NE(ReadFile(dir_ / "nivora_client.log").find("[INFO] hello"), std::string::npos);
}

TEST_F(LoggerTest, UnopenableFileFallsBackToConsole) {
  Logger logger;
  std::string path = (dir_ / "missing" / "x.log").string();
  testing::internal::CaptureStderr();
  logger.configure("info", true, path);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[Logger] Failed to open log file: " + path + "\n");
  testing::internal::CaptureStdout();
  logger.info("still here");
  EXPECT_NE(testing::internal::GetCapturedStdout().find("still here"), std::string::npos);
}

TEST_F(LoggerTest, ProcessWideAccessors) {
  EXPECT_NE(&Logger::instance(), &GetDefaultLogger());
  Logger mine;
  LoggerHold held = SelectCurrentLogger(&mine);
  EXPECT_EQ(held.logger(), &mine);
  EXPECT_EQ(GetLogger(), &mine);

  // Without a logger, the default one is reset to ERROR on the console even
  // after it was configured for a file.
  GetDefaultLogger().configure("info", true, (dir_ / "default.log").string());
  LoggerHold default_held = SelectCurrentLogger(nullptr);
  EXPECT_EQ(default_held.logger(), &GetDefaultLogger());
  EXPECT_EQ(GetLogger()->level(), ERROR);
  testing::internal::CaptureStderr();
  GetLogger()->error("on console");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("on console"), std::string::npos);
  EXPECT_EQ(ReadFile(dir_ / "default.log").find("on console"), std::string::npos);

  namespace engine = nivora_encrypted_index::internal::encrypted_index;
  LoggerHold engine_held = engine::SelectEngineLogger(&mine);
  EXPECT_EQ(engine::GetLogger(), &mine);
  LoggerHold engine_default = engine::SelectEngineLogger(nullptr);
  EXPECT_EQ(engine::GetLogger(), &GetDefaultLogger());
}

// A selection lasts as long as its hold; then the slot returns to the newest
// selection still held, whatever order the holds go in. A destroyed logger
// leaves the slots at once, even while a hold on it lives.
TEST_F(LoggerTest, SlotsNeverPointToAGoneSelectionOrLogger) {
  namespace engine = nivora_encrypted_index::internal::encrypted_index;
  Logger first;
  Logger third;
  LoggerHold hold_first = engine::SelectEngineLogger(&first);
  LoggerHold hold_second;
  LoggerHold hold_third;
  {
    auto second = std::make_unique<Logger>();
    hold_second = engine::SelectEngineLogger(second.get());
    hold_third = engine::SelectEngineLogger(&third);
    EXPECT_EQ(engine::GetLogger(), &third);
    hold_third.reset();
    EXPECT_EQ(engine::GetLogger(), second.get());
    hold_third = engine::SelectEngineLogger(&third);
  }  // second is destroyed while its hold lives
  EXPECT_EQ(engine::GetLogger(), &third);
  hold_third.reset();
  EXPECT_EQ(engine::GetLogger(), &first);  // not the destroyed second
  hold_second.reset();                     // releasing a forgotten logger's hold is harmless
  EXPECT_EQ(engine::GetLogger(), &first);
  LoggerHold moved = std::move(hold_first);
  EXPECT_EQ(engine::GetLogger(), &first);
  moved.reset();
  EXPECT_EQ(engine::GetLogger(), &GetDefaultLogger());

  // The same for the Index API's slot.
  {
    Logger api;
    LoggerHold held = SelectCurrentLogger(&api);
    EXPECT_EQ(GetLogger(), &api);
  }
  EXPECT_EQ(GetLogger(), &GetDefaultLogger());
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
  fs::path path = dir_ / "threads.log";
  Logger logger;
  logger.configure("info", true, path.string());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&logger, t] {
      for (int i = 0; i < 200; ++i) logger.info("thread " + std::to_string(t) + " line");
    });
  }
  threads.emplace_back([&logger] {
    for (int i = 0; i < 50; ++i) logger.configure(i % 2 ? "info" : "warning", false);
  });
  for (auto& t : threads) t.join();
  std::ifstream in(path);
  std::regex line(R"(\[[-0-9 :]{19}\]\[INFO\] thread \d line)");
  for (std::string l; std::getline(in, l);) EXPECT_TRUE(std::regex_match(l, line)) << l;
}

}  // namespace
}  // namespace nivora
