// A process-wide switch for the change-stamp check every index operation
// starts with (EncryptedIndex::SyncWithStore). It is on by default and only
// benchmarks turn it off, to measure what the check costs: without it an
// index answers from its RAM caches and state as they are.
#ifndef NIVORA_API_CHANGE_CHECKS_H_
#define NIVORA_API_CHANGE_CHECKS_H_

namespace nivora::internal {

// Safe from any thread (an atomic flag).
void SetChangeChecks(bool enabled);
bool ChangeChecksEnabled();

}  // namespace nivora::internal

#endif  // NIVORA_API_CHANGE_CHECKS_H_
