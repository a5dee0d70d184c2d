#include "telemetry/known_messages.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "telemetry/error_description.h"

namespace nivora::internal {
namespace {

struct Case {
  std::string message;
  std::string description;
};

// The messages of the stores, the engine, the vector maths, the filters and
// the Index API, as they reach telemetry: their own wording stays, names and
// server replies do not.
TEST(KnownMessagesTest, SubsystemMessagesKeepOnlyTheirOwnWording) {
  const std::vector<Case> cases = {
      // keystores
      {"Exception in Upsert: Mismatch between number of keys and batch size",
       "Exception in Upsert: Mismatch between number of keys and batch size"},
      // PostgreSQL: the index name and the server's reply stay in
      {"Exception in LoadIndex: Index name 'payroll' does not exist in Postgres.",
       "Exception in LoadIndex: Index name '<redacted>' does not exist in Postgres."},
      {"Exception in Client: Postgres connection error: connection to server at "
       "\"db.acme.internal\" (10.0.0.5), port 5432 failed: FATAL:  password authentication "
       "failed for user \"alice\"\n",
       "Exception in Client: Postgres connection error: <redacted>"},
      // Redis: an error reply after ": " is the server's text
      {"Exception in Upsert: HSET command failed in batch execution: WRONGTYPE Operation "
       "against a key holding the wrong kind of value",
       "Exception in Upsert: HSET command failed in batch execution: <redacted>"},
      {"Exception in Get: Exception in BatchGetVariable: HMGET command failed: ERR max number "
       "of clients reached",
       "Exception in Get: Exception in BatchGetVariable: HMGET command failed: <redacted>"},
      {"Exception in Client: SSL configuration failed: Failed to create Redis SSL context: "
       "Failed to load private key",
       "Exception in Client: SSL configuration failed: Failed to create Redis SSL context: "
       "Failed to load private key"},
      // RocksDB: status texts carry paths
      {"Exception in Upsert: Exception in PushMap: Failed to put map value: IO error: While "
       "appending to file: /home/alice/.nivoradb/data/000012.log: No space left on device",
       "Exception in Upsert: Exception in PushMap: Failed to put map value: <redacted>"},
      {"Exception in Get: Failed to retrieve item from RocksDB: Failed to get item: "
       "Corruption: block checksum mismatch in /srv/acme/000042.sst",
       "Exception in Get: Failed to retrieve item from RocksDB: <redacted>"},
      // engine
      {"Exception in Upsert: The number of positions (3) does not match the number of item "
       "Ids (4).",
       "Exception in Upsert: The number of positions (3) does not match the number of item "
       "Ids (4)."},
      {"Exception in Query: Keystore returned 2 values for 3 keys",
       "Exception in Query: Keystore returned 2 values for 3 keys"},
      // vector maths: the ranker's name is a hole, the counts are kept
      {"Exception in Query: RankIVFPQMetric: PQ code rows hold 8 codes, expected 16",
       "Exception in Query: <redacted>: PQ code rows hold 8 codes, expected 16"},
      {"Exception in TrainIndex: Number of clusters must be between 1 and 2147483647.",
       "Exception in TrainIndex: Number of clusters must be between 1 and 2147483647."},
      // filters
      {"Exception in Query: Invalid JSON format for filters: nesting deeper than 64 levels",
       "Exception in Query: Invalid JSON format for filters: nesting deeper than 64 levels"},
      {"Exception in Upsert: Error updating metadata: Corrupt centroid metadata buffer for "
       "field 'ssn'",
       "Exception in Upsert: Error updating metadata: <redacted>"},
      // Index API
      {"Exception in Query: The dimension of the vectors provided (5) doesn't match the index "
       "configuration (4).",
       "Exception in Query: The dimension of the vectors provided (5) doesn't match the index "
       "configuration (4)."},
      {"Exception in Upsert: Invalid JSON metadata at position 7.",
       "Exception in Upsert: Invalid JSON metadata at position 7."},
      {"Exception in TrainIndex: Invalid sq_bits value: 12. Only 8 or 16 bits are supported "
       "for scalar quantization.",
       "Exception in TrainIndex: Invalid sq_bits value: <redacted>. Only 8 or 16 bits are "
       "supported for scalar quantization."},
      // a number hole takes digits only, and nothing may follow the wording
      {"Exception in Upsert: Invalid JSON metadata at position ssn-123-45.",
       "Exception in Upsert: <redacted>"},
      {"Exception in Query: Keystore returned 2 values for 3 keys: patient 42",
       "Exception in Query: <redacted>"},
      {"Exception in BatchPushVariable: Failed to write batch: IO error: /home/alice/db",
       "Exception in BatchPushVariable: Failed to write batch: <redacted>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MakeErrorDescription(c.message), c.description) << c.message;
  }
}

// An instance of shape: outside text in each "{}", a number in each "{n}",
// and what telemetry should send of it.
Case InstanceOf(std::string_view shape) {
  Case out;
  for (size_t pos = 0; pos < shape.size();) {
    if (shape.substr(pos).starts_with("{}")) {
      out.message += "acme-payroll";
      out.description += "<redacted>";
      pos += 2;
    } else if (shape.substr(pos).starts_with("{n}")) {
      out.message += "42";
      out.description += "42";
      pos += 3;
    } else {
      out.message += shape[pos];
      out.description += shape[pos];
      ++pos;
    }
  }
  return out;
}

// No shape is hidden behind an earlier, wider one, and none lets the text of
// a hole through.
TEST(KnownMessagesTest, EveryShapeRendersItsOwnInstances) {
  for (std::string_view shape : KnownMessageShapes()) {
    const Case c = InstanceOf(shape);
    EXPECT_EQ(RedactErrorMessage(c.message), c.description) << shape;
    EXPECT_EQ(RedactErrorMessage("Exception in Query: " + c.message),
              "Exception in Query: " + c.description)
        << shape;
  }
}

}  // namespace
}  // namespace nivora::internal
