// PostgresKeystore batch throughput: 100,000 values of 528 bytes put and got
// in batches of 1,000, beside the same statements issued directly through
// libpq in the same run (BEGIN, one 1000-row upsert, COMMIT; one SELECT with
// the keys in an IN list, raw bytes). Prints items/s and keystore/libpq.
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/external/postgres/postgres_statements.h"
#include "postgres_server.h"

namespace {

namespace bs = nivora_encrypted_index::internal::backing_store;
using nivora_encrypted_index::BackingStoreType;

constexpr size_t kItems = 100000;
constexpr size_t kBatch = 1000;
constexpr size_t kValueSize = 528;
constexpr int kRounds = 5;
constexpr char kTable[] = "bench_items";

struct Data {
  std::vector<uint64_t> keys;
  nivora::Array2D<unsigned char> values{kItems, kValueSize};
};

Data MakeData() {
  Data data;
  std::mt19937_64 rng(7);
  data.keys.resize(kItems);
  for (uint64_t& key : data.keys) key = rng();
  for (size_t i = 0; i < kItems * kValueSize; ++i) {
    data.values.data[i] = static_cast<uint8_t>(rng());
  }
  return data;
}

double Seconds(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Check(PGresult* result, ExecStatusType status, PGconn* conn) {
  const bool ok = PQresultStatus(result) == status;
  PQclear(result);
  if (!ok) throw std::runtime_error(PQerrorMessage(conn));
}

// The keystore side.
void KeystorePut(bs::PostgresKeystore& keystore, uint64_t index, const Data& data) {
  nivora::Array2D<unsigned char> batch(kBatch, kValueSize);
  std::vector<uint64_t> keys(kBatch);
  for (size_t begin = 0; begin < kItems; begin += kBatch) {
    std::copy_n(data.keys.begin() + begin, kBatch, keys.begin());
    std::memcpy(batch.data, data.values.row(begin), kBatch * kValueSize);
    keystore.BatchPushItemsImpl(index, keys, batch);
  }
}

size_t KeystoreGet(bs::PostgresKeystore& keystore, uint64_t index, const Data& data) {
  size_t found = 0;
  std::vector<uint64_t> keys(kBatch);
  for (size_t begin = 0; begin < kItems; begin += kBatch) {
    std::copy_n(data.keys.begin() + begin, kBatch, keys.begin());
    const auto rows = keystore.BatchGetItemsImpl(index, keys);
    found += rows.row(kBatch - 1)[0] == data.values.row(begin + kBatch - 1)[0];
  }
  return found;
}

// The same statements through libpq alone, with the least work around them.
std::string UpsertSql() {
  std::string sql = std::string("INSERT INTO ") + kTable + " (key, value, index_name) VALUES ";
  for (size_t j = 0; j < kBatch; ++j) {
    sql += (j ? ", " : "") + std::string("($") + std::to_string(3 * j + 1) + ", $" +
           std::to_string(3 * j + 2) + ", $" + std::to_string(3 * j + 3) + ")";
  }
  return sql + " ON CONFLICT (key, index_name) DO UPDATE SET value = EXCLUDED.value, "
               "index_name = EXCLUDED.index_name;";
}

void DirectPut(PGconn* conn, uint64_t store, const Data& data) {
  const std::string sql = UpsertSql();
  const std::string store_text = std::to_string(store);
  std::vector<std::string> key_texts(kBatch);
  std::vector<const char*> values(3 * kBatch);
  std::vector<int> lengths(3 * kBatch, 0), formats(3 * kBatch, 0);
  for (size_t begin = 0; begin < kItems; begin += kBatch) {
    for (size_t j = 0; j < kBatch; ++j) {
      key_texts[j] = std::to_string(data.keys[begin + j]);
      values[3 * j] = key_texts[j].c_str();
      values[3 * j + 1] = reinterpret_cast<const char*>(data.values.row(begin + j));
      lengths[3 * j + 1] = kValueSize;
      formats[3 * j + 1] = 1;
      values[3 * j + 2] = store_text.c_str();
    }
    Check(PQexec(conn, "BEGIN"), PGRES_COMMAND_OK, conn);
    Check(PQexecParams(conn, sql.c_str(), 3 * kBatch, nullptr, values.data(), lengths.data(),
                       formats.data(), 0),
          PGRES_COMMAND_OK, conn);
    Check(PQexec(conn, "COMMIT"), PGRES_COMMAND_OK, conn);
  }
}

size_t DirectGet(PGconn* conn, uint64_t store, const Data& data) {
  size_t found = 0;
  std::vector<uint8_t> out(kBatch * kValueSize);
  for (size_t begin = 0; begin < kItems; begin += kBatch) {
    std::string sql = std::string("SELECT key, value FROM ") + kTable + " WHERE key IN (";
    for (size_t j = 0; j < kBatch; ++j) {
      sql += (j ? ", '" : "'") + std::to_string(data.keys[begin + j]) + "'";
    }
    sql += ") AND index_name = " + std::to_string(store) + ";";
    PGresult* result = PQexecParams(conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1);
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
      PQclear(result);
      throw std::runtime_error(PQerrorMessage(conn));
    }
    // Rows come back in the server's order: copy each where it belongs is
    // the keystore's job; here they are only copied out.
    const int rows = PQntuples(result);
    for (int r = 0; r < rows; ++r) {
      std::memcpy(out.data() + static_cast<size_t>(r) * kValueSize, PQgetvalue(result, r, 1),
                  std::min<size_t>(kValueSize, PQgetlength(result, r, 1)));
    }
    found += rows == static_cast<int>(kBatch);
    PQclear(result);
  }
  return found;
}

void Report(const char* what, double keystore_seconds, double direct_seconds) {
  const double keystore_rate = kItems / keystore_seconds;
  const double direct_rate = kItems / direct_seconds;
  std::printf("%-4s keystore %10.0f items/s   libpq %10.0f items/s   ratio %.2f\n", what,
              keystore_rate, direct_rate, keystore_rate / direct_rate);
}

}  // namespace

