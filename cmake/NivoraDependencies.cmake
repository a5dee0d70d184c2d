# Finds the system libraries. nivora_deps bundles those every library of the
# project may use; the database clients (RocksDB::rocksdb, PkgConfig::HIREDIS,
# PostgreSQL::PostgreSQL) and libcurl are linked only by the targets that
# talk to them.
find_package(Threads REQUIRED)
find_package(OpenMP REQUIRED COMPONENTS CXX)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(PostgreSQL REQUIRED)
find_package(RocksDB CONFIG REQUIRED)
find_package(absl CONFIG REQUIRED)
find_package(FlatBuffers CONFIG REQUIRED)
find_package(nlohmann_json CONFIG REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis)

# Armadillo runs straight on OpenBLAS (never the reference BLAS).
find_path(ARMADILLO_INCLUDE_DIR armadillo REQUIRED)
find_library(OPENBLAS_LIBRARY NAMES openblas REQUIRED)

find_program(FLATC_EXECUTABLE flatc REQUIRED)

add_library(nivora_deps INTERFACE)
target_include_directories(nivora_deps INTERFACE ${ARMADILLO_INCLUDE_DIR})
target_compile_definitions(nivora_deps INTERFACE ARMA_DONT_USE_WRAPPER ARMA_USE_BLAS ARMA_USE_LAPACK)
target_link_libraries(nivora_deps INTERFACE
  OpenSSL::SSL OpenSSL::Crypto
  ZLIB::ZLIB
  flatbuffers::flatbuffers_shared
  nlohmann_json::nlohmann_json
  absl::flat_hash_map absl::node_hash_map absl::hash
  ${OPENBLAS_LIBRARY}
  OpenMP::OpenMP_CXX
  Threads::Threads
  ${CMAKE_DL_LIBS})
