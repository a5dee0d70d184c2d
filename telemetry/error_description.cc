#include "telemetry/error_description.h"

#include "telemetry/utf8_text.h"

namespace nivora::internal {
namespace {

constexpr std::string_view kRedacted = "<redacted>";

// Fixed wording that looks like a quoted fragment; kept whole.
constexpr std::string_view kKeptPhrases[] = {
    "Please call `CreateIndex()` or `LoadIndex()` before calling this function.",
    " is missing both 'vector' and 'contents' fields",
    "Index name cannot be an empty string.",
};

// Outside text follows `opener`. With a `closer`, it runs to the last
// occurrence of the closer (the rule applies only when there is one);
// without, to the end of the message.
struct Rule {
  std::string_view opener;
  std::string_view closer;
};

// Where two openers start alike, the longer comes first.
constexpr Rule kRules[] = {
    // JSON parser and filters
    {"last read: ", ""},
    {"Found multiple conditions for field: ", ""},
    {"Operator `", "` cannot have"},
    {"Unsupported operator: ", ""},
    {"Invalid regex pattern: ", "\nError: "},
    {"Invalid regex pattern: ", ""},
    {"Unsupported type in $type operator: ", ""},
    // Index API, values from Python, embedding models
    {"Invalid distance metric: ", ""},
    {"Unknown DB location: ", ""},
    {"Invalid log level: ", ""},
    {"Unable to determine embedding dimension for model: ", ""},
    {"Failed to load embedding model: ", ""},
    {"Failed to encode query_contents: ", ""},
    {"Failed to serialize filters to JSON: ", ""},
    {"Failed to process batch embeddings: ", ""},
    {"Failed to import json module: ", ""},
    {"Python Exception: ", ""},
    // engine: index names
    {"Index name '", "' does not exist in "},
    {"Index name ", " already exists"},
    {"Failed to delete index config for ", ""},
    {"Failed to delete NVS config for ", ""},
    // PostgreSQL: server messages
    {"Failed to connect to PostgreSQL: ", ""},
    {"PostgreSQL query error: ", ""},
    {"Postgres BEGIN transaction error: ", ""},
    {"Postgres put_item error: ", ""},
    {"Postgres get_item error: ", ""},
    {"Postgres delete config item error: ", ""},
    {"Batch get failed: ", ""},
    {"Batch delete failed: ", ""},
    {"Delete Failed: ", ""},
    {"Failed to delete index (string representation): ", ""},
    {"Failed to delete index numeric representation: ", ""},
    {"Failed to get all keys: ", ""},
    {"Failed to set isolation level: ", ""},
    {"Failed to set timeout: ", ""},
    {"Failed to acquire lock: ", ""},
    {"Failed to execute atomic update: ", ""},
    {"Failed to execute query: ", ""},
    {"Commit failed: ", ""},
    // Redis: connection settings and server messages
    {"Invalid Redis DB value (not a number): ", ""},
    {"Invalid Redis DB value (out of range): ", ""},
    {"Invalid Redis DB value: ", ""},
    {"Failed to connect to Redis: ", ""},
    {"Failed to create Redis SSL context: ", ""},
    {"Failed to select Redis database (db=", ""},
    {"Failed to select Redis database: ", ""},
    {"Connection verification failed: ", ""},
    {"Redis error in batch execution: ", ""},
    {"Redis HSET error: ", ""},
    {"Redis error: ", ""},
    {"Failed to parse version: ", ""},
    {"HKEYS command failed for table_name: ", ""},
    // RocksDB: paths and status texts
    {"Failed to open RocksDB at ", ""},
    {"Failed to open RocksDB: ", ""},
    {"Failed to initialize RocksDB: ", ""},
    {"Failed to put item: ", ""},
    {"Failed to get item: ", ""},
    {"Failed to delete item: ", ""},
    {"Failed to delete batch: ", ""},
    {"Failed to write batch: ", ""},
    {"Failed to get version: ", ""},
    {"Failed to put version: ", ""},
    {"Failed to put map value: ", ""},
    {"Failed to get map: ", ""},
    {"Failed to commit transaction: ", ""},
    {"Failed to put config item: ", ""},
    {"Failed to get config item: ", ""},
    {"Failed to delete config item: ", ""},
    {"CompactRange after delete failed: ", ""},
    // anything quoted
    {"'", "'"},
    {"\"", "\""},
    {"`", "`"},
};

// A matched rule: the outside text is rest[opener.size(), closer_at).
struct Match {
  const Rule* rule = nullptr;
  size_t closer_at = 0;
};

Match FindRule(std::string_view rest) {
  for (const Rule& rule : kRules) {
    if (!rest.starts_with(rule.opener)) continue;
    if (rule.closer.empty()) return {&rule, rest.size()};
    const size_t closer_at = rest.rfind(rule.closer);
    if (closer_at != std::string_view::npos && closer_at >= rule.opener.size()) {
      return {&rule, closer_at};
    }
  }
  return {};
}

std::string_view FindKeptPhrase(std::string_view rest) {
  for (std::string_view phrase : kKeptPhrases) {
    if (rest.starts_with(phrase)) return phrase;
  }
  return {};
}

}  // namespace

std::string RedactErrorMessage(std::string_view message, size_t enough) {
  std::string out;
  size_t pos = 0;
  while (pos < message.size() && out.size() < enough) {
    const std::string_view rest = message.substr(pos);
    if (const std::string_view phrase = FindKeptPhrase(rest); !phrase.empty()) {
      out += phrase;
      pos += phrase.size();
      continue;
    }
    if (const Match match = FindRule(rest); match.rule != nullptr) {
      out += match.rule->opener;
      out += kRedacted;
      out += match.rule->closer;
      pos += match.closer_at + match.rule->closer.size();
      continue;
    }
    out += message[pos++];
  }
  return out;
}

std::string MakeErrorDescription(std::string_view message) {
  // A few bytes past the limit so that the cut still sees whole characters.
  const std::string redacted = RedactErrorMessage(message, kMaxErrorDescriptionBytes + 8);
  return CutUtf8(ToValidUtf8(redacted), kMaxErrorDescriptionBytes);
}

}  // namespace nivora::internal
