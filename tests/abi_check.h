// Helpers for comparing the loader's own declarations of an extension's
// interface with the extension's real headers.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

namespace abi_check {

// What the calling convention sees of a type: pointer, floating point or
// integer, and its size. -1 for void.
template <typename T> constexpr int kind() {
    if constexpr (std::is_void_v<T>)
        return -1;
    else
        return (std::is_pointer_v<T>          ? 1000
                : std::is_floating_point_v<T> ? 2000
                                              : 0) +
               static_cast<int>(sizeof(T));
}

template <typename F> struct Signature;
template <typename R, typename... A> struct Signature<R (*)(A...)> {
    // The result's kind, then each parameter's.
    static std::vector<int> kinds() { return {kind<R>(), kind<A>()...}; }
};

template <typename F> std::vector<int> kinds_of(F) { return Signature<F>::kinds(); }

}  // namespace abi_check

// The field's offset and size are the same in both declarations of type.
#define EXPECT_SAME_FIELD(ours, type, field)                                                       \
    do {                                                                                           \
        EXPECT_EQ(offsetof(ours::type, field), offsetof(::type, field)) << #type "." #field;       \
        EXPECT_EQ(sizeof(ours::type::field), sizeof(::type::field)) << #type "." #field;           \
    } while (0)

// The function declared as ours::name##_fn takes and returns the same kinds
// of values as the real name.
#define EXPECT_SAME_SIGNATURE(ours, name)                                                          \
    EXPECT_EQ(abi_check::Signature<ours::name##_fn>::kinds(), abi_check::kinds_of(&::name)) << #name
