// The pause between two tries of a compare-and-set that another client won.
#ifndef NIVORA_ENCRYPTED_INDEX_RETRY_PAUSE_H_
#define NIVORA_ENCRYPTED_INDEX_RETRY_PAUSE_H_

namespace nivora_encrypted_index::internal::encrypted_index {

// Sleeps 30 to 70 ms and returns how long, so that competing writers spread
// out. Each thread draws from a generator seeded of its own, so writers in
// different processes (or threads) do not back off in lockstep.
int PauseBeforeRetry();

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_RETRY_PAUSE_H_
