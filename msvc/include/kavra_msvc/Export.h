// How the classes of kavra_msvc.dll are exported and imported. The DLL is
// built in the Visual C++ ABI; a program that includes these headers links
// kavra_msvc.lib and ships kavra_msvc.dll beside kavra.dll.
#pragma once

#if defined(KAVRA_MSVC_BUILDING)
#define KAVRA_MSVC_API __declspec(dllexport)
#else
#define KAVRA_MSVC_API __declspec(dllimport)
#endif
