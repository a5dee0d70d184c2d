// The RAM caches the engine puts in front of its stores: attaching them and
// filling them when an index is opened.
#include "encrypted_index/client.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {

void Client::EnableCaches(bool include_metadata) {
  const auto threads = ThreadScope();
  index_keystore_->EnableCache();
  vectors_keystore_->EnableCache();
  id_keystore_->EnableCache();
  if (include_metadata) {
    metadata_keystore_->EnableCache();
    logger_->info("RAM caching enabled on all keystores (including metadata)");
  } else {
    logger_->info("RAM caching enabled on index, vectors, and id keystores (metadata cache disabled)");
  }
}

void Client::EagerLoadCaches() {
  const auto threads = ThreadScope();
  logger_->info("Eager loading data into RAM caches");
  logger_->info("Loading index cache...");
  index_keystore_->EagerLoadCache(index_id_);
  logger_->info("Loading counter_map into cache...");
  index_keystore_->EagerLoadMapCache(index_id_, internal::encrypted_index::kCounterMapKey,
                                     internal::encrypted_index::kCounterMapVersionKey);
  logger_->info("Loading vectors cache...");
  vectors_keystore_->EagerLoadCache(index_id_);
  logger_->info("Loading id cache...");
  id_keystore_->EagerLoadCache(index_id_);
  if (metadata_keystore_->GetCache() != nullptr) {
    logger_->info("Loading metadata cache...");
    metadata_keystore_->EagerLoadCache(index_id_);
  } else {
    logger_->info("Metadata cache disabled - skipping metadata cache loading");
  }
  logger_->info("Cache loading complete - ready for queries");
}

}  // namespace nivora_encrypted_index
