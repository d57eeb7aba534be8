// Stand-in for the Windows SDK header, for the slot order probe and the
// MSVC-ABI host only: the types the interfaces name, nothing else, so no SDK
// is needed.
#pragma once
#include "oxnet_win_types.h"
