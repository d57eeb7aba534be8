// Stand-in for the Windows SDK header: the types are in the winsock2.h one.
#pragma once
#include "winsock2.h"
