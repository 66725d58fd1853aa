#ifndef VELDANE_HOST_EXPORT_H_
#define VELDANE_HOST_EXPORT_H_

/* The library exports only what is marked with this; everything else,
   including the code it links statically, stays hidden. */
#if defined(__GNUC__) || defined(__clang__)
#define VELDANE_HOST_EXPORT __attribute__((visibility("default")))
#else
#define VELDANE_HOST_EXPORT
#endif

/* The C functions throw nothing; C++ callers may rely on it. */
#ifdef __cplusplus
#define VELDANE_HOST_NOEXCEPT noexcept
#else
#define VELDANE_HOST_NOEXCEPT
#endif

#endif /* VELDANE_HOST_EXPORT_H_ */
