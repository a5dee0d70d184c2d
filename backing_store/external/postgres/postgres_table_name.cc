#include "backing_store/external/postgres/postgres_table_name.h"

#include <optional>
#include <stdexcept>

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// NAMEDATALEN - 1: longer identifiers would be cut silently by the server.
constexpr size_t kMaxIdentifierLength = 63;

bool IsLetterOrUnderscore(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void CheckTableName(const std::string& name) {
  bool valid = !name.empty() && name.size() <= kMaxIdentifierLength &&
               IsLetterOrUnderscore(name.front());
  for (size_t i = 1; valid && i < name.size(); ++i) {
    valid = IsLetterOrUnderscore(name[i]) || IsDigit(name[i]);
  }
  if (!valid) {
    throw std::invalid_argument(
        "Invalid table_name: expected a letter or underscore followed by at most 62 letters, "
        "digits or underscores");
  }
}

std::string FoldedTableName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool SamePostgresTable(const nivora::DBConfig& a, const nivora::DBConfig& b) {
  const auto trimmed = [](const std::optional<std::string>& text) {
    const std::string value = text.value_or("");
    const size_t first = value.find_first_not_of(" \t\n\r");
    if (first == std::string::npos) return std::string();
    return value.substr(first, value.find_last_not_of(" \t\n\r") - first + 1);
  };
  return a.location == nivora::Location::POSTGRES && b.location == nivora::Location::POSTGRES &&
         a.table_name && b.table_name &&
         FoldedTableName(*a.table_name) == FoldedTableName(*b.table_name) &&
         trimmed(a.db_connection_string) == trimmed(b.db_connection_string);
}

}  // namespace nivora_encrypted_index::internal::backing_store
