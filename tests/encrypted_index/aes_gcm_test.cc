#include "encrypted_index/cryptography/aes_gcm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

#include "core/openssl_handles.h"
#include "crypto_reference.h"

namespace nivora_encrypted_index::internal::cryptography {
namespace {

using ::testing::ThrowsMessage;
using ::testing::HasSubstr;

// Decrypts one record with OpenSSL directly, reading the layout
// IV (12) || ciphertext || tag (16) with no additional data.
bool ReferenceDecrypt(const uint8_t* record, size_t size, const Key& key,
                      std::vector<uint8_t>& plaintext) {
  nivora::EvpCipherCtxPtr owner(EVP_CIPHER_CTX_new());
  EVP_CIPHER_CTX* ctx = owner.get();
  plaintext.assign(size - 28, 0);
  int len = 0;
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), record) == 1;
  ok = ok && (size == 28 || EVP_DecryptUpdate(ctx, plaintext.data(), &len, record + 12,
                                              static_cast<int>(size - 28)) == 1);
  std::array<uint8_t, 16> tag;
  std::memcpy(tag.data(), record + size - 16, 16);
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1;
  return ok && EVP_DecryptFinal_ex(ctx, plaintext.data() + plaintext.size(), &len) > 0;
}

class AesGcmTest : public ::testing::Test {
 protected:
  std::mt19937_64 rng_{42};
  Key key_ = nivora_test::RandomKey(rng_);
};

TEST_F(AesGcmTest, VariableRecordsHaveTheStoredLayoutAndRoundTrip) {
  std::vector<std::vector<uint8_t>> plaintexts;
  for (size_t n : {0, 1, 15, 16, 17, 100, 4096}) plaintexts.push_back(nivora_test::RandomBytes(rng_, n));
  for (int i = 0; i < 500; ++i) plaintexts.push_back(nivora_test::RandomBytes(rng_, i % 37));

  const auto records = EncryptItemsVariable(plaintexts, key_);
  ASSERT_EQ(records.size(), plaintexts.size());
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(records[i].size(), plaintexts[i].size() + 28);
    std::vector<uint8_t> reference;
    ASSERT_TRUE(ReferenceDecrypt(records[i].data(), records[i].size(), key_, reference)) << i;
    EXPECT_EQ(reference, plaintexts[i]);
  }
  EXPECT_EQ(DecryptItemsVariable(records, key_), plaintexts);
}

TEST_F(AesGcmTest, FixedRecordsHaveTheStoredLayoutAndRoundTrip) {
  const size_t n = 1000, width = 24;
  const std::vector<uint8_t> data = nivora_test::RandomBytes(rng_, n * width);
  const nivora::Array2D<unsigned char> records = EncryptItemsFixed(data.data(), n, width, key_);
  ASSERT_EQ(records.rows, n);
  ASSERT_EQ(records.cols, width + 28);
  for (size_t i = 0; i < n; ++i) {
    std::vector<uint8_t> reference;
    ASSERT_TRUE(ReferenceDecrypt(records.row(i), records.cols, key_, reference));
    EXPECT_EQ(0, std::memcmp(reference.data(), data.data() + i * width, width));
  }
  const nivora::Array2D<unsigned char> plain = DecryptItemsFixed(records.data, n, records.cols, key_);
  ASSERT_EQ(plain.rows, n);
  ASSERT_EQ(plain.cols, width);
  EXPECT_EQ(0, std::memcmp(plain.data, data.data(), data.size()));
}

TEST_F(AesGcmTest, EmptyPlaintextGivesTwentyEightBytesAndFreshIVs) {
  const auto records = EncryptItemsVariable({{}, {}}, key_);
  ASSERT_EQ(records[0].size(), 28u);
  EXPECT_NE(records[0], records[1]);
  EXPECT_EQ(DecryptItemsVariable(records, key_), (std::vector<std::vector<uint8_t>>{{}, {}}));

  const std::vector<uint8_t> same(64, 7);
  const auto a = EncryptItemsFixed(same.data(), 1, 64, key_);
  const auto b = EncryptItemsFixed(same.data(), 1, 64, key_);
  EXPECT_NE(0, std::memcmp(a.data, b.data, 12));   // IVs
  EXPECT_NE(0, std::memcmp(a.data + 12, b.data + 12, 64));
}

TEST_F(AesGcmTest, NoItemsGiveEmptyResults) {
  EXPECT_TRUE(EncryptItemsVariable({}, key_).empty());
  EXPECT_TRUE(DecryptItemsVariable({}, key_).empty());
  const auto fixed = EncryptItemsFixed(nullptr, 0, 10, key_);
  EXPECT_EQ(fixed.rows, 0u);
  EXPECT_EQ(fixed.cols, 0u);
  // n_items 0 is checked before the record size.
  const auto plain = DecryptItemsFixed(nullptr, 0, 3, key_);
  EXPECT_EQ(plain.rows, 0u);
  EXPECT_EQ(plain.cols, 0u);
  EXPECT_NO_THROW(DecryptItemsFixedInto(nullptr, 0, 3, key_, nullptr, 0));
}