int main() {
  nivora::testing::PostgresServer server;
  server.Start();
  const std::string connection = server.ConnectionString();
  const Data data = MakeData();

  constexpr uint64_t kIndex = 1000;
  bs::PostgresKeystore keystore(nivora::DBConfig(nivora::Location::POSTGRES, kTable, connection),
                                BackingStoreType::VECTORS);
  keystore.SetValueSizeImpl(kIndex, kValueSize);
  const uint64_t store = bs::StoreNumber(kIndex, BackingStoreType::VECTORS);
  PGconn* conn = PQconnectdb(connection.c_str());

  double best[4] = {1e30, 1e30, 1e30, 1e30};  // keystore put, get; libpq put, get
  size_t checks = 0;
  const auto run_keystore = [&] {
    Check(PQexec(conn, (std::string("TRUNCATE ") + kTable).c_str()), PGRES_COMMAND_OK, conn);
    best[0] = std::min(best[0], Seconds([&] { KeystorePut(keystore, kIndex, data); }));
    best[1] = std::min(best[1], Seconds([&] { checks += KeystoreGet(keystore, kIndex, data); }));
  };
  const auto run_direct = [&] {
    Check(PQexec(conn, (std::string("TRUNCATE ") + kTable).c_str()), PGRES_COMMAND_OK, conn);
    best[2] = std::min(best[2], Seconds([&] { DirectPut(conn, store, data); }));
    best[3] = std::min(best[3], Seconds([&] { checks += DirectGet(conn, store, data); }));
  };
  // Alternating which side goes first keeps the table's history even.
  for (int round = 0; round < kRounds; ++round) {
    if (round % 2 == 0) {
      run_keystore();
      run_direct();
    } else {
      run_direct();
      run_keystore();
    }
  }
  PQfinish(conn);
  std::printf("PostgreSQL, %zu values of %zu bytes in batches of %zu, best of %d rounds\n", kItems,
              kValueSize, kBatch, kRounds);
  Report("put", best[0], best[2]);
  Report("get", best[1], best[3]);
  if (checks != 2 * kRounds * (kItems / kBatch)) {
    std::printf("warning: %zu of %zu batches read back as written\n", checks,
                2 * kRounds * (kItems / kBatch));
  }
  return 0;
}
