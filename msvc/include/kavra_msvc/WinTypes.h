// The two Windows records that occur in the classes' signatures, declared
// the way <windows.h> declares them, so that a program may include both in
// either order. The classes only pass them by pointer.
#pragma once

struct tagMSG;
typedef struct tagMSG MSG;
struct _SECURITY_ATTRIBUTES;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES;