// Any changed byte (IV, ciphertext or tag) fails authentication.
TEST_F(AesGcmTest, EveryFlippedByteFailsDecryption) {
  const std::vector<uint8_t> plaintext = nivora_test::RandomBytes(rng_, 9);
  const auto record = EncryptItemsVariable({plaintext}, key_)[0];
  const auto fixed = EncryptItemsFixed(plaintext.data(), 1, plaintext.size(), key_);
  for (size_t i = 0; i < record.size(); ++i) {
    SCOPED_TRACE(i);
    auto bad = record;
    bad[i] ^= 0x01;
    EXPECT_THAT([&] { DecryptItemsVariable({record, bad}, key_); },
                ThrowsMessage<std::runtime_error>("Decryption failed for 1 items"));
    std::vector<uint8_t> bad_fixed(fixed.data, fixed.data + fixed.cols);
    bad_fixed[i] ^= 0x80;
    EXPECT_THAT([&] { DecryptItemsFixed(bad_fixed.data(), 1, bad_fixed.size(), key_); },
                ThrowsMessage<std::runtime_error>("Decryption failed for 1 items"));
  }
}

// One context over records handed one by one: each authentic record gives
// its plaintext (also after a failed one), a record with any flipped byte
// or under another key fails and leaves zeros, never its decrypted bytes.
TEST_F(AesGcmTest, RecordDecryptorOneRecordAtATime) {
  for (size_t width : {size_t{0}, size_t{9}, size_t{540}}) {
    SCOPED_TRACE(width);
    const std::vector<uint8_t> data = nivora_test::RandomBytes(rng_, 3 * width);
    const auto records = EncryptItemsFixed(data.data(), 3, width, key_);
    RecordDecryptor decryptor(key_, width + 28);
    std::vector<uint8_t> out(std::max<size_t>(width, 1), 0xAB);
    for (size_t r = 0; r < 3; ++r) {
      ASSERT_TRUE(decryptor.Decrypt(records.row(r), out.data()));
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + width, data.begin() + r * width));
      std::vector<uint8_t> bad(records.row(r), records.row(r) + records.cols);
      bad[bad.size() / 2] ^= 0x04;
      std::fill(out.begin(), out.end(), 0xAB);
      EXPECT_FALSE(decryptor.Decrypt(bad.data(), out.data()));
      EXPECT_TRUE(std::all_of(out.begin(), out.begin() + width, [](uint8_t b) { return b == 0; }));
    }
    Key other = key_;
    other[0] ^= 1;
    RecordDecryptor wrong(other, width + 28);
    EXPECT_FALSE(wrong.Decrypt(records.row(0), out.data()));
  }
  EXPECT_THAT([&] { RecordDecryptor(key_, 27); },
              ThrowsMessage<std::runtime_error>("Encrypted payload size too small"));
}

TEST_F(AesGcmTest, WrongKeyFailsEveryItem) {
  const std::vector<uint8_t> data(10 * 8, 1);
  const auto records = EncryptItemsFixed(data.data(), 10, 8, key_);
  Key other = key_;
  other[31] ^= 1;
  EXPECT_THAT([&] { DecryptItemsFixed(records.data, 10, records.cols, other); },
              ThrowsMessage<std::runtime_error>("Decryption failed for 10 items"));
}

