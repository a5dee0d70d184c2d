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
#ifndef NIVORA_CORE_LOGGER_H_
#define NIVORA_CORE_LOGGER_H_

#include <atomic>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

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

// The shared default logger (distinct from Logger::instance()).
Logger& GetDefaultLogger();

// The logger of the Index API and the code it calls; null until set.
extern std::atomic<Logger*> s_current_logger;

// s_current_logger when set, else the default logger. Never null.
Logger* GetLogger();

// What index creation and loading do with a caller's logger: use it, or,
// when none is given, reset the default logger to the console and use that.
// Returns the logger now current.
Logger* SelectCurrentLogger(Logger* logger);

}  // namespace nivora

namespace nivora_encrypted_index::internal::encrypted_index {

struct GlobalContext {
  // The logger of the engine and the keystores: the most recently
  // constructed engine client's. Null until one is constructed.
  static std::atomic<nivora::Logger*> s_logger;
};

// GlobalContext::s_logger when set, else the default logger. Never null.
nivora::Logger* GetLogger();

// What an engine client constructor does with its logger: null means the
// default logger, reset to the console. Returns the logger now current.
nivora::Logger* SelectEngineLogger(nivora::Logger* logger);

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_CORE_LOGGER_H_
