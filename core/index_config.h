// The index configurations: an abstract IndexConfig with the fields every
// index type shares, and one subclass per index type with its own fields.
// Plain value objects with public members (the first upsert and the stored
// configuration reader set them directly); polymorphic copy through clone().
#ifndef NIVORA_CORE_INDEX_CONFIG_H_
#define NIVORA_CORE_INDEX_CONFIG_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace nivora {

enum class DistanceMetric : int32_t {
  Cosine = 0,
  Euclidean = 1,
  SquaredEuclidean = 2,
};

enum class IndexType : int32_t {
  IVF = 0,
  IVFPQ = 1,
  IVFFLAT = 2,
  IVFSQ = 3,
};

// "cosine", "euclidean", "squared_euclidean"; any other code throws
// std::invalid_argument "Invalid distance metric".
std::string MetricToString(DistanceMetric metric);

// "ivf", "ivfpq", "ivfflat", "ivfsq"; any other code gives "unknown".
std::string IndexTypeToString(IndexType type);

class IndexConfig {
 public:
  virtual ~IndexConfig() = default;

  virtual size_t n_lists() const = 0;
  virtual void set_n_lists(size_t n_lists) = 0;
  virtual size_t pq_dim() const { return 0; }
  virtual size_t pq_bits() const { return 0; }
  virtual size_t sq_bits() const { return 0; }
  // A new object of the most-derived class with every field copied (an
  // absent model name stays absent, an empty one stays present).
  virtual std::unique_ptr<IndexConfig> clone() const = 0;

  size_t dimension() const { return dimension_; }

  size_t dimension_ = 0;  // 0: the first upsert sets it
  DistanceMetric metric_ = DistanceMetric::Euclidean;
  IndexType index_type_;
  std::optional<std::string> embedding_model_ = std::string();

 protected:
  IndexConfig(IndexType type, size_t dimension, DistanceMetric metric,
              std::optional<std::string> embedding_model)
      : dimension_(dimension),
        metric_(metric),
        index_type_(type),
        embedding_model_(std::move(embedding_model)) {}
  IndexConfig(const IndexConfig&) = default;
  IndexConfig& operator=(const IndexConfig&) = default;
};

class IndexIVF : public IndexConfig {
 public:
  explicit IndexIVF(size_t dimension)
      : IndexIVF(dimension, DistanceMetric::Euclidean, std::string()) {}
  IndexIVF(size_t dimension, DistanceMetric metric, std::optional<std::string> embedding_model)
      : IndexConfig(IndexType::IVF, dimension, metric, std::move(embedding_model)) {}

  size_t n_lists() const override { return n_lists_; }
  void set_n_lists(size_t n_lists) override { n_lists_ = n_lists; }
  std::unique_ptr<IndexConfig> clone() const override {
    return std::make_unique<IndexIVF>(*this);
  }

  size_t n_lists_ = 1;
};

class IndexIVFFlat : public IndexConfig {
 public:
  explicit IndexIVFFlat(size_t dimension)
      : IndexIVFFlat(dimension, DistanceMetric::Euclidean, std::string()) {}
  IndexIVFFlat(size_t dimension, DistanceMetric metric,
               std::optional<std::string> embedding_model)
      : IndexConfig(IndexType::IVFFLAT, dimension, metric, std::move(embedding_model)) {}

  size_t n_lists() const override { return n_lists_; }
  void set_n_lists(size_t n_lists) override { n_lists_ = n_lists; }
  std::unique_ptr<IndexConfig> clone() const override {
    return std::make_unique<IndexIVFFlat>(*this);
  }

  size_t n_lists_ = 1;
};

class IndexIVFPQ : public IndexConfig {
 public:
  IndexIVFPQ(size_t dimension, size_t pq_dim, size_t pq_bits)
      : IndexIVFPQ(dimension, DistanceMetric::Euclidean, std::string(), pq_dim, pq_bits) {}
  IndexIVFPQ(size_t dimension, DistanceMetric metric, std::optional<std::string> embedding_model,
             size_t pq_dim, size_t pq_bits)
      : IndexConfig(IndexType::IVFPQ, dimension, metric, std::move(embedding_model)),
        pq_dim_(pq_dim),
        pq_bits_(pq_bits) {}

  size_t n_lists() const override { return n_lists_; }
  void set_n_lists(size_t n_lists) override { n_lists_ = n_lists; }
  size_t pq_dim() const override { return pq_dim_; }
  size_t pq_bits() const override { return pq_bits_; }
  std::unique_ptr<IndexConfig> clone() const override {
    return std::make_unique<IndexIVFPQ>(*this);
  }

  size_t n_lists_ = 1;
  size_t pq_dim_;  // number of sub-vectors; 0: the first upsert sets it to the dimension
  size_t pq_bits_;
};

class IndexIVFSQ : public IndexConfig {
 public:
  IndexIVFSQ(size_t dimension, size_t sq_bits)
      : IndexIVFSQ(dimension, DistanceMetric::Euclidean, std::string(), sq_bits) {}
  IndexIVFSQ(size_t dimension, DistanceMetric metric, std::optional<std::string> embedding_model,
             size_t sq_bits)
      : IndexConfig(IndexType::IVFSQ, dimension, metric, std::move(embedding_model)),
        sq_bits_(sq_bits) {}

  size_t n_lists() const override { return n_lists_; }
  void set_n_lists(size_t n_lists) override { n_lists_ = n_lists; }
  size_t sq_bits() const override { return sq_bits_; }
  std::unique_ptr<IndexConfig> clone() const override {
    return std::make_unique<IndexIVFSQ>(*this);
  }

  size_t n_lists_ = 1;
  size_t sq_bits_;  // 8 or 16
};

}  // namespace nivora

#endif  // NIVORA_CORE_INDEX_CONFIG_H_
