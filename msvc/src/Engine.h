// The C interface of kavra.dll, which runs the connections of the face.
#pragma once

#include "kavra/kavra.h"
