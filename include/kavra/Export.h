/// @file
/// Symbol export for the kavra library.
///
/// The shared library is built with hidden visibility; only classes and
/// functions marked KAVRA_API are exported. A static build defines
/// KAVRA_STATIC (the CMake target does this for its users).
#pragma once

/// @def KAVRA_API
/// Marks a class or function as exported from the shared library; empty in a
/// static build.

#if defined(KAVRA_STATIC)
#define KAVRA_API
#elif defined(_WIN32)
#if defined(KAVRA_BUILDING)
#define KAVRA_API __declspec(dllexport)
#else
#define KAVRA_API __declspec(dllimport)
#endif
#else
#define KAVRA_API __attribute__((visibility("default")))
#endif
