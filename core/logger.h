// Logger writes one line per message, "[YYYY-mm-dd HH:MM:SS][LEVEL] message",
// to an appended log file or to the console (INFO and WARNING to standard
// output, everything above to standard error), dropping messages below its
// level. Safe to use from many threads: a line is composed outside the lock
// and written whole under it.
//
// Two process-wide accessors hand out "the current logger" to code that has
// none of its own: nivora::GetLogger (Index API, vector mathematics, filters)
// and nivora_encrypted_index::internal::encrypted_index::GetLogger (engine
// and keystores). Both fall back to one shared default logger.
//
// Each accessor reads a LoggerSlot. A slot never points to a logger that is
// gone: a selection lasts as long as the LoggerHold its setter keeps (an
// engine client keeps its own for its lifetime), after which the slot
// returns to the newest selection still held; and a logger leaves every slot
// when it is destroyed. What the accessors return stays valid while the
// logger lives: a logger must not be destroyed while a call logs through it.
#ifndef NIVORA_CORE_LOGGER_H_
#define NIVORA_CORE_LOGGER_H_

#include <atomic>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nivora {

enum LogLevel : int {
  INFO = 0,
  WARNING = 1,
  ERROR = 2,
  CRITICAL = 3,
};

// "INFO", "WARNING", "ERROR", "CRITICAL"; "UNKNOWN" for any other value.
const char* LogLevelName(int level);

class Logger {
 public:
  Logger() = default;  // level ERROR, console output
  // Leaves every process-wide slot that points to it.
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Writes one line unless level is below the logger's level. Never throws
  // for a failed write.
  void log(int level, const std::string& message);
  void info(const std::string& message) { log(INFO, message); }
  void warning(const std::string& message) { log(WARNING, message); }
  void error(const std::string& message) { log(ERROR, message); }
  void critical(const std::string& message) { log(CRITICAL, message); }
  void debug(const std::string&) {}  // never writes

  // level is exactly "info", "warning", "error" or "critical"; anything else
  // throws std::invalid_argument "Invalid log level: <level>" and changes
  // nothing. With to_file, (re)opens file_path, or "nivora_client.log" when
  // absent, for appending; a file that cannot be opened is reported on
  // standard error and output stays on the console.
  void configure(const std::string& level, bool to_file,
                 const std::optional<std::string>& file_path = std::nullopt);

  // Back to level ERROR on the console; an open file stays open, unwritten.
  void ResetToConsole();

  int level() const { return level_.load(std::memory_order_relaxed); }

  // The Python-facing logger, built on first use.
  static Logger& instance();

 private:
  std::atomic<int> level_{ERROR};
  bool to_file_ = false;   // guarded by mutex_
  std::ofstream log_file_; // guarded by mutex_
  std::mutex mutex_;
};

class LoggerSlot;

// Keeps a logger selected in a LoggerSlot until it is destroyed (or reset).
// Move-only; an empty hold keeps nothing.
class LoggerHold {
 public:
  LoggerHold() = default;
  LoggerHold(LoggerHold&& other) noexcept;
  LoggerHold& operator=(LoggerHold&& other) noexcept;
  ~LoggerHold() { reset(); }
  LoggerHold(const LoggerHold&) = delete;
  LoggerHold& operator=(const LoggerHold&) = delete;

  // The logger selected by this hold; null when empty.
  Logger* logger() const { return logger_; }
  // Ends the selection (the slot returns to the newest one still held).
  void reset();

 private:
  friend class LoggerSlot;
  LoggerHold(LoggerSlot* slot, uint64_t ticket, Logger* logger)
      : slot_(slot), ticket_(ticket), logger_(logger) {}

  LoggerSlot* slot_ = nullptr;
  uint64_t ticket_ = 0;
  Logger* logger_ = nullptr;
};

// A process-wide "current logger": the newest selection whose hold is alive
// and whose logger is not destroyed. Thread-safe: reads are one atomic load,
// selections and releases take a mutex.
class LoggerSlot {
 public:
  constexpr LoggerSlot() = default;
  LoggerSlot(const LoggerSlot&) = delete;
  LoggerSlot& operator=(const LoggerSlot&) = delete;

  // The current logger, or null when no selection is held.
  Logger* load() const { return current_.load(std::memory_order_acquire); }
  // Makes `logger` (not null) current for as long as the hold lives.
  [[nodiscard]] LoggerHold Hold(Logger* logger);

 private:
  friend class LoggerHold;
  friend class Logger;
  void Release(uint64_t ticket);
  void Forget(const Logger* logger);
  void PublishLocked();  // current_ = the newest hold; mutex_ held

  std::mutex mutex_;
  std::vector<std::pair<uint64_t, Logger*>> holds_;  // oldest first; guarded by mutex_
  uint64_t next_ticket_ = 1;                          // guarded by mutex_
  std::atomic<Logger*> current_{nullptr};
};

// The shared default logger (distinct from Logger::instance()).
Logger& GetDefaultLogger();

// The logger of the Index API and the code it calls.
extern LoggerSlot s_current_logger;

// s_current_logger's logger when one is held, else the default logger.
// Never null.
Logger* GetLogger();

// What index creation and loading do with a caller's logger: use it, or,
// when none is given, reset the default logger to the console and use that.
// The logger is current for as long as the returned hold lives.
[[nodiscard]] LoggerHold SelectCurrentLogger(Logger* logger);

}  // namespace nivora

namespace nivora_encrypted_index::internal::encrypted_index {

struct GlobalContext {
  // The logger of the engine and the keystores: that of the most recently
  // constructed engine client still alive (each holds its selection).
  static nivora::LoggerSlot s_logger;
};

// GlobalContext::s_logger's logger when one is held, else the default
// logger. Never null.
nivora::Logger* GetLogger();

// What an engine client constructor does with its logger: null means the
// default logger, reset to the console. The logger is current for as long as
// the returned hold lives.
[[nodiscard]] nivora::LoggerHold SelectEngineLogger(nivora::Logger* logger);

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_CORE_LOGGER_H_
