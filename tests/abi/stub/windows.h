// Stand-in for the Windows SDK header, for the slot order probe and the
// MSVC-ABI host only.
#pragma once
#include "oxnet_win_types.h"
