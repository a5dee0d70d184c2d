# Redis keystore batch put/get against a local redis-server started by the
# benchmark, next to redis-benchmark's pipelined HSET/HGET in the same run.
if(TARGET nivora_redis_keystore)
  nivora_add_bench(redis_bench
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/redis_bench.cc
      ${PROJECT_SOURCE_DIR}/tests/backing_store/external/redis/redis_server_process.cc
    LIBS nivora_redis_keystore)
  target_include_directories(redis_bench PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/backing_store/external/redis)
endif()
