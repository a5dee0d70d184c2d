// NIVORA_MULTIVERSION marks a hot loop function for function multiversioning:
// on x86-64 the compiler emits an AVX2+FMA clone (x86-64-v3) and a baseline
// clone, and the loader picks one per process by the CPU it runs on. The
// clones compute the same IEEE results (the hot files build with
// -ffp-contract=off; a fused multiply-add appears only where the code asks
// for std::fma), so the choice changes speed, never values.
//
// Only for functions defined in a .cc file: clones of inline functions are
// not supported. Sanitizer builds use the baseline only. Helpers that a
// multiversioned function calls are marked NIVORA_INLINE_INTO_CLONES so that
// each clone compiles its own copy instead of calling the baseline one.
#ifndef NIVORA_VECTOR_MULTIVERSION_H_
#define NIVORA_VECTOR_MULTIVERSION_H_

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define NIVORA_MULTIVERSION __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define NIVORA_MULTIVERSION
#endif

#define NIVORA_INLINE_INTO_CLONES inline __attribute__((always_inline))

#endif  // NIVORA_VECTOR_MULTIVERSION_H_
