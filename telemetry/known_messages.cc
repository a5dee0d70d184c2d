#include "telemetry/known_messages.h"

namespace nivora::internal {
namespace {

constexpr std::string_view kOperations[] = {
    // guarded API operations
    "Client", "LoadIndex", "EncryptedIndex", "Upsert", "TrainIndex", "Query", "Get", "Delete",
    "ListIDs", "DeleteIndex",
    // keystore methods
    "PushItem", "PushMap", "DeleteItem", "BatchDeleteItems", "BatchPushItems", "GetItem",
    "GetMap", "BatchGetItems", "BatchGetVariable", "PushConfigItem", "LoadConfigItem",
    "DeleteConfigItem", "ConfigItemExists", "GetTotalSize", "GetAllKeys", "GetVersion",
};

constexpr std::string_view kShapes[] = {
    // Index API
    "Vectors must contain only finite values.",
    "Mismatch between the number of vectors and metadata.",
    // telemetry
    "Retry queue size limit reached, discarding older events.",
    // shared types
    "Data size must be a multiple of the number of columns",
    "All vectors must have the same dimension: row {n} has {n} values, expected {n}",
    "Invalid distance metric",
    "Invalid distance metric: {}",
    "Unsupported distance metric.",
    "Invalid location for backing store",
    "Unknown DB location: {}",
    "Invalid log level: {}",
    "Unknown BackingStoreType",
    "Every keystore must be given",
    // filters
    "Invalid JSON format for filters: {}",
    "The filters argument must be a JSON object.",
    "The filters argument must contain exactly one top-level filter.",
    "The top-level filter must be one of: $and, $or, $nor, $not.",
    "The field condition must be a JSON object.",
    "A single field can only have one condition. Found multiple conditions for field: {}",
    "Invalid query: Operator `{}` cannot have an empty object or null as a value.",
    "Unsupported operator: {}",
    "Invalid JSON string provided: {}",
    "Invalid regex pattern: {}",
    "Unsupported type in $type operator: {}",
    "$in/$nin requires an array",
    "Error while retrieving keys and metadata centroid map: {}",
    "Error while converting buffer to map of centroid map: {}",
    // engine
    "Decryption failed for {n} items",
    "Encrypted payload size too small",
    "Item of {n} bytes is too large for AES-GCM",
    "Failed to compute HMAC hash",
    "Failed to generate the token cache key",
    "Failed to update map in 100 retries.",
    "Failed to update map: {}",
    "Centroid id {n} is out of range for {n} {}",
    "Counter of centroid {n} is exhausted",
    "No keys provided for batch insertion",
    "Value size not set",
    "Vocabulary size must be at least 1",
    "Tree depth must be between 1 and 32",
    "Trapdoor depth must be between 1 and 32",
    "Index name '{}' does not exist in {}",
    "Index name {} already exists",
    "Failed to delete index config for {}",
    "Failed to delete NVS config for {}",
    // index API
    "Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` before calling "
    "this function.",
    "Index name cannot be an empty string.",
    "The dimension of the vectors provided ({n}) doesn't match the index configuration ({n})",
    "Item at index {n} is missing both 'vector' and 'contents' fields",
    "pq_bits must be between 1 and 16.",
    "Unable to determine embedding dimension for model: {}",
    "Failed to load embedding model: {}",
    "Failed to encode query_contents: {}",
    "Failed to serialize filters to JSON: {}",
    "Failed to process batch embeddings: {}",
    "Failed to import json module: {}",
    "Python Exception: {}",
    // in-process stores
    "MemoryKeystore does not support PushConfigItem and LoadConfigItem yet",
    // PostgreSQL: server messages
    "Failed to connect to PostgreSQL: {}",
    "PostgreSQL query error: {}",
    "Postgres BEGIN transaction error: {}",
    "Postgres put_item error: {}",
    "Postgres get_item error: {}",
    "Postgres delete config item error: {}",
    "Batch get failed: {}",
    "Batch delete failed: {}",
    "Delete Failed: {}",
    "Failed to delete index (string representation): {}",
    "Failed to delete index numeric representation: {}",
    "Failed to get all keys: {}",
    "Failed to set isolation level: {}",
    "Failed to set timeout: {}",
    "Failed to acquire lock: {}",
    "Failed to execute atomic update: {}",
    "Failed to execute query: {}",
    "Commit failed: {}",
    // Redis: connection settings and server messages
    "Invalid Redis DB value (not a number): {}",
    "Invalid Redis DB value (out of range): {}",
    "Invalid Redis DB value: {}",
    "Failed to connect to Redis: {}",
    "Failed to create Redis SSL context: {}",
    "Failed to select Redis database (db={}",
    "Failed to select Redis database: {}",
    "Connection verification failed: {}",
    "Redis error in batch execution: {}",
    "Redis HSET error: {}",
    "Redis error: {}",
    "Failed to parse version: {}",
    "HKEYS command failed for table_name: {}",
    // RocksDB: paths and status texts
    "Failed to open RocksDB at {}",
    "Failed to open RocksDB: {}",
    "Failed to initialize RocksDB: {}",
    "Failed to put item: {}",
    "Failed to get item: {}",
    "Failed to delete item: {}",
    "Failed to delete batch: {}",
    "Failed to write batch: {}",
    "Failed to get version: {}",
    "Failed to put version: {}",
    "Failed to put map value: {}",
    "Failed to get map: {}",
    "Failed to commit transaction: {}",
    "Failed to put config item: {}",
    "Failed to get config item: {}",
    "Failed to delete config item: {}",
    "CompactRange after delete failed: {}",
};

}  // namespace

std::span<const std::string_view> KnownMessageShapes() { return kShapes; }

std::span<const std::string_view> KnownOperations() { return kOperations; }

}  // namespace nivora::internal
