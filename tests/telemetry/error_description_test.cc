#include "telemetry/error_description.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "telemetry/utf8_text.h"

namespace nivora::internal {
namespace {

struct Case {
  std::string message;
  std::string description;
};

TEST(ErrorDescriptionTest, OnlyTheWordingOfKnownMessagesLeaves) {
  const std::vector<Case> cases = {
      // the system's own text passes whole, numbers it printed included
      {"Unknown exception in Upsert", "Unknown exception in Upsert"},
      {"Exception in Query: The dimension of the vectors provided (5) doesn't match the index "
       "configuration (4)",
       "Exception in Query: The dimension of the vectors provided (5) doesn't match the index "
       "configuration (4)"},
      {"Exception in Upsert: Not connected to any index. Please call `create_index()` or "
       "`load_index()` before calling this function.",
       "Exception in Upsert: Not connected to any index. Please call `create_index()` or "
       "`load_index()` before calling this function."},
      {"Exception in LoadIndex: Index 'payroll' does not exist.",
       "Exception in LoadIndex: Index '<redacted>' does not exist."},
      {"Exception in LoadIndex: Exception in EncryptedIndex: The index key does not open index "
       "'payroll': its stored configuration does not decrypt with it.",
       "Exception in LoadIndex: Exception in EncryptedIndex: The index key does not open index "
       "'<redacted>': its stored configuration does not decrypt with it."},
      {"Exception in Upsert: Item at index 3 is missing both 'vector' and 'contents' fields",
       "Exception in Upsert: Item at index 3 is missing both 'vector' and 'contents' fields"},
      {"Exception in EncryptedIndex: Index name cannot be an empty string.",
       "Exception in EncryptedIndex: Index name cannot be an empty string."},
      {"Retry queue size limit reached, discarding older events.",
       "Retry queue size limit reached, discarding older events."},
      // JSON parser texts carry excerpts of the input
      {"Exception in Query: Invalid JSON format for filters: [json.exception.parse_error.101] "
       "parse error at line 1, column 8: syntax error while parsing object key - invalid "
       "literal; last read: '{\"ssn\":1'; expected string literal",
       "Exception in Query: Invalid JSON format for filters: <redacted>"},
      {"Exception in Get: [json.exception.out_of_range.403] key 'patient' not found",
       "Exception in Get: <redacted>"},
      // filter text: field names, operators, patterns, operands
      {"Exception in Query: A single field can only have one condition. Found multiple "
       "conditions for field: salary",
       "Exception in Query: A single field can only have one condition. Found multiple "
       "conditions for field: <redacted>"},
      {"Exception in Query: Unsupported operator: $near for field: home.address",
       "Exception in Query: Unsupported operator: <redacted>"},
      {"Exception in Query: Invalid query: Operator `$eq` cannot have an empty object or null "
       "as a value.",
       "Exception in Query: Invalid query: Operator `<redacted>` cannot have an empty object or "
       "null as a value."},
      {"Exception in Query: Invalid regex pattern: ^(alice\nError: missing ')'",
       "Exception in Query: Invalid regex pattern: <redacted>"},
      {"Exception in Query: Unsupported type in $type operator: ssn",
       "Exception in Query: Unsupported type in $type operator: <redacted>"},
      // names, paths and server messages
      {"Exception in EncryptedIndex: Index name payroll already exists",
       "Exception in EncryptedIndex: Index name <redacted> already exists"},
      {"Exception in LoadIndex: Index name 'payroll' does not exist in Redis",
       "Exception in LoadIndex: Index name '<redacted>' does not exist in <redacted>"},
      {"Exception in DeleteIndex: Failed to delete NVS config for payroll",
       "Exception in DeleteIndex: Failed to delete NVS config for <redacted>"},
      {"Exception in Upsert: Exception in PushItem: Failed to put item: IO error: "
       "/home/alice/db/LOCK",
       "Exception in Upsert: Exception in PushItem: Failed to put item: <redacted>"},
      {"Exception in Query: Failed to update map: Failed to acquire lock: ERROR: relation "
       "\"secret_table\" does not exist",
       "Exception in Query: Failed to update map: <redacted>"},
      {"Exception in Client: Failed to select Redis database (db=3): NOAUTH",
       "Exception in Client: Failed to select Redis database (db=<redacted>"},
      // anything unknown goes whole, whatever it looks like
      {"Exception in Get: no such id \"u-42\" here", "Exception in Get: <redacted>"},
      {"Exception in Get: it's unmatched", "Exception in Get: <redacted>"},
      {"Exception in Get: Exception in PushItem: patient 42", "Exception in Get: <redacted>"},
      {"customer-acme-payroll", "<redacted>"},
      {"Exception in customer-acme: Index name x already exists", "<redacted>"},
      {"Unknown exception in customer-acme", "<redacted>"},
      {"", "<redacted>"},
      // a known shape must be whole: nothing before, after or instead of its wording
      {"Exception in Get: Decryption failed for 3 items; acme", "Exception in Get: <redacted>"},
      {"Exception in Get: Decryption failed for acme items", "Exception in Get: <redacted>"},
      {"Exception in Get: acme Decryption failed for 3 items", "Exception in Get: <redacted>"},
      {"Exception in Upsert: Exception in Get: Decryption failed for 3 items",
       "Exception in Upsert: Exception in Get: Decryption failed for 3 items"},
  };
  for (const Case& c : cases) EXPECT_EQ(RedactErrorMessage(c.message), c.description) << c.message;
}

// what() ends at the first NUL byte, so a message holding one arrives cut
// short: the closing wording its shape needs is gone, and the name stays out.
TEST(ErrorDescriptionTest, AKnownMessageCutAtANulIsRedactedWhole) {
  const std::runtime_error error(
      std::string("Index name customer-acme-payroll\0x already exists", 50));
  const std::string recorded = std::string("Exception in LoadIndex: ") + error.what();
  EXPECT_EQ(recorded, "Exception in LoadIndex: Index name customer-acme-payroll");
  EXPECT_EQ(MakeErrorDescription(recorded), "Exception in LoadIndex: <redacted>");

  const std::string with_nul("Exception in LoadIndex: Index name a\0b already exists", 53);
  EXPECT_EQ(MakeErrorDescription(with_nul),
            "Exception in LoadIndex: Index name <redacted> already exists");
}

TEST(ErrorDescriptionTest, DescriptionsAreValidAndAtMost256Bytes) {
  const std::string digits(300, '7');
  const std::string kept = "Exception in Get: Decryption failed for " + digits + " items";
  const std::vector<Case> cases = {
      {kept, kept.substr(0, 256)},
      {std::string(300, 'x'), "<redacted>"},
      {"bad \xFF byte", "<redacted>"},
      {"Exception in Query: Unsupported operator: " + std::string(100000, '$'),
       "Exception in Query: Unsupported operator: <redacted>"},
  };
  for (const Case& c : cases) EXPECT_EQ(MakeErrorDescription(c.message), c.description);
}

TEST(Utf8TextTest, InvalidSequencesBecomeReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {"plain", "plain"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\x80", r},                               // stray continuation byte
      {"\xC0\xAF", r + r},                       // overlong '/'
      {"\xE0\x80\xAF", r + r + r},               // overlong
      {"\xED\xA0\x80", r + r + r},               // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},       // past U+10FFFF
      {"ab\xE2\x82", "ab" + r + r},              // truncated at the end
      {"\xF8\x88\x80\x80\x80", r + r + r + r + r},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToValidUtf8(c.message), c.description) << ::testing::PrintToString(c.message);
  }
  EXPECT_EQ(CutUtf8("a\xF0\x9F\x98\x80", 4), "a");
  EXPECT_EQ(CutUtf8("a\xF0\x9F\x98\x80", 5), "a\xF0\x9F\x98\x80");
  EXPECT_EQ(CutUtf8("abc", 0), "");
}

}  // namespace
}  // namespace nivora::internal
