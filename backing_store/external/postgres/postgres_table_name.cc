#include "backing_store/external/postgres/postgres_table_name.h"

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

}  // namespace nivora_encrypted_index::internal::backing_store