TEST_F(AesGcmTest, VariableRecordsOfZeroAndShortLengths) {
  const auto valid = EncryptItemsVariable({{1, 2, 3}}, key_)[0];
  EXPECT_THAT([&] { DecryptItemsVariable({{}, {1, 2, 3, 4, 5}, valid}, key_); },
              ThrowsMessage<std::runtime_error>("Decryption failed for 1 items"));
  const auto plain = DecryptItemsVariable({{}, valid}, key_);
  EXPECT_TRUE(plain[0].empty());
  EXPECT_EQ(plain[1], (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(AesGcmTest, FixedRowsWithZeroHeadAreAbsentItems) {
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  auto records = EncryptItemsFixed(data.data(), 3, 3, key_);
  std::memset(records.row(1), 0, records.cols);
  const auto plain = DecryptItemsFixed(records.data, 3, records.cols, key_);
  EXPECT_EQ(std::vector<uint8_t>(plain.data, plain.data + 9),
            (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 7, 8, 9}));
}

// Payload size 0 (plain IVF stores no vector): records are IV and tag only,
// the plaintext matrix has no storage, and a failing record must still be
// counted without touching the (absent) row.
TEST_F(AesGcmTest, FixedRecordsOfEmptyPayloads) {
  auto records = EncryptItemsFixed(nullptr, 3, 0, key_);
  ASSERT_EQ(records.rows, 3u);
  ASSERT_EQ(records.cols, 28u);
  const auto plain = DecryptItemsFixed(records.data, 3, 28, key_);
  EXPECT_EQ(plain.rows, 3u);
  EXPECT_EQ(plain.cols, 0u);

  auto bad = records;
  bad.AllocateOwned(records.size());
  std::memcpy(bad.data, records.data, records.size());
  bad.row(1)[27] ^= 1;  // the tag
  EXPECT_THAT([&] { DecryptItemsFixed(bad.data, 3, 28, key_); },
              ThrowsMessage<std::runtime_error>("Decryption failed for 1 items"));
  EXPECT_THAT([&] { DecryptItemsFixedInto(bad.data, 3, 28, key_, nullptr, 0); },
              ThrowsMessage<std::runtime_error>("Decryption failed for 1 items"));
  DecryptItemsFixedInto(records.data, 3, 28, key_, nullptr, 0);
}

TEST_F(AesGcmTest, FixedArgumentChecks) {
  std::vector<uint8_t> buffer(64);
  EXPECT_THAT([&] { DecryptItemsFixed(buffer.data(), 1, 27, key_); },
              ThrowsMessage<std::runtime_error>("Encrypted payload size too small"));
  EXPECT_THAT([&] { DecryptItemsFixedInto(buffer.data(), 1, 27, key_, buffer.data(), 64); },
              ThrowsMessage<std::runtime_error>("Encrypted payload size too small"));
  EXPECT_THAT([&] { DecryptItemsFixedInto(buffer.data(), 1, 40, key_, buffer.data(), 11); },
              ThrowsMessage<std::runtime_error>("Output row stride too small for plaintext size"));
  // Lengths the cipher interface cannot count are refused before any read.
  EXPECT_THROW(EncryptItemsFixed(buffer.data(), 1, size_t{INT_MAX}, key_), std::invalid_argument);
  EXPECT_THROW(DecryptItemsFixed(buffer.data(), 1, size_t{INT_MAX} + 1, key_),
               std::invalid_argument);
}

TEST_F(AesGcmTest, DecryptIntoStridedRowsLeavesGapsAlone) {
  const std::vector<uint8_t> data = nivora_test::RandomBytes(rng_, 5 * 6);
  const auto records = EncryptItemsFixed(data.data(), 5, 6, key_);
  std::vector<uint8_t> out(5 * 10, 0xEE);
  DecryptItemsFixedInto(records.data, 5, records.cols, key_, out.data(), 10);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(0, std::memcmp(out.data() + i * 10, data.data() + i * 6, 6));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + i * 10 + 6, out.begin() + i * 10 + 10),
              std::vector<uint8_t>(4, 0xEE));
  }
  // A row that fails to authenticate is wiped, not left with unverified bytes.
  auto bad = records;
  bad.AllocateOwned(records.size());
  std::memcpy(bad.data, records.data, records.size());
  bad.row(2)[20] ^= 1;
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_THROW(DecryptItemsFixedInto(bad.data, 5, bad.cols, key_, out.data(), 10),
               std::runtime_error);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 20, out.begin() + 26), std::vector<uint8_t>(6, 0));
}

// A region that gets fewer threads than the maximum (here: nested inside
// another region) must still process every chunk.
TEST_F(AesGcmTest, EveryItemIsProcessedWhenTheRegionGetsFewerThreads) {
  const size_t n = 97;
  const std::vector<uint8_t> data = nivora_test::RandomBytes(rng_, n * 4);
  std::vector<std::vector<uint8_t>> plaintexts(n);
  for (size_t i = 0; i < n; ++i) plaintexts[i].assign(data.begin() + 4 * i, data.begin() + 4 * i + 4);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(8);
  bool all_ok = true;
#pragma omp parallel num_threads(2)
  {
    const auto fixed = EncryptItemsFixed(data.data(), n, 4, key_);
    const auto plain = DecryptItemsFixed(fixed.data, n, fixed.cols, key_);
    const auto variable = DecryptItemsVariable(EncryptItemsVariable(plaintexts, key_), key_);
    const bool ok = std::memcmp(plain.data, data.data(), data.size()) == 0 && variable == plaintexts;
#pragma omp critical
    all_ok = all_ok && ok;
  }
  omp_set_num_threads(saved);
  EXPECT_TRUE(all_ok);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::cryptography
