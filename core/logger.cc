#include "core/logger.h"

#include <chrono>
#include <ctime>
#include <iostream>
#include <stdexcept>
#include <utility>

namespace nivora {
namespace {

constexpr const char* kDefaultLogFile = "nivora_client.log";

std::string Timestamp() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);  // reentrant: threads log concurrently
  char buffer[32];
  size_t n = std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buffer, n);
}

int ParseLevel(const std::string& level) {
  if (level == "info") return INFO;
  if (level == "warning") return WARNING;
  if (level == "error") return ERROR;
  if (level == "critical") return CRITICAL;
  throw std::invalid_argument("Invalid log level: " + level);
}

}  // namespace

const char* LogLevelName(int level) {
  switch (level) {
    case INFO: return "INFO";
    case WARNING: return "WARNING";
    case ERROR: return "ERROR";
    case CRITICAL: return "CRITICAL";
    default: return "UNKNOWN";
  }
}

Logger::~Logger() {
  s_current_logger.Forget(this);
  nivora_encrypted_index::internal::encrypted_index::GlobalContext::s_logger.Forget(this);
  if (log_file_.is_open()) log_file_.close();
}

void Logger::log(int level, const std::string& message) {
  if (level < level_.load(std::memory_order_relaxed)) return;
  std::string line;
  line.reserve(message.size() + 40);
  line += '[';
  line += Timestamp();
  line += "][";
  line += LogLevelName(level);
  line += "] ";
  line += message;
  line += '\n';

  std::lock_guard<std::mutex> lock(mutex_);
  if (to_file_ && log_file_.is_open()) {
    log_file_ << line;
    log_file_.flush();
  } else if (level < ERROR) {
    std::cout << line << std::flush;
  } else {
    std::cerr << line << std::flush;
  }
}

void Logger::configure(const std::string& level, bool to_file,
                       const std::optional<std::string>& file_path) {
  const int parsed = ParseLevel(level);
  const std::string path = file_path.value_or(kDefaultLogFile);

  std::lock_guard<std::mutex> lock(mutex_);
  level_.store(parsed, std::memory_order_relaxed);
  to_file_ = to_file;
  if (!to_file) return;
  if (log_file_.is_open()) log_file_.close();
  log_file_.clear();
  log_file_.open(path, std::ios::out | std::ios::app);
  if (log_file_.fail()) {
    std::cerr << "[Logger] Failed to open log file: " << path << std::endl;
    to_file_ = false;
  }
}

void Logger::ResetToConsole() {
  std::lock_guard<std::mutex> lock(mutex_);
  level_.store(ERROR, std::memory_order_relaxed);
  to_file_ = false;
}

Logger& Logger::instance() {
  static Logger logger;
  return logger;
}

Logger& GetDefaultLogger() {
  static Logger logger;
  return logger;
}

LoggerHold::LoggerHold(LoggerHold&& other) noexcept
    : slot_(std::exchange(other.slot_, nullptr)),
      ticket_(std::exchange(other.ticket_, 0)),
      logger_(std::exchange(other.logger_, nullptr)) {}

LoggerHold& LoggerHold::operator=(LoggerHold&& other) noexcept {
  if (this != &other) {
    reset();
    slot_ = std::exchange(other.slot_, nullptr);
    ticket_ = std::exchange(other.ticket_, 0);
    logger_ = std::exchange(other.logger_, nullptr);
  }
  return *this;
}

void LoggerHold::reset() {
  if (slot_ != nullptr) slot_->Release(ticket_);
  slot_ = nullptr;
  ticket_ = 0;
  logger_ = nullptr;
}

LoggerHold LoggerSlot::Hold(Logger* logger) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t ticket = next_ticket_++;
  holds_.emplace_back(ticket, logger);
  PublishLocked();
  return LoggerHold(this, ticket, logger);
}

void LoggerSlot::Release(uint64_t ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(holds_, [ticket](const auto& hold) { return hold.first == ticket; });
  PublishLocked();
}

void LoggerSlot::Forget(const Logger* logger) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(holds_, [logger](const auto& hold) { return hold.second == logger; });
  PublishLocked();
}

void LoggerSlot::PublishLocked() {
  current_.store(holds_.empty() ? nullptr : holds_.back().second, std::memory_order_release);
}

// Constant-initialised, so they outlive every logger, the function-local
// statics included, and a logger's destructor can always leave them.
constinit LoggerSlot s_current_logger;

Logger* GetLogger() {
  Logger* current = s_current_logger.load();
  return current != nullptr ? current : &GetDefaultLogger();
}

namespace {

LoggerHold Select(LoggerSlot& slot, Logger* logger) {
  if (logger == nullptr) {
    logger = &GetDefaultLogger();
    logger->ResetToConsole();
  }
  return slot.Hold(logger);
}

}  // namespace

LoggerHold SelectCurrentLogger(Logger* logger) { return Select(s_current_logger, logger); }

}  // namespace nivora

namespace nivora_encrypted_index::internal::encrypted_index {

constinit nivora::LoggerSlot GlobalContext::s_logger;

nivora::Logger* GetLogger() {
  nivora::Logger* current = GlobalContext::s_logger.load();
  return current != nullptr ? current : &nivora::GetDefaultLogger();
}

nivora::LoggerHold SelectEngineLogger(nivora::Logger* logger) {
  return nivora::Select(GlobalContext::s_logger, logger);
}

}  // namespace nivora_encrypted_index::internal::encrypted_index
