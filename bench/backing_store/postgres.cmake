# PostgresKeystore batch put and get against the same statements sent
# straight through libpq, on a throwaway cluster the benchmark starts itself
# (the test harness's PostgresServer).
add_executable(postgres_bench
  ${CMAKE_CURRENT_LIST_DIR}/postgres_bench.cc
  ${PROJECT_SOURCE_DIR}/tests/backing_store/external/postgres/postgres_server.cc)
target_include_directories(postgres_bench PRIVATE
  ${PROJECT_SOURCE_DIR}/tests/backing_store/external/postgres)
target_link_libraries(postgres_bench PRIVATE nivora_postgres_keystore)
