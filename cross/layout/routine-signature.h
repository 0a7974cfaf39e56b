/*
 * routine-signature.h - a routine's calling convention, argument bytes and
 * result size, read from its declaration's type: the same template in the
 * target compiler (probe.cpp) and in the 32-bit host build (the check and
 * the loader's table), so that both sides are measured alike.
 */
#pragma once

namespace vcp_routine {

enum Convention : unsigned { Stdcall = 1, Fastcall = 2, Cdecl = 3, CdeclVariadic = 4 };

template <class... A> constexpr unsigned StackBytes() { return (0u + ... + ((sizeof(A) + 3) & ~3u)); }
template <class R> constexpr unsigned ResultBytes() { return sizeof(R); }
template <> constexpr unsigned ResultBytes<void>() { return 0; }

struct Signature {
    unsigned convention;
    unsigned argumentBytes;  /* as the stdcall and fastcall decorations count them */
    unsigned resultBytes;
};

template <class R, class... A> constexpr Signature Of(R(__attribute__((stdcall)) *)(A...))
{
    return {Stdcall, StackBytes<A...>(), ResultBytes<R>()};
}
template <class R, class... A> constexpr Signature Of(R(__attribute__((fastcall)) *)(A...))
{
    return {Fastcall, StackBytes<A...>(), ResultBytes<R>()};
}
template <class R, class... A> constexpr Signature Of(R (*)(A...))
{
    return {Cdecl, StackBytes<A...>(), ResultBytes<R>()};
}
template <class R, class... A> constexpr Signature Of(R (*)(A..., ...))
{
    return {CdeclVariadic, StackBytes<A...>(), ResultBytes<R>()};
}

}  // namespace vcp_routine

/* The signature of a declared routine (never takes its address). */
#define ROUTINE_SIGNATURE(routine) (vcp_routine::Of(static_cast<decltype(&routine)>(nullptr)))
