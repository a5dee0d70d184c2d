# Its own main: it prints the keystore's figures next to the same work done
# directly through RocksDB, and their ratio.
add_executable(rocksdb_keystore_bench ${CMAKE_CURRENT_LIST_DIR}/rocksdb_keystore_bench.cc)
target_link_libraries(rocksdb_keystore_bench PRIVATE nivora_rocksdb_keystore benchmark::benchmark)
