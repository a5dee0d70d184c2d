// Scoped libpq objects: a connection closed with PQfinish and a result
// cleared with PQclear whenever their owner goes, on every path. Plus the
// small helpers every statement of the PostgreSQL keystore uses.
//
// Thread safety: a connection is used by one thread at a time (the keystore's
// mutex sees to that); results are owned by the thread that got them.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_PG_HANDLES_H_
#define NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_PG_HANDLES_H_

#include <libpq-fe.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace nivora_encrypted_index::internal::backing_store {

struct PGconnDeleter {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct PGresultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};

using PGconnPtr = std::unique_ptr<PGconn, PGconnDeleter>;
using PGresultPtr = std::unique_ptr<PGresult, PGresultDeleter>;

// libpq's parameter and result formats.
inline constexpr int kTextFormat = 0;
inline constexpr int kBinaryFormat = 1;

// Whether the result exists and has `status` (a null result means libpq ran
// out of memory or lost the connection).
inline bool HasStatus(const PGresultPtr& result, ExecStatusType status) {
  return result != nullptr && PQresultStatus(result.get()) == status;
}

// Bytes as a parameter of format 1. A zero-length value must still be a
// non-null pointer, or libpq would send SQL NULL.
inline const char* BinaryParam(const uint8_t* data, size_t size) {
  return size == 0 || data == nullptr ? "" : reinterpret_cast<const char*>(data);
}

// Whether a boolean column in text form reads exactly "t".
inline bool IsTrue(const PGresult* result, int row, int column) {
  return std::strcmp(PQgetvalue(result, row, column), "t") == 0;
}


}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_PG_HANDLES_H_
