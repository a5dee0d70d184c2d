#include "encrypted_index/change_stamp.h"

#include <openssl/rand.h>

#include <stdexcept>

#include "core/little_endian.h"

namespace nivora_encrypted_index::internal::encrypted_index {
namespace {

constexpr size_t kHeadSize = kChangeRecordSizeWithoutLog + 2 + 3 * 8 + 4;
constexpr size_t kEntryHeadSize = 3 * 8 + 1 + 2 * 4;

// Appends fixed-width little-endian fields.
class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
  template <typename T>
  void Put(T v) {
    const size_t at = out_.size();
    out_.resize(at + sizeof(T));
    nivora::StoreLittleEndian<T>(v, out_.data() + at);
  }
  void PutKeys(const std::vector<uint64_t>& keys) {
    for (uint64_t key : keys) Put<uint64_t>(key);
  }

 private:
  std::vector<uint8_t>& out_;
};

// Reads fixed-width fields; any read past the end throws `message`.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size, const char* message)
      : data_(data), size_(size), message_(message) {}
  template <typename T>
  T Get() {
    Need(sizeof(T));
    const T v = nivora::LoadLittleEndian<T>(data_ + at_);
    at_ += sizeof(T);
    return v;
  }
  void GetKeys(size_t n, std::vector<uint64_t>& keys) {
    if (n > (size_ - at_) / 8) throw std::runtime_error(message_);
    keys.resize(n);
    for (uint64_t& key : keys) key = Get<uint64_t>();
  }
  bool done() const { return at_ == size_; }

 private:
  void Need(size_t n) const {
    if (size_ - at_ < n) throw std::runtime_error(message_);
  }
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  const char* message_;
};

void PutEntry(Writer& out, const ChangeEntry& entry) {
  out.Put<uint64_t>(entry.version);
  out.Put<uint64_t>(entry.tag);
  out.Put<uint64_t>(entry.generation);
  out.Put<uint8_t>(entry.whole ? 1 : 0);
  out.Put<uint32_t>(static_cast<uint32_t>(entry.index_keys.size()));
  out.Put<uint32_t>(static_cast<uint32_t>(entry.items.size()));
  out.PutKeys(entry.index_keys);
  out.PutKeys(entry.items);
}

ChangeEntry GetEntry(Reader& in) {
  ChangeEntry entry;
  entry.version = in.Get<uint64_t>();
  entry.tag = in.Get<uint64_t>();
  entry.generation = in.Get<uint64_t>();
  entry.whole = (in.Get<uint8_t>() & 1) != 0;
  const uint32_t n_index = in.Get<uint32_t>();
  const uint32_t n_items = in.Get<uint32_t>();
  in.GetKeys(n_index, entry.index_keys);
  in.GetKeys(n_items, entry.items);
  return entry;
}

size_t EntrySize(const ChangeEntry& entry) { return kEntryHeadSize + 8 * entry.key_count(); }

// The stamp of an earlier release's record: no log, no claims it kept here.
ChangeRecord EarlierRecord(const uint8_t* plain, size_t size, uint64_t version) {
  ChangeRecord record;
  ChangeStamp& stamp = record.stamp;
  stamp.version = version;
  stamp.tag = nivora::LoadLittleEndian<uint64_t>(plain);
  stamp.state_tag = nivora::LoadLittleEndian<uint64_t>(plain + 8);
  stamp.generation = size == kChangeRecordSizeWithoutLog
                         ? nivora::LoadLittleEndian<uint64_t>(plain + 16)
                         : 0;
  stamp.highest = stamp.generation;
  // Every generation such a release handed out has its lists under the
  // earlier ids; the claim that migrates the record raises this further
  // from the earlier generation record.
  stamp.legacy_below = stamp.generation + 1;
  stamp.earlier_form = true;
  return record;
}

}  // namespace

std::vector<uint8_t> EncodeChangeRecord(const ChangeRecord& record) {
  const ChangeStamp& stamp = record.stamp;
  size_t size = kHeadSize;
  for (const ChangeEntry& entry : record.recent) size += EntrySize(entry);
  std::vector<uint8_t> plain;
  plain.reserve(size);
  Writer out(plain);
  out.Put<uint64_t>(stamp.tag);
  out.Put<uint64_t>(stamp.state_tag);
  out.Put<uint64_t>(stamp.generation);
  out.Put<uint8_t>(kChangeRecordForm);
  out.Put<uint8_t>(static_cast<uint8_t>((stamp.deleted ? 1 : 0) | (stamp.held ? 2 : 0)));
  out.Put<uint64_t>(stamp.pending);
  out.Put<uint64_t>(stamp.highest);
  out.Put<uint64_t>(stamp.legacy_below);
  out.Put<uint32_t>(static_cast<uint32_t>(record.recent.size()));
  for (const ChangeEntry& entry : record.recent) PutEntry(out, entry);
  return plain;
}

ChangeRecord DecodeChangeRecord(const uint8_t* plain, size_t size, uint64_t version) {
  constexpr char kInvalid[] = "Invalid change stamp record";
  if (size == kChangeRecordSizeWithoutGeneration || size == kChangeRecordSizeWithoutLog) {
    return EarlierRecord(plain, size, version);
  }
  Reader in(plain, size, kInvalid);
  ChangeRecord record;
  ChangeStamp& stamp = record.stamp;
  stamp.version = version;
  stamp.tag = in.Get<uint64_t>();
  stamp.state_tag = in.Get<uint64_t>();
  stamp.generation = in.Get<uint64_t>();
  if (in.Get<uint8_t>() != kChangeRecordForm) throw std::runtime_error(kInvalid);
  const uint8_t flags = in.Get<uint8_t>();
  stamp.deleted = (flags & 1) != 0;
  stamp.held = (flags & 2) != 0;
  stamp.pending = in.Get<uint64_t>();
  stamp.highest = in.Get<uint64_t>();
  stamp.legacy_below = in.Get<uint64_t>();
  const uint32_t n = in.Get<uint32_t>();
  if (n > size / kEntryHeadSize) throw std::runtime_error(kInvalid);
  record.recent.reserve(n);
  for (uint32_t i = 0; i < n; ++i) record.recent.push_back(GetEntry(in));
  if (!in.done()) throw std::runtime_error(kInvalid);
  return record;
}

std::vector<uint8_t> EncodeChangeEntry(const ChangeEntry& entry) {
  std::vector<uint8_t> plain;
  plain.reserve(EntrySize(entry));
  Writer out(plain);
  PutEntry(out, entry);
  return plain;
}

ChangeEntry DecodeChangeEntry(const uint8_t* plain, size_t size) {
  Reader in(plain, size, "Invalid change log entry");
  ChangeEntry entry = GetEntry(in);
  if (!in.done()) throw std::runtime_error("Invalid change log entry");
  return entry;
}

uint64_t NewChangeTag() {
  uint64_t tag = 0;
  while (tag == 0) {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&tag), sizeof(tag)) != 1) {
      throw std::runtime_error("Failed to generate a change tag");
    }
  }
  return tag;
}

}  // namespace nivora_encrypted_index::internal::encrypted_index
